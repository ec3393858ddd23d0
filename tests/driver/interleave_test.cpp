#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "driver/device_memory_access.h"
#include "driver/driver.h"
#include "tests/driver/driver_fixture.h"

namespace kestrane::test {
namespace {

// Records every transfer and keeps written bytes by device address.
class RecordingDriver : public Driver {
 public:
  struct Call {
    uint64_t base, offset, size;
    std::vector<uint8_t> data;  // what a write sent
  };

  uint64_t writeMemoryBuffer(uint64_t base, uint64_t offset, uint64_t size, uint64_t host, uint32_t) override {
    calls.push_back({base, offset, size, std::vector<uint8_t>(bytes(host), bytes(host) + size)});
    if (shortWrites) return size - 1;
    for (uint64_t i = 0; i < size; ++i) memory[base + offset + i] = bytes(host)[i];
    return size;
  }
  uint64_t readMemoryBuffer(uint64_t base, uint64_t offset, uint64_t size, uint64_t host, uint32_t) override {
    calls.push_back({base, offset, size, {}});
    for (uint64_t i = 0; i < size; ++i) {
      auto it = memory.find(base + offset + i);
      bytes(host)[i] = it == memory.end() ? 0 : it->second;
    }
    return size;
  }
  StatusCode allocateHostMemory(uint64_t& host, uint64_t size) override {
    auto block = std::make_unique<uint8_t[]>(size);
    std::fill(block.get(), block.get() + size, 0xCD);  // stale content
    host = reinterpret_cast<uintptr_t>(block.get());
    blocks[host] = std::move(block);
    return StatusCode::OK;
  }
  StatusCode freeHostMemory(uint64_t host) override {
    return blocks.erase(host) ? StatusCode::OK : StatusCode::Driver_FailedToAllocateHostMemory;
  }
  uint32_t writeRegister(uint32_t, uint32_t) override { return 4; }
  uint32_t readRegister(uint32_t) override { return 0; }
  bool resetDevice() override { return true; }
  void getAvailableCores(std::vector<CoreId>&, StatusCode& s) override { s = StatusCode::OK; }
  StatusCode allocateCoreMemory(CoreId, uint64_t, uint64_t&) override { return StatusCode::OK; }
  StatusCode claimCores(const std::vector<CoreId>&) override { return StatusCode::OK; }
  StatusCode unclaimCores(const std::vector<CoreId>&) override { return StatusCode::OK; }
  StatusCode postInfer(const std::vector<CoreId>&) override { return StatusCode::OK; }
  StatusCode postInfer(const std::vector<CoreId>&, uint32_t) override { return StatusCode::OK; }
  bool waitDone(CoreId, uint64_t) override { return true; }
  bool isWaitDoneBlocking() override { return true; }
  void setFootprint(uint64_t) override {}

  // A host block holding `data`.
  uint64_t host(const std::vector<uint8_t>& data) {
    uint64_t address = 0;
    allocateHostMemory(address, data.size());
    std::copy(data.begin(), data.end(), bytes(address));
    return address;
  }

  std::vector<Call> calls;
  std::map<uint64_t, uint8_t> memory;
  std::map<uint64_t, std::unique_ptr<uint8_t[]>> blocks;
  bool shortWrites = false;
};

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 256);
  return v;
}

TEST(InterleaveTest, ThousandByteWriteSplitsOverFourChannels) {
  RecordingDriver driver;
  const auto data = pattern(1000);
  EXPECT_EQ(writeDeviceMemory(driver, 0x800000010, 0x20, 1000, driver.host(data), true, 0), 1000u);
  ASSERT_EQ(driver.calls.size(), 4u);
  EXPECT_EQ(driver.calls[0].base, 0x800000000u);
  EXPECT_EQ(driver.calls[0].size, 1000u);
  EXPECT_EQ(driver.calls[0].data, data);
  const uint64_t sizes[4] = {1000, 256, 256, 232};
  for (int c = 1; c < 4; ++c) {
    const auto& call = driver.calls[c];
    EXPECT_EQ(call.base, channelWindow(c));
    EXPECT_EQ(call.offset, 0x20u + 0x10u);
    ASSERT_EQ(call.size, sizes[c]);
    EXPECT_TRUE(std::equal(call.data.begin(), call.data.end(), data.begin() + 256 * c));
  }
  EXPECT_EQ(driver.blocks.size(), 1u);  // the bounce buffer went back
}

TEST(InterleaveTest, LongerWritesCarryOneGranulePerPeriodWithZeroGaps) {
  std::vector<uint8_t> src = pattern(2048), dst(2048, 0xCD);
  EXPECT_EQ(interleaveData(dst.data(), src.data(), 1, 2048), 1280u);
  EXPECT_TRUE(std::equal(dst.begin(), dst.begin() + 256, src.begin() + 256));
  EXPECT_TRUE(std::equal(dst.begin() + 1024, dst.begin() + 1280, src.begin() + 1280));
  EXPECT_EQ(dst[300], 0xCD);  // the function itself leaves gaps alone...
  EXPECT_EQ(interleaveData(dst.data(), src.data(), 3, 700), 0u);

  RecordingDriver driver;
  ASSERT_EQ(writeDeviceMemory(driver, 0x900000000, 0, 2048, driver.host(src), true, 0), 2048u);
  const auto& channel1 = driver.calls[1].data;
  ASSERT_EQ(channel1.size(), 1280u);
  // ...but what the device gets between granules is zero, not stale memory.
  EXPECT_TRUE(std::all_of(channel1.begin() + 256, channel1.begin() + 1024, [](uint8_t b) { return b == 0; }));
}

TEST(InterleaveTest, OutsideTheRangeWithoutTheFlagOrEmptyPassesUnsplit) {
  for (auto [address, flag] : {std::pair<uint64_t, bool>{0xF00000000, true}, {0x7FFFFFFFF, true}, {0x800000000, false}}) {
    RecordingDriver driver;
    const uint64_t host = driver.host(std::vector<uint8_t>(4096));
    EXPECT_EQ(writeDeviceMemory(driver, address, 8, 4096, host, flag, 0), 4096u);
    EXPECT_EQ(readDeviceMemory(driver, address, 8, 4096, host, flag, 0), 4096u);
    ASSERT_EQ(driver.calls.size(), 2u);
    EXPECT_EQ(driver.calls[0].base, address);
    EXPECT_EQ(driver.calls[0].offset, 8u);
  }
  RecordingDriver driver;  // nothing to move makes no call
  EXPECT_EQ(writeDeviceMemory(driver, 0x800000000, 0, 0, 0, true, 0), 0u);
  EXPECT_EQ(readDeviceMemory(driver, 0x800000000, 0, 0, 0, false, 0), 0u);
  EXPECT_TRUE(driver.calls.empty());
}

TEST(InterleaveTest, ShortChannelWriteFailsTheWholeTransfer) {
  RecordingDriver driver;
  const uint64_t host = driver.host(std::vector<uint8_t>(1024));
  driver.shortWrites = true;
  EXPECT_EQ(writeDeviceMemory(driver, 0x800000000, 0, 1024, host, true, 0), 0u);
  EXPECT_EQ(driver.blocks.size(), 1u);
}

TEST(InterleaveTest, RandomTransfersRoundTrip) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 40; ++round) {
    RecordingDriver driver;
    const uint64_t size = 1 + rng() % 5000, offset = rng() % 3000;
    const uint64_t address = 0x800000000 + (rng() % 0x10000);
    std::vector<uint8_t> src(size), gathered(size + 1024), restored(size);
    for (auto& b : src) b = static_cast<uint8_t>(rng());
    const uint64_t back = driver.host(std::vector<uint8_t>(size));
    ASSERT_EQ(writeDeviceMemory(driver, address, offset, size, driver.host(src), true, 0), size);
    ASSERT_EQ(readDeviceMemory(driver, address, offset, size, back, true, 0), size);
    ASSERT_EQ(std::memcmp(src.data(), bytes(back), size), 0) << "size " << size << " offset " << offset;
    for (int c = 0; c < 4; ++c) {
      interleaveData(gathered.data(), src.data(), c, size);
      deinterleaveData(restored.data(), gathered.data(), c, size);
    }
    ASSERT_EQ(restored, src);
  }
}

}  // namespace
}  // namespace kestrane::test
