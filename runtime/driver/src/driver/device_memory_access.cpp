#include "driver/device_memory_access.h"

#include <algorithm>
#include <cstring>

#include "core/trace_scope.h"
#include "driver/driver.h"

namespace kestrane {

namespace {

constexpr int kChannels = 4;

bool interleaved(bool interleave, uint64_t address) {
  return interleave && address >= kInterleaveFirst && address <= kInterleaveLast;
}

uint8_t* bytes(uint64_t address) { return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(address)); }

// A DMA buffer of the driver, freed on every way out.
class BounceBuffer {
 public:
  BounceBuffer(Driver& driver, uint64_t size) : driver_(driver) {
    if (driver_.allocateHostMemory(address_, size) != StatusCode::OK) address_ = 0;
  }
  ~BounceBuffer() {
    if (address_) driver_.freeHostMemory(address_);
  }
  BounceBuffer(const BounceBuffer&) = delete;
  BounceBuffer& operator=(const BounceBuffer&) = delete;
  uint64_t address() const { return address_; }

 private:
  Driver& driver_;
  uint64_t address_ = 0;
};

}  // namespace

uint64_t channelBytes(int channel, uint64_t n) {
  const uint64_t first = channel * kInterleaveGranule;
  if (first >= n) return 0;
  const uint64_t k = (n - 1 - first) / kInterleavePeriod;
  return k * kInterleavePeriod + std::min(kInterleaveGranule, n - first - k * kInterleavePeriod);
}

uint64_t interleaveData(uint8_t* dst, const uint8_t* src, int channel, uint64_t n) {
  TraceScope trace("interleave data");
  for (uint64_t k = 0, p = channel * kInterleaveGranule; p < n; ++k, p += kInterleavePeriod)
    std::memcpy(dst + k * kInterleavePeriod, src + p, std::min(kInterleaveGranule, n - p));
  return channelBytes(channel, n);
}

void deinterleaveData(uint8_t* dst, const uint8_t* src, int channel, uint64_t n) {
  TraceScope trace("Deinterleave data");
  for (uint64_t k = 0, p = channel * kInterleaveGranule; p < n; ++k, p += kInterleavePeriod)
    std::memcpy(dst + p, src + k * kInterleavePeriod, std::min(kInterleaveGranule, n - p));
}

uint64_t readDeviceMemory(Driver& driver, uint64_t address, uint64_t offset, uint64_t size, uint64_t host,
                          bool interleave, uint32_t memoryHandle) {
  if (size == 0) return 0;
  if (!interleaved(interleave, address)) return driver.readMemoryBuffer(address, offset, size, host, memoryHandle);
  BounceBuffer bounce(driver, size);
  if (bounce.address() == 0) return 0;
  const uint64_t position = offset + (address & 0xFFFFFFFF);
  for (int c = 0; c < kChannels; ++c) {
    const uint64_t target = c == 0 ? host : bounce.address();
    if (driver.readMemoryBuffer(channelWindow(c), position, size, target, memoryHandle) != size) return 0;
    if (c > 0) deinterleaveData(bytes(host), bytes(bounce.address()), c, size);
  }
  return size;
}

uint64_t writeDeviceMemory(Driver& driver, uint64_t address, uint64_t offset, uint64_t size, uint64_t host,
                           bool interleave, uint32_t memoryHandle) {
  if (size == 0) return 0;
  if (!interleaved(interleave, address)) return driver.writeMemoryBuffer(address, offset, size, host, memoryHandle);
  BounceBuffer bounce(driver, size);
  if (bounce.address() == 0) return 0;
  // The gaps between a channel's granules go to the device too: send zeros,
  // not whatever the buffer held.
  std::memset(bytes(bounce.address()), 0, size);
  const uint64_t position = offset + (address & 0xFFFFFFFF);
  if (driver.writeMemoryBuffer(channelWindow(0), position, size, host, memoryHandle) != size) return 0;
  for (int c = 1; c < kChannels; ++c) {
    const uint64_t n = interleaveData(bytes(bounce.address()), bytes(host), c, size);
    if (n == 0) continue;
    if (driver.writeMemoryBuffer(channelWindow(c), position, n, bounce.address(), memoryHandle) != n) return 0;
  }
  return size;
}

}  // namespace kestrane
