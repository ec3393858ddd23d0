#include "driver/system_driver.h"

#include <new>
#include <vector>

#include "config/globals.h"
#include "driver/driver_print.h"
#include "driver/native_memory.h"
#include "driver/pcie_driver.h"

namespace kestrane {

std::unique_ptr<DDK> DDK::create(int card) {
  if (card < 0 || card >= kMaxCards) return nullptr;
  try {
    auto ddk = std::make_unique<SystemDriver>();
    if (!ddk->open(card)) return nullptr;
    return ddk;
  } catch (const std::bad_alloc&) {
    driverPrintError("System memory insufficient to open card %d.", card);
    return nullptr;
  }
}

SystemDriver::SystemDriver() = default;

SystemDriver::~SystemDriver() {
  std::map<NativeMemory*, std::unique_ptr<NativeMemory>> blocks;
  {
    std::lock_guard lock(liveMutex_);
    blocks.swap(blocks_);
  }
  if (!blocks.empty()) driverPrint("*W: Unreleased memory is existed.\n");
  blocks.clear();  // unmaps and frees each while the device is still open
  pcie_.reset();
}

std::string SystemDriver::getName() const { return pcie_ ? driverText() : std::string(); }

bool SystemDriver::open(int card) {
  pcie_.reset();
  pcie_ = std::make_unique<PCIeDriver>();
  return pcie_->open(card);
}

const uint8_t* SystemDriver::getInfo() const { return pcie_ ? pcie_->getInfo() : nullptr; }

DDKMemory* SystemDriver::allocMemory(uint64_t size, uint64_t alignment) {
  if (!pcie_) return nullptr;
  try {
    auto block = std::make_unique<NativeMemory>(*this, size, alignment);
    if (block->address() == 0) return nullptr;
    NativeMemory* raw = block.get();
    std::lock_guard lock(liveMutex_);
    blocks_.emplace(raw, std::move(block));  // when this throws, the block unmaps itself
    return raw;
  } catch (const std::bad_alloc&) {
    driverPrintError("System memory insufficient : %lld bytes", static_cast<long long>(size));
    return nullptr;
  }
}

void SystemDriver::destroyBlock(NativeMemory* block) {
  std::unique_ptr<NativeMemory> doomed;
  {
    std::lock_guard lock(liveMutex_);
    auto it = blocks_.find(block);
    if (it == blocks_.end()) return;
    doomed = std::move(it->second);
    blocks_.erase(it);
  }
  // Destroyed outside the lock: the block waits for the DMA semaphore.
}

void SystemDriver::forEachMemory(const std::function<void(DDKMemory&)>& fn) {
  std::vector<NativeMemory*> blocks;
  {
    std::lock_guard lock(liveMutex_);
    for (auto& entry : blocks_) blocks.push_back(entry.first);
  }
  for (NativeMemory* block : blocks) fn(*block);
}

size_t SystemDriver::liveBlocks() const {
  std::lock_guard lock(liveMutex_);
  return blocks_.size();
}

uint32_t SystemDriver::readRegister(uint32_t address) { return pcie_ ? pcie_->readRegister(address) : 0; }

void SystemDriver::writeRegister(uint32_t address, uint32_t value) {
  if (pcie_) pcie_->writeRegister(address, value);
}

uint32_t SystemDriver::command(uint8_t* record, uint32_t timeoutMs) {
  return pcie_ ? pcie_->command(record, timeoutMs) : 0;
}

}  // namespace kestrane
