#include "driver/taliss_device.h"

#include <mutex>
#include <new>

#include "core/log.h"
#include "core/trace_scope.h"
#include "driver/ddk.h"
#include "driver/ddk_memory.h"
#include "driver/device_records.h"
#include "driver/pcie_driver.h"
#include "platform/event.h"

namespace kestrane {

namespace {

// Guards the DMA maps of every device of the process.
std::mutex gDmaMapMutex;

constexpr uint32_t kDmaAlignment = 32;

// Cluster position 0 or 1, or -1.
int clusterIndex(Cluster cluster) {
  if (cluster == Cluster::Cluster0) return 0;
  if (cluster == Cluster::Cluster1) return 1;
  return -1;
}

// Core position 0..3, 4 for the global core, or -1.
int coreIndex(Core core) {
  switch (core) {
    case Core::Core0: return 0;
    case Core::Core1: return 1;
    case Core::Core2: return 2;
    case Core::Core3: return 3;
    case Core::GlobalCore: return 4;
    default: return -1;
  }
}

bool buildMasks(const std::vector<CoreId>& cores, uint8_t masks[2]) {
  masks[0] = masks[1] = 0;
  for (const CoreId& id : cores) {
    const int c = clusterIndex(id.cluster), n = coreIndex(id.core);
    if (c < 0 || n < 0) return false;
    masks[c] |= static_cast<uint8_t>(1u << n);
  }
  return true;
}

bool replied(uint32_t bytes, const uint8_t* record) {
  return bytes == devrec::kCommandSize && (record[0] & devrec::kReplySuccess);
}

}  // namespace

std::unique_ptr<TalissDevice> TalissDevice::create(int card, StatusCode& status) {
  std::unique_ptr<TalissDevice> device;
  try {
    device.reset(new TalissDevice(card));
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("No host memory to open card {}.", card);
  }
  if (!device || !device->ddk_) {
    status = StatusCode::Driver_NotInitialized;
    return nullptr;
  }
  status = StatusCode::OK;
  return device;
}

TalissDevice::TalissDevice(int card) : monitor_(true) {
  ddk_ = DDK::create(card);
  if (!ddk_) return;
  if (ddk_->getName().find("PCIe") == std::string::npos) {
    ddk_.reset();
    return;
  }
  const uint8_t* info = ddk_->getInfo();
  const uint32_t generation = devrec::load<uint32_t>(info, devrec::kInfoSubVendor) >> 28;
  if (generation == 0) {
    KLOG_ERROR("Taliss #1 is not supported on this SDK.");
  } else if (generation == 1 && info[devrec::kInfoValidDevice] == 1) {
    monitor_.attachSlot(card);
    monitor_.setFlags(TalissMonitor::kFlagOpened | TalissMonitor::kFlagDeviceAlive);
    monitor_.storeFootprint(0);
    return;
  } else if (generation == 1) {
    KLOG_ERROR("Invalid firmware, not a Taliss #2 device.");
  } else {
    KLOG_ERROR("Unknown device version.");
  }
  ddk_.reset();
}

TalissDevice::~TalissDevice() {
  monitor_.clearFlags(TalissMonitor::kFlagDeviceAlive);
  std::map<uint64_t, DDKMemory*> blocks;
  {
    std::lock_guard lock(gDmaMapMutex);
    blocks.swap(dmaMap_);
  }
  for (auto& entry : blocks) entry.second->release();
  ddk_.reset();
}

uint64_t TalissDevice::transfer(bool toDevice, uint64_t base, uint64_t offset, uint64_t size, uint64_t host) {
  DDKMemory* block = nullptr;
  {
    std::lock_guard lock(gDmaMapMutex);
    auto it = dmaMap_.find(host);
    if (it != dmaMap_.end()) {
      block = it->second;
      block->addRef();  // a concurrent free must not pull the block away mid-transfer
    }
  }
  if (block == nullptr) {
    KLOG_ERROR("This is not a DMA memory.");
    return 0;
  }
  const bool ok = block->transfer(toDevice, base + offset, 0, size);
  block->release();
  return ok ? size : 0;
}

uint64_t TalissDevice::writeMemoryBuffer(uint64_t base, uint64_t offset, uint64_t size, uint64_t host, uint32_t) {
  TraceScope trace("write device");
  return transfer(true, base, offset, size, host);
}

uint64_t TalissDevice::readMemoryBuffer(uint64_t base, uint64_t offset, uint64_t size, uint64_t host, uint32_t) {
  TraceScope trace("read device");
  return transfer(false, base, offset, size, host);
}

uint32_t TalissDevice::writeRegister(uint32_t address, uint32_t value) {
  ddk_->writeRegister(address - kRegisterBase, value);
  return 4;
}

uint32_t TalissDevice::readRegister(uint32_t address) { return ddk_->readRegister(address - kRegisterBase); }

StatusCode TalissDevice::allocateHostMemory(uint64_t& host, uint64_t size) {
  DDKMemory* block = ddk_->allocMemory(size, kDmaAlignment);
  if (block == nullptr) return StatusCode::Driver_FailedToAllocateHostMemory;
  try {
    std::lock_guard lock(gDmaMapMutex);
    dmaMap_[block->address()] = block;
  } catch (const std::bad_alloc&) {
    block->release();  // unmapped and freed: nothing keeps it
    KLOG_ERROR("No host memory to keep a DMA buffer of {} bytes.", size);
    return StatusCode::Driver_FailedToAllocateHostMemory;
  }
  host = block->address();
  return StatusCode::OK;
}

StatusCode TalissDevice::freeHostMemory(uint64_t host) {
  DDKMemory* block = nullptr;
  {
    std::lock_guard lock(gDmaMapMutex);
    auto it = dmaMap_.find(host);
    if (it == dmaMap_.end()) return StatusCode::Driver_FailedToAllocateHostMemory;
    block = it->second;
    dmaMap_.erase(it);
  }
  block->release();  // outside the lock: the last release unmaps
  return StatusCode::OK;
}

bool TalissDevice::sendCommand(uint8_t op, const std::vector<CoreId>& cores, const uint32_t* ioSlotOffset) {
  uint8_t masks[2];
  if (!buildMasks(cores, masks)) return false;
  uint8_t record[devrec::kCommandSize] = {};
  record[0] = op;
  record[4] = masks[0];
  record[5] = masks[1];
  if (ioSlotOffset) {
    devrec::store<uint32_t>(record, 8, *ioSlotOffset);
    record[12] = 1;
  }
  // A post is answered when the run starts, so its wait is bounded like the others.
  if (!replied(ddk_->command(record, PCIeDriver::kReplyTimeoutMs), record)) return false;
  if (op == devrec::kPostRun && monitor_.hasSlot()) {
    for (int c = 0; c < 2; ++c)
      for (int n = 0; n < 5; ++n)
        if (masks[c] & (1u << n)) monitor_.countPost(c, n);
    monitor_.storeFootprint(footprint_);
  }
  return true;
}

void TalissDevice::getAvailableCores(std::vector<CoreId>& cores, StatusCode& status) {
  cores.clear();
  uint8_t record[devrec::kCommandSize] = {};
  record[0] = devrec::kQueryFreeCores;
  if (!replied(ddk_->command(record, 0), record)) {
    status = StatusCode::NotImplemented;
    return;
  }
  static constexpr Core kCores[5] = {Core::Core0, Core::Core1, Core::Core2, Core::Core3, Core::GlobalCore};
  static constexpr Cluster kClusters[2] = {Cluster::Cluster0, Cluster::Cluster1};
  for (int c = 0; c < 2; ++c)
    for (int n = 0; n < 5; ++n)
      if (record[4 + c] & (1u << n)) cores.push_back({kClusters[c], kCores[n]});
  status = StatusCode::OK;
}

StatusCode TalissDevice::claimCores(const std::vector<CoreId>& cores) {
  return sendCommand(devrec::kClaimCores, cores, nullptr) ? StatusCode::OK : StatusCode::Driver_FailedToClaimCores;
}

StatusCode TalissDevice::unclaimCores(const std::vector<CoreId>& cores) {
  return sendCommand(devrec::kUnclaimCores, cores, nullptr) ? StatusCode::OK
                                                            : StatusCode::Driver_FailedToUnclaimCores;
}

StatusCode TalissDevice::postInfer(const std::vector<CoreId>& cores) {
  return sendCommand(devrec::kPostRun, cores, nullptr) ? StatusCode::OK : StatusCode::Driver_FailedToPostInfer;
}

StatusCode TalissDevice::postInfer(const std::vector<CoreId>& cores, uint32_t ioSlotOffset) {
  return sendCommand(devrec::kPostRun, cores, &ioSlotOffset) ? StatusCode::OK : StatusCode::Driver_FailedToPostInfer;
}

uint32_t TalissDevice::timeoutMs(uint64_t timeoutNs) {
  const uint64_t ms = timeoutNs / 1000000 + (timeoutNs % 1000000 != 0 ? 1 : 0);
  return ms >= platform::kInfinite ? platform::kInfinite - 1 : static_cast<uint32_t>(ms);
}

bool TalissDevice::waitDone(CoreId core, uint64_t timeoutNs) {
  const int c = clusterIndex(core.cluster), n = coreIndex(core.core);
  if (c < 0 || n < 0) return false;
  uint8_t record[devrec::kCommandSize] = {};
  record[0] = devrec::kWaitRun;
  record[4] = static_cast<uint8_t>(c | n << 3);
  const uint32_t result = ddk_->command(record, timeoutMs(timeoutNs));
  if (result == platform::kWaitTimeout) return false;
  return (record[0] & devrec::kReplySuccess) != 0 && result == devrec::kCommandSize;
}

}  // namespace kestrane
