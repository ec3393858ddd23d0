#pragma once

// Speaks the card's control codes with raw byte records, as a kernel client
// would, so these tests check the card without the driver layer.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/device_file.h"
#include "platform/event.h"

namespace kestrane::test {

struct CommandReply {
  bool called = false;  // the control call itself succeeded
  uint32_t bytes = 0;
  uint8_t record[16] = {};
  bool success() const { return called && bytes == 16 && (record[0] & 2); }
};

class CardClient {
 public:
  explicit CardClient(const std::string& name) : handle_(platform::openDevice(name)) {}
  bool opened() const { return handle_ != nullptr; }
  platform::DeviceHandle& handle() { return *handle_; }

  bool call(uint32_t code, void* record, uint32_t size, uint32_t* bytes = nullptr) {
    return platform::deviceIoControl(*handle_, code, record, size, record, size, bytes, nullptr);
  }

  // Map: returns the handle (0 when refused); `called` tells whether the call worked.
  uint64_t map(const void* host, uint32_t size, bool* called = nullptr) {
    uint8_t r[24] = {};
    uint64_t address = reinterpret_cast<uintptr_t>(host);
    std::memcpy(r + 8, &address, 8);
    std::memcpy(r + 16, &size, 4);
    bool ok = call(0x222004, r, 24);
    if (called) *called = ok;
    uint64_t handle = 0;
    if (ok) std::memcpy(&handle, r, 8);
    return handle;
  }
  bool unmap(uint64_t handle) {
    uint8_t r[24] = {};
    std::memcpy(r, &handle, 8);
    return call(0x222008, r, 24);
  }
  bool transfer(bool toDevice, uint64_t handle, uint64_t device, uint32_t offset, uint32_t count) {
    uint8_t r[32] = {};
    uint32_t dir = toDevice ? 1 : 0;
    std::memcpy(r, &dir, 4);
    std::memcpy(r + 8, &handle, 8);
    std::memcpy(r + 16, &device, 8);
    std::memcpy(r + 24, &offset, 4);
    std::memcpy(r + 28, &count, 4);
    return platform::deviceIoControl(*handle_, 0x22201A, r, 32, nullptr, 0, nullptr, nullptr);
  }
  bool writeRegister(uint32_t address, uint32_t value) {
    uint32_t r[3] = {3, address, value};
    return platform::deviceIoControl(*handle_, 0x222012, r, 12, nullptr, 0, nullptr, nullptr);
  }
  uint32_t readRegister(uint32_t address) {
    uint32_t r[3] = {2, address, 0};
    uint32_t value = 0xDEAD;
    platform::deviceIoControl(*handle_, 0x222012, r, 12, &value, 4, nullptr, nullptr);
    return value;
  }
  CommandReply command(uint8_t op, uint8_t b4, uint8_t b5 = 0, uint32_t ioSlot = 0, bool hasIoSlot = false) {
    CommandReply reply;
    reply.record[0] = op;
    reply.record[4] = b4;
    reply.record[5] = b5;
    std::memcpy(reply.record + 8, &ioSlot, 4);
    reply.record[12] = hasIoSlot ? 1 : 0;
    reply.called = call(0x222026, reply.record, 16, &reply.bytes);
    return reply;
  }
  // A wait left pending on `event`; the reply lands in `record`.
  bool startWait(uint8_t coreByte, uint8_t* record, platform::Overlapped& ov) {
    std::memset(record, 0, 16);
    record[0] = 0x05;
    record[4] = coreByte;
    uint32_t bytes = 0;
    return platform::deviceIoControl(*handle_, 0x222026, record, 16, record, 16, &bytes, &ov);
  }

 private:
  std::unique_ptr<platform::DeviceHandle> handle_;
};

// Byte 4 of a wait: cluster bit and core index.
inline uint8_t waitByte(int cluster, int core) { return static_cast<uint8_t>(cluster | core << 3); }

}  // namespace kestrane::test
