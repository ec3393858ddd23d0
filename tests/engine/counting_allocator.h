#pragma once

// The memory pool's allocator in the engine's tests: malloc and free,
// counted, with a failure on request.

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "kestrane/status.h"

namespace kestrane::test {

struct CountingAllocator {
  StatusCode allocateHostMemory(void*& address, uint64_t size) {
    if (failNext.exchange(false)) return StatusCode::Driver_FailedToAllocateHostMemory;
    ++allocations;
    address = std::malloc(size);
    return StatusCode::OK;
  }
  StatusCode freeHostMemory(void* address) {
    ++frees;
    std::free(address);
    return StatusCode::OK;
  }
  std::atomic<int> allocations{0}, frees{0};
  std::atomic<bool> failNext{false};
};

}  // namespace kestrane::test
