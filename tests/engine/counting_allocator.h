#pragma once

// The memory pool's allocator in the engine's tests: malloc and free,
// counted, with a refusal or an exception on request.

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "kestrane/status.h"

namespace kestrane::test {

struct CountingAllocator {
  StatusCode allocateHostMemory(void*& address, uint64_t size) {
    if (failNext.exchange(false)) return StatusCode::Driver_FailedToAllocateHostMemory;
    if (throwNext.exchange(false)) throw std::runtime_error("the allocator failed");
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
  std::atomic<bool> failNext{false}, throwNext{false};
};

}  // namespace kestrane::test
