#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>

#include "driver/driver.h"
#include "driver/taliss_monitor.h"

namespace kestrane {

class DDK;
class DDKMemory;

// The Driver of a second-generation card over its DDK, publishing the card's
// use in the device monitor.
class TalissDevice : public Driver {
 public:
  // The device of card `card`, or null with Driver_NotInitialized when the
  // card does not open or is not a supported device.
  static std::unique_ptr<TalissDevice> create(int card, StatusCode& status);

  ~TalissDevice() override;
  TalissDevice(const TalissDevice&) = delete;
  TalissDevice& operator=(const TalissDevice&) = delete;

  uint64_t writeMemoryBuffer(uint64_t base, uint64_t offset, uint64_t size, uint64_t host,
                             uint32_t memoryHandle) override;
  uint64_t readMemoryBuffer(uint64_t base, uint64_t offset, uint64_t size, uint64_t host,
                            uint32_t memoryHandle) override;
  uint32_t writeRegister(uint32_t address, uint32_t value) override;
  uint32_t readRegister(uint32_t address) override;
  bool resetDevice() override { return true; }
  StatusCode allocateHostMemory(uint64_t& host, uint64_t size) override;
  StatusCode freeHostMemory(uint64_t host) override;
  void getAvailableCores(std::vector<CoreId>& cores, StatusCode& status) override;
  StatusCode allocateCoreMemory(CoreId, uint64_t, uint64_t&) override { return StatusCode::OK; }
  StatusCode claimCores(const std::vector<CoreId>& cores) override;
  StatusCode unclaimCores(const std::vector<CoreId>& cores) override;
  StatusCode postInfer(const std::vector<CoreId>& cores) override;
  StatusCode postInfer(const std::vector<CoreId>& cores, uint32_t ioSlotOffset) override;
  bool waitDone(CoreId core, uint64_t timeoutNs) override;
  bool isWaitDoneBlocking() override { return true; }
  void setFootprint(uint64_t bytes) override { footprint_ = bytes; }

  // Register addresses of the engine are this far above the card's.
  static constexpr uint32_t kRegisterBase = 0x6F0000;
  // ⌈ns / 1 000 000⌉ milliseconds, saturated below the "no limit" value.
  static uint32_t timeoutMs(uint64_t timeoutNs);

 private:
  explicit TalissDevice(int card);
  uint64_t transfer(bool toDevice, uint64_t base, uint64_t offset, uint64_t size, uint64_t host);
  bool sendCommand(uint8_t op, const std::vector<CoreId>& cores, const uint32_t* ioSlotOffset);

  std::unique_ptr<DDK> ddk_;
  std::map<uint64_t, DDKMemory*> dmaMap_;  // holds one reference each; guarded by the process-wide DMA map mutex
  TalissMonitor monitor_;
  std::atomic<uint64_t> footprint_{0};
};

}  // namespace kestrane
