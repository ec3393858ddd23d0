#pragma once

#include <cstddef>

namespace kestrane::platform {

// Host memory aligned to `alignment` (a power of two; smaller values are
// raised to the pointer size). Null on failure. Release with alignedFree.
void* alignedMalloc(size_t size, size_t alignment);
void alignedFree(void* p);

// Makes the next `count` aligned allocations of the process fail, so tests
// can reach the out-of-memory paths.
void failNextAlignedAllocations(int count);

}  // namespace kestrane::platform
