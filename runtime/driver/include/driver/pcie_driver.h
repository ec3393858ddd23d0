#pragma once

#include <array>
#include <cstdint>

#include "driver/system_driver_interface.h"

namespace kestrane {

// The card's device-file client: device information, register access, DMA
// mapping, transfers and device commands. Every control call of the process
// goes through one mutex, held for the call only, never for a wait.
class PCIeDriver : public SystemDriverInterface {
 public:
  // Longest wait for the reply of a command that does not wait for a run, and
  // for a post: the card answers those at once.
  static constexpr uint32_t kReplyTimeoutMs = 10000;

  PCIeDriver();

  // Opens the device file, reads and prints the connection details and checks
  // the driver and firmware revisions.
  bool open(int card) override;
  const uint8_t* getInfo() const { return info_.data(); }

  void writeRegister(uint32_t address, uint32_t value) override;
  uint32_t readRegister(uint32_t address) override;
  bool memoryWrite(NativeMemory& block, uint64_t deviceAddress, uint64_t hostOffset, uint32_t size) override;
  bool memoryRead(NativeMemory& block, uint64_t deviceAddress, uint64_t hostOffset, uint32_t size) override;
  uint32_t command(uint8_t* record, uint32_t timeoutMs) override;
  // Aligned host memory mapped for the device, set on the block; false after
  // a line when it cannot be had, for lack of host memory too (nothing is
  // kept then). Never throws, nor does freeDMA.
  bool allocDMA(NativeMemory& block, uint64_t size, uint64_t alignment);
  void freeDMA(NativeMemory& block);

 private:
  bool readDeviceInfo();
  bool checkRevisions();
  bool transfer(NativeMemory& block, bool toDevice, uint64_t deviceAddress, uint64_t hostOffset, uint32_t size);
  // One overlapped control call waited at most `waitMs` (platform::kInfinite:
  // no limit) and cancelled when the time is up: the reply's byte count, 258
  // on time-out, false in `ok` on failure.
  uint32_t overlappedCall(uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outLen,
                          uint32_t waitMs, bool& ok);

  std::array<uint8_t, 128> info_{};
};

}  // namespace kestrane
