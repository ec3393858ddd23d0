// Bulk moves of cache memory between host and device, one staging DMA
// buffer of 1 MiB at a time, with the accelerator's interleave flag.

#include <algorithm>
#include <cstring>

#include "core/log.h"
#include "driver/device_memory_access.h"
#include "engine/acc_impl.h"

namespace kestrane {

namespace {

constexpr uint64_t kChunk = 0x100000;

uint8_t* hostBytes(uint64_t address) { return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(address)); }

// A staging DMA buffer of the driver, freed on every way out.
class Staging {
 public:
  explicit Staging(Driver& driver) : driver_(driver) {
    if (driver_.allocateHostMemory(address_, kChunk) != StatusCode::OK) address_ = 0;
  }
  ~Staging() {
    if (address_) driver_.freeHostMemory(address_);
  }
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;
  uint64_t address() const { return address_; }

 private:
  Driver& driver_;
  uint64_t address_ = 0;
};

}  // namespace

StatusCode AcceleratorImpl::dumpFromNPU(void* host, uint64_t base, uint64_t offset, uint64_t size) {
  Staging staging(*driver_);
  if (staging.address() == 0) return StatusCode::Driver_FailedToAllocateHostMemory;
  for (uint64_t q = 0; q < size; q += kChunk) {
    const uint64_t n = std::min(kChunk, size - q);
    const uint64_t got = readDeviceMemory(*driver_, base, offset + q, n, staging.address(), interleave_, 0);
    if (got != n) {
      KLOG_ERROR("Failed to dump From NPU - readMemoryBuffer read {} bytes, expected {} bytes.", got, n);
      return StatusCode::Driver_FailedToReadMemoryBuffer;
    }
    std::memcpy(static_cast<uint8_t*>(host) + offset + q, hostBytes(staging.address()), n);
  }
  return StatusCode::OK;
}

StatusCode AcceleratorImpl::loadToNPU(const void* host, uint64_t base, uint64_t offset, uint64_t size) {
  Staging staging(*driver_);
  if (staging.address() == 0) return StatusCode::Driver_FailedToAllocateHostMemory;
  for (uint64_t q = 0; q < size; q += kChunk) {
    const uint64_t n = std::min(kChunk, size - q);
    std::memcpy(hostBytes(staging.address()), static_cast<const uint8_t*>(host) + offset + q, n);
    const uint64_t put = writeDeviceMemory(*driver_, base, offset + q, n, staging.address(), interleave_, 0);
    if (put != n) {
      KLOG_ERROR("Failed to load to NPU - writeMemoryBuffer wrote {} bytes, expected {} bytes.", put, n);
      return StatusCode::Driver_FailedToWriteMemoryBuffer;
    }
  }
  return StatusCode::OK;
}

StatusCode AcceleratorImpl::resetCacheMemory(EngineModel* model, size_t variant) {
  if (model == nullptr || variant >= model->variantCount()) return StatusCode::Model_InvalidVariantIdx;
  Staging staging(*driver_);
  if (staging.address() == 0) return StatusCode::Driver_FailedToAllocateHostMemory;
  std::memset(hostBytes(staging.address()), 0, kChunk);
  const std::vector<CoreId>& cores = model->targetCores();
  const std::vector<DevicePlacement> placements = model->cachePlacements(variant);
  bool placed = false;
  for (const DevicePlacement& p : placements) {
    if (std::find(cores.begin(), cores.end(), p.core) == cores.end()) continue;
    placed = true;
    for (uint64_t done = 0; done < p.size; done += kChunk) {
      const uint64_t n = std::min(kChunk, p.size - done);
      const uint64_t put = writeDeviceMemory(*driver_, p.address, done, n, staging.address(), interleave_, 0);
      if (put != n) {
        KLOG_ERROR("resetCacheMemory failed: writeMemoryBuffer wrote {} bytes, expected {} bytes.", put, n);
        return StatusCode::Driver_FailedToWriteMemoryBuffer;
      }
    }
  }
  if (!placements.empty() && !placed) {
    KLOG_ERROR("resetCacheMemory failed: no cache placement of variant {} is on the model's cores.", variant);
    return StatusCode::Model_NoCache;
  }
  return StatusCode::OK;
}

}  // namespace kestrane
