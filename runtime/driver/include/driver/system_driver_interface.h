#pragma once

#include <cstdint>
#include <memory>

#include "driver/driver_common.h"
#include "platform/device_file.h"

namespace kestrane {

class NativeMemory;

// A client of the card's device file: opens it and declares what a concrete
// driver supplies.
class SystemDriverInterface : public DriverCommon {
 public:
  ~SystemDriverInterface() override { close(); }

  // Closes any open handle and opens card `card`'s device file; a failure
  // prints the system's reason and leaves no handle.
  virtual bool open(int card);
  virtual void close();

  virtual void writeRegister(uint32_t address, uint32_t value) = 0;
  virtual uint32_t readRegister(uint32_t address) = 0;
  virtual bool memoryWrite(NativeMemory& block, uint64_t deviceAddress, uint64_t hostOffset, uint32_t size) = 0;
  virtual bool memoryRead(NativeMemory& block, uint64_t deviceAddress, uint64_t hostOffset, uint32_t size) = 0;
  virtual uint32_t command(uint8_t* record, uint32_t timeoutMs) = 0;

  static void* alignedAlloc(uint64_t size, uint64_t alignment);
  static void alignedFree(void* p);

 protected:
  std::unique_ptr<platform::DeviceHandle> device_;
};

}  // namespace kestrane
