#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "driver/ddk_memory.h"

namespace kestrane {

class SystemDriver;

// The DMA mapping record the card hands out for a host buffer.
struct DmaMapping {
  uint64_t handle = 0;  // non-zero once mapped
  uint64_t hostAddress = 0;
  uint32_t size = 0;
};

// One DMA block: aligned host memory mapped for the device. The owning
// SystemDriver keeps it; the last release() hands it back to the owner, which
// destroys it (unmapping and freeing the memory). Mapping and unmapping run
// under the process-wide DMA semaphore, which is taken before the device-call
// mutex and never while the owner's live-block mutex is held, and is given
// back on every way out.
class NativeMemory : public DDKMemory {
 public:
  // Maps `size` bytes; on failure (host memory short included) address() is
  // 0 and the reason is printed.
  NativeMemory(SystemDriver& owner, uint64_t size, uint64_t alignment);
  ~NativeMemory() override;
  NativeMemory(const NativeMemory&) = delete;
  NativeMemory& operator=(const NativeMemory&) = delete;

  uint32_t addRef() override;
  uint32_t release() override;
  uint64_t address() const override { return address_; }
  uint64_t size() const override { return size_; }
  bool transfer(bool toDevice, uint64_t deviceAddress, uint64_t hostOffset, uint64_t size) override;

  // Set and cleared by the driver that maps the block.
  DmaMapping* mapping() const { return mapping_.get(); }
  void setMapping(std::unique_ptr<DmaMapping> mapping, uint64_t address);
  std::unique_ptr<DmaMapping> takeMapping();

 private:
  uint64_t address_ = 0;
  std::unique_ptr<DmaMapping> mapping_;
  SystemDriver& owner_;
  std::atomic<uint32_t> refs_{1};
  uint64_t size_ = 0;
};

// "1GB 5 Byte": the size in the units the out-of-memory line uses.
std::string describeSize(uint64_t size);

}  // namespace kestrane
