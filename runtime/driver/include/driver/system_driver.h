#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "driver/ddk.h"

namespace kestrane {

class NativeMemory;
class PCIeDriver;

// The DDK of one card: owns the device-file client and every live DMA block.
class SystemDriver : public DDK {
 public:
  SystemDriver();
  ~SystemDriver() override;

  std::string getName() const override;
  bool open(int card) override;
  const uint8_t* getInfo() const override;
  DDKMemory* allocMemory(uint64_t size, uint64_t alignment) override;
  void forEachMemory(const std::function<void(DDKMemory&)>& fn) override;
  uint32_t readRegister(uint32_t address) override;
  void writeRegister(uint32_t address, uint32_t value) override;
  uint32_t command(uint8_t* record, uint32_t timeoutMs) override;

  // For NativeMemory.
  PCIeDriver* pcie() const { return pcie_.get(); }
  // Destroys a block whose last reference went away.
  void destroyBlock(NativeMemory* block);
  size_t liveBlocks() const;

 private:
  mutable std::mutex liveMutex_;  // guards blocks_; never held while a block is destroyed
  std::map<NativeMemory*, std::unique_ptr<NativeMemory>> blocks_;
  std::unique_ptr<PCIeDriver> pcie_;
};

}  // namespace kestrane
