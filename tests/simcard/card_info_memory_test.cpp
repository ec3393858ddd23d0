#include <gtest/gtest.h>

#include <cstdlib>
#include <numeric>
#include <vector>

#include "simcard/device_memory.h"
#include "tests/simcard/card_client.h"

namespace kestrane::test {
namespace {

using simcard::CardOptions;
using simcard::FaultOp;

constexpr uint64_t kDdr0 = 0x800000000;  // cluster 0, core 0

TEST_F(CardTest, DeviceInformationCarriesTheConfiguredFieldsInTheLayoutOfTheDriver) {
  CardOptions options;
  options.chipGeneration = 2;
  options.firmwareRevision = 5;
  options.requiredFirmware = 0x13;  // only the low four bits are the revision
  options.driverRevision = 7;
  options.validDevice = 0;
  attach(options);
  uint8_t info[128] = {};
  uint32_t bytes = 0;
  ASSERT_TRUE(a_->call(0x222000, info, 128, &bytes));
  EXPECT_EQ(bytes, 128u);
  EXPECT_EQ(load<uint32_t>(info, 4) >> 28, 2u);
  EXPECT_EQ((load<uint16_t>(info, 6) >> 8) & 0xF, 5u);
  EXPECT_EQ(info[18], 0);
  EXPECT_EQ(load<uint16_t>(info, 38), 7);
  EXPECT_EQ(info[40], 3);
  std::vector<uint8_t> older(1040);
  EXPECT_FALSE(a_->call(0x222000, older.data(), 1040));  // a current driver has no older layout

  options.olderInfoLayout = true;
  options.driverRevision = 1;
  attach(options);
  EXPECT_FALSE(a_->call(0x222000, info, 128));
  ASSERT_TRUE(a_->call(0x222000, older.data(), 1040));
  EXPECT_EQ(load<uint16_t>(older.data(), 6), 1);
  ASSERT_EQ(load<int32_t>(older.data(), 8), kCard);
  const uint8_t* entry = older.data() + 16 + 16 * kCard;
  EXPECT_EQ(load<uint32_t>(entry, 4) >> 28, 2u);  // sub-system device id, generation nibble
  EXPECT_EQ(entry[12], 4);
}

TEST_F(CardTest, DmaMappingsHaveDistinctNonZeroHandlesAndUnmapOnce) {
  std::vector<uint8_t> buffer(4096);
  uint64_t a = a_->map(buffer.data(), 4096), b = a_->map(buffer.data() + 64, 64);
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(card_->stats().liveMappings, 2u);
  EXPECT_TRUE(a_->unmap(a));
  EXPECT_FALSE(a_->unmap(a));  // already gone
  EXPECT_EQ(card_->stats().liveMappings, 1u);

  // Injected map failures are checked through the driver's messages.
  card_->faults().failNext(FaultOp::Unmap);
  EXPECT_FALSE(a_->unmap(b));
  EXPECT_TRUE(a_->unmap(b));
}

TEST_F(CardTest, TransfersMoveDataBetweenMappedHostMemoryAndDevice) {
  std::vector<uint8_t> out(8192), back(8192, 0xEE);
  std::iota(out.begin(), out.end(), 0);
  uint64_t h1 = a_->map(out.data(), 8192), h2 = a_->map(back.data(), 8192);
  ASSERT_TRUE(a_->transfer(true, h1, kDdr0 + 0x10000 - 100, 0, 8192));  // across a page edge
  ASSERT_TRUE(a_->transfer(false, h2, kDdr0 + 0x10000 - 100, 100, 8092));
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 8092, back.begin() + 100));
  EXPECT_EQ(back[0], 0xEE);
  EXPECT_EQ(peek<uint8_t>(kDdr0 + 0x10000 - 100, 4)[3], 3);
}

TEST_F(CardTest, BadTransfersFailWithoutTouchingMemory) {
  std::vector<uint8_t> host(256, 0x5A);
  uint64_t h = a_->map(host.data(), 256);
  EXPECT_FALSE(a_->transfer(true, h + 99, kDdr0, 0, 16));  // unknown handle
  EXPECT_FALSE(a_->transfer(true, h, kDdr0, 200, 100));     // past the host buffer
  EXPECT_FALSE(a_->transfer(true, h, kDdr0, 0, 0));         // nothing
  const uint64_t lastDdrEnd = 0xB80000000 + (2ull << 30);
  EXPECT_FALSE(a_->transfer(true, h, lastDdrEnd - 128, 0, 256));  // runs off the end
  EXPECT_EQ(peek<uint8_t>(lastDdrEnd - 128, 1)[0], 0);           // not half-done
  EXPECT_TRUE(a_->transfer(true, h, kDdr0, 0, 16));
}

TEST_F(CardTest, RegistersKeepWhatWasWrittenAndCallsAreCounted) {
  EXPECT_EQ(a_->readRegister(0x1234), 0u);
  EXPECT_TRUE(a_->writeRegister(0x1234, 77));
  EXPECT_EQ(a_->readRegister(0x1234), 77u);
  EXPECT_EQ(card_->registers().at(0x1234), 77u);
  EXPECT_EQ(card_->stats().callsByCode[0x222012], 3u);
  EXPECT_EQ(card_->stats().maxCallsInFlight, 1);
}

TEST(DeviceMemoryTest, SparsePagesReadZeroAndRespectTheCap) {
  simcard::DeviceMemory memory({{0x1000000, 1 << 20}, {0x1100000, 1 << 20}, {0x9000000, 4096}}, 3 * 65536);
  uint8_t buf[16] = {1};
  ASSERT_TRUE(memory.read(0x1000000, buf, 16));
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(memory.committedBytes(), 0u);
  // Adjacent regions join; the write touches two pages.
  std::vector<uint8_t> data(32, 7);
  EXPECT_TRUE(memory.write(0x1100000 - 16, data.data(), 32));
  EXPECT_EQ(memory.committedBytes(), 2 * 65536u);
  // A write that would pass the cap fails as a whole.
  std::vector<uint8_t> big(2 * 65536, 1);
  EXPECT_FALSE(memory.write(0x1040000, big.data(), big.size()));
  EXPECT_EQ(memory.committedBytes(), 2 * 65536u);
  EXPECT_FALSE(memory.contains(0x9000000, 4097));
  EXPECT_FALSE(memory.contains(~0ull - 4, 16));
}

// Runs also in a process of its own with OPHEL_SIM_MEMORY_CAP=256K (see CMakeLists.txt).
TEST(MemoryCapTest, EnvironmentSetsTheCardsDefaultCap) {
  const char* env = std::getenv("OPHEL_SIM_MEMORY_CAP");
  const uint64_t cap = env && std::string(env) == "256K" ? 256 * 1024 : 1ull << 30;
  EXPECT_EQ(CardOptions{}.memoryCapBytes, cap);
  auto card = simcard::attachCard(9);
  const uint64_t ddr = card->layout().cores[0].ddr;
  const std::vector<uint8_t> page(simcard::DeviceMemory::kPageSize, 1);
  if (cap < (1ull << 30)) {
    for (uint64_t i = 0; i < cap / page.size(); ++i) EXPECT_TRUE(card->poke(ddr + i * page.size(), page.data(), page.size()));
    EXPECT_FALSE(card->poke(ddr + cap, page.data(), 1));
  }
  simcard::detachCard(9);
}

// Runs also in processes of their own with OPHEL_SIM_CARDS set (see CMakeLists.txt).
TEST(DefaultCardsTest, EnvironmentSetsHowManyCardsExistUnderTheDeviceFileNames) {
  EXPECT_EQ(simcard::deviceName(0), "\\\\.\\kestrane_pcie");
  EXPECT_EQ(simcard::deviceName(3), "\\\\.\\kestrane_pcie3");
  const char* env = std::getenv("OPHEL_SIM_CARDS");
  const int n = env ? std::atoi(env) : 1;
  for (int i = 0; i < n; ++i) EXPECT_TRUE(CardClient(simcard::deviceName(i)).opened()) << i;
  EXPECT_FALSE(CardClient(simcard::deviceName(n)).opened());
  simcard::attachCard(n);
  EXPECT_TRUE(CardClient(simcard::deviceName(n)).opened());
  simcard::detachCard(n);
  EXPECT_FALSE(CardClient(simcard::deviceName(n)).opened());
}

}  // namespace
}  // namespace kestrane::test
