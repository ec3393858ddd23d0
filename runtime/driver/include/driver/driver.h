#pragma once

#include <cstdint>
#include <vector>

#include "kestrane/status.h"
#include "kestrane/type.h"

namespace kestrane {

// One accelerator card as the engine uses it: device-memory transfers,
// registers, host DMA memory, core claims, posting runs and waiting for them.
// Any thread may call any operation.
class Driver {
 public:
  virtual ~Driver() = default;

  // Bytes moved between device address base + offset and the DMA buffer that
  // starts at `host`; 0 when the buffer is not a DMA buffer or the move failed.
  virtual uint64_t writeMemoryBuffer(uint64_t base, uint64_t offset, uint64_t size, uint64_t host,
                                     uint32_t memoryHandle) = 0;
  virtual uint64_t readMemoryBuffer(uint64_t base, uint64_t offset, uint64_t size, uint64_t host,
                                    uint32_t memoryHandle) = 0;
  virtual uint32_t writeRegister(uint32_t address, uint32_t value) = 0;
  virtual uint32_t readRegister(uint32_t address) = 0;
  virtual bool resetDevice() = 0;
  virtual StatusCode allocateHostMemory(uint64_t& host, uint64_t size) = 0;
  virtual StatusCode freeHostMemory(uint64_t host) = 0;
  virtual void getAvailableCores(std::vector<CoreId>& cores, StatusCode& status) = 0;
  virtual StatusCode allocateCoreMemory(CoreId core, uint64_t size, uint64_t& memoryHandle) = 0;
  virtual StatusCode claimCores(const std::vector<CoreId>& cores) = 0;
  virtual StatusCode unclaimCores(const std::vector<CoreId>& cores) = 0;
  virtual StatusCode postInfer(const std::vector<CoreId>& cores) = 0;
  virtual StatusCode postInfer(const std::vector<CoreId>& cores, uint32_t ioSlotOffset) = 0;
  // False when the run did not end within the time (0: no limit) or failed.
  virtual bool waitDone(CoreId core, uint64_t timeoutNs) = 0;
  virtual bool isWaitDoneBlocking() = 0;
  // The device-memory footprint of the launched models, published with every post.
  virtual void setFootprint(uint64_t bytes) = 0;
};

}  // namespace kestrane
