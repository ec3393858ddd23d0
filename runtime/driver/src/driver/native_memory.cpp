#include "driver/native_memory.h"

#include <new>

#include "config/globals.h"
#include "driver/driver_print.h"
#include "driver/pcie_driver.h"
#include "driver/system_driver.h"
#include "platform/semaphore.h"

namespace kestrane {

std::string describeSize(uint64_t size) {
  std::string text;
  auto part = [&](uint64_t value, const char* unit) {
    if (!text.empty()) text += " ";
    text += std::to_string(value) + unit;
  };
  if (size >= (1ull << 30)) part(size >> 30, "GB");
  size &= (1ull << 30) - 1;
  if (size >= (1ull << 20)) part(size >> 20, "MB");
  size &= (1ull << 20) - 1;
  if (size >= 1024) part(size >> 10, "KB");
  size &= 1023;
  if (size != 0) part(size, " Byte");
  return text;
}

namespace {

// The process-wide DMA semaphore, given back on every way out: a mapping
// left holding it would make every later one wait for ever.
class DmaTurn {
 public:
  DmaTurn() { dmaSemaphore().acquire(); }
  ~DmaTurn() { dmaSemaphore().release(); }
  DmaTurn(const DmaTurn&) = delete;
  DmaTurn& operator=(const DmaTurn&) = delete;
};

}  // namespace

NativeMemory::NativeMemory(SystemDriver& owner, uint64_t size, uint64_t alignment) : owner_(owner) {
  bool mapped = false;
  {
    const DmaTurn turn;
    mapped = owner_.pcie() && owner_.pcie()->allocDMA(*this, size, alignment);
  }
  if (mapped) {
    size_ = size;
    return;
  }
  try {
    driverPrint("*E: Sorry! No more linear physical heap memory : %s\n", describeSize(size).c_str());
  } catch (const std::bad_alloc&) {  // not even the line's text
    driverPrint("*E: Sorry! No more linear physical heap memory : %llu Byte\n", static_cast<unsigned long long>(size));
  }
}

NativeMemory::~NativeMemory() {
  const DmaTurn turn;
  if (owner_.pcie()) owner_.pcie()->freeDMA(*this);
}

uint32_t NativeMemory::addRef() { return ++refs_; }

uint32_t NativeMemory::release() {
  const uint32_t left = --refs_;
  if (left == 0) owner_.destroyBlock(this);
  return left;
}

void NativeMemory::setMapping(std::unique_ptr<DmaMapping> mapping, uint64_t address) {
  mapping_ = std::move(mapping);
  address_ = address;
}

std::unique_ptr<DmaMapping> NativeMemory::takeMapping() {
  address_ = 0;
  return std::move(mapping_);
}

bool NativeMemory::transfer(bool toDevice, uint64_t deviceAddress, uint64_t hostOffset, uint64_t size) {
  if (address_ == 0 || hostOffset > size_ || !owner_.pcie()) return false;
  if (size == 0) size = size_ - hostOffset;
  // Never past the block, and never a size the 32-bit request would cut short.
  if (size == 0 || size > size_ - hostOffset || size > UINT32_MAX) return false;
  return toDevice ? owner_.pcie()->memoryWrite(*this, deviceAddress, hostOffset, static_cast<uint32_t>(size))
                  : owner_.pcie()->memoryRead(*this, deviceAddress, hostOffset, static_cast<uint32_t>(size));
}

}  // namespace kestrane
