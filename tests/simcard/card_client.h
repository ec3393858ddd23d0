#pragma once

// Speaks the card's control codes with raw byte records, as a kernel client
// would, so these tests check the card without the driver layer.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/device_file.h"
#include "platform/event.h"
#include "platform/unaligned.h"
#include "simcard/card_registry.h"
#include "support/program_assembler.h"

namespace kestrane::test {

using platform::load;
using platform::store;

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

  bool call(uint32_t code, void* record, uint32_t size, uint32_t* bytes = nullptr, platform::Overlapped* ov = nullptr) {
    return platform::deviceIoControl(*handle_, code, record, size, record, size, bytes, ov);
  }
  bool send(uint32_t code, const void* record, uint32_t size, void* out = nullptr, uint32_t outSize = 0) {
    return platform::deviceIoControl(*handle_, code, record, size, out, outSize, nullptr, nullptr);
  }

  // Map: returns the handle, 0 when refused.
  uint64_t map(const void* host, uint32_t size) {
    uint8_t r[24] = {};
    store<uint64_t>(r, 8, reinterpret_cast<uintptr_t>(host));
    store<uint32_t>(r, 16, size);
    return call(0x222004, r, 24) ? load<uint64_t>(r, 0) : 0;
  }
  bool unmap(uint64_t handle) {
    uint8_t r[24] = {};
    store<uint64_t>(r, 0, handle);
    return call(0x222008, r, 24);
  }
  bool transfer(bool toDevice, uint64_t handle, uint64_t device, uint32_t offset, uint32_t count) {
    uint8_t r[32] = {};
    store<uint32_t>(r, 0, toDevice ? 1 : 0);
    store<uint64_t>(r, 8, handle);
    store<uint64_t>(r, 16, device);
    store<uint32_t>(r, 24, offset);
    store<uint32_t>(r, 28, count);
    return send(0x22201A, r, 32);
  }
  bool writeRegister(uint32_t address, uint32_t value) {
    const uint32_t r[3] = {3, address, value};
    return send(0x222012, r, 12);
  }
  uint32_t readRegister(uint32_t address) {
    const uint32_t r[3] = {2, address, 0};
    uint32_t value = 0xDEAD;
    send(0x222012, r, 12, &value, 4);
    return value;
  }
  CommandReply command(uint8_t op, uint8_t b4, uint8_t b5 = 0, uint32_t ioSlot = 0, bool hasIoSlot = false) {
    CommandReply reply;
    reply.record[0] = op;
    reply.record[4] = b4;
    reply.record[5] = b5;
    store<uint32_t>(reply.record, 8, ioSlot);
    reply.record[12] = hasIoSlot ? 1 : 0;
    reply.called = call(0x222026, reply.record, 16, &reply.bytes);
    return reply;
  }

 private:
  std::unique_ptr<platform::DeviceHandle> handle_;
};

// A wait on `core` (cluster bit and core index in byte 4) left pending: its
// reply lands in `record`, its end is signalled on `event`.
struct PendingWait {
  PendingWait(CardClient& client, int cluster, int core) : ov(event.get()) {
    record[0] = 0x05;
    record[4] = static_cast<uint8_t>(cluster | core << 3);
    started = client.call(0x222026, record.get(), 16, nullptr, &ov);  // false: left pending
  }
  std::unique_ptr<uint8_t[]> record = std::make_unique<uint8_t[]>(16);
  std::unique_ptr<platform::Event> event = std::make_unique<platform::Event>(false);
  platform::Overlapped ov;
  bool started = true;
};

// A fresh card with two handles on it, a and b, acting as two processes.
class CardTest : public ::testing::Test {
 protected:
  static constexpr int kCard = 7;
  void attach(const simcard::CardOptions& options = {}) {
    a_.reset();
    b_.reset();
    card_ = simcard::attachCard(kCard, options);
    a_ = std::make_unique<CardClient>(simcard::deviceName(kCard));
    b_ = std::make_unique<CardClient>(simcard::deviceName(kCard));
    ASSERT_TRUE(a_->opened());
  }
  void SetUp() override { attach(); }
  void TearDown() override {
    a_.reset();
    b_.reset();
    simcard::detachCard(kCard);
  }
  const simcard::CoreLayout& core(int cluster, int index) {
    return card_->layout().cores[static_cast<size_t>(card_->layout().find(cluster, index))];
  }
  void loadProgram(int cluster, int index, const ProgramAssembler& program) {
    auto bytes = program.bytes();
    ASSERT_TRUE(card_->poke(core(cluster, index).imem, bytes.data(), bytes.size()));
  }
  template <typename T>
  std::vector<T> peek(uint64_t address, size_t n) {
    std::vector<T> v(n);
    EXPECT_TRUE(card_->peek(address, v.data(), n * sizeof(T)));
    return v;
  }
  template <typename T>
  void poke(uint64_t address, const std::vector<T>& v) {
    ASSERT_TRUE(card_->poke(address, v.data(), v.size() * sizeof(T)));
  }

  std::shared_ptr<simcard::SimCard> card_;
  std::unique_ptr<CardClient> a_, b_;
};

}  // namespace kestrane::test
