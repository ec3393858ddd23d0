#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kestrane {

class DDKMemory;

// One opened card as the layer above sees it.
class DDK {
 public:
  static constexpr int kMaxCards = 64;

  // Null for a card index above 63 or a card that does not open.
  static std::unique_ptr<DDK> create(int card);

  virtual ~DDK() = default;
  // The driver's name text; empty while no device is open.
  virtual std::string getName() const = 0;
  virtual bool open(int card) = 0;
  // The 128-byte device-information block, or null.
  virtual const uint8_t* getInfo() const = 0;
  // A new DMA block with one reference, or null.
  virtual DDKMemory* allocMemory(uint64_t size, uint64_t alignment) = 0;
  virtual void forEachMemory(const std::function<void(DDKMemory&)>& fn) = 0;
  virtual uint32_t readRegister(uint32_t address) = 0;
  virtual void writeRegister(uint32_t address, uint32_t value) = 0;
  // Sends a 16-byte device command; returns the reply's byte count (16), 258
  // when the wait for its end timed out, or 0 when the call failed.
  virtual uint32_t command(uint8_t* record, uint32_t timeoutMs) = 0;
};

}  // namespace kestrane
