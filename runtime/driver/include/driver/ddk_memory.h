#pragma once

#include <cstdint>

namespace kestrane {

// A block of host memory the device reaches by DMA. Reference counted: the
// block unmaps and frees itself when the last reference is released.
class DDKMemory {
 public:
  virtual ~DDKMemory() = default;
  virtual uint32_t addRef() = 0;
  virtual uint32_t release() = 0;
  virtual uint64_t address() const = 0;
  virtual uint64_t size() const = 0;
  // Moves `size` bytes (0: to the end of the block) between the block at
  // `hostOffset` and device memory. False when nothing or not all was moved.
  virtual bool transfer(bool toDevice, uint64_t deviceAddress, uint64_t hostOffset, uint64_t size) = 0;
};

}  // namespace kestrane
