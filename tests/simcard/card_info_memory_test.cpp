#include <gtest/gtest.h>

#include <cstdlib>
#include <numeric>
#include <vector>

#include "simcard/card_registry.h"
#include "simcard/device_memory.h"
#include "tests/simcard/card_client.h"

namespace kestrane::test {
namespace {

using simcard::CardOptions;
using simcard::FaultOp;

constexpr int kCard = 7;
constexpr uint64_t kDdr0 = 0x800000000;  // cluster 0, core 0

template <typename T>
T at(const uint8_t* p, size_t offset) {
  T v;
  std::memcpy(&v, p + offset, sizeof v);
  return v;
}

class CardTest : public ::testing::Test {
 protected:
  void attach(const CardOptions& options = {}) {
    card_ = simcard::attachCard(kCard, options);
    client_ = std::make_unique<CardClient>(simcard::deviceName(kCard));
    ASSERT_TRUE(client_->opened());
  }
  void SetUp() override { attach(); }
  void TearDown() override {
    client_.reset();
    simcard::detachCard(kCard);
  }
  std::shared_ptr<simcard::SimCard> card_;
  std::unique_ptr<CardClient> client_;
};

TEST_F(CardTest, DeviceInformationCarriesTheConfiguredFields) {
  CardOptions options;
  options.chipGeneration = 2;
  options.firmwareRevision = 5;
  options.requiredFirmware = 0x13;  // only the low four bits are the revision
  options.driverRevision = 7;
  options.validDevice = 0;
  attach(options);
  uint8_t info[128] = {};
  uint32_t bytes = 0;
  ASSERT_TRUE(client_->call(0x222000, info, 128, &bytes));
  EXPECT_EQ(bytes, 128u);
  EXPECT_EQ(at<uint32_t>(info, 4) >> 28, 2u);
  EXPECT_EQ((at<uint16_t>(info, 6) >> 8) & 0xF, 5u);
  EXPECT_EQ(info[18], 0);
  EXPECT_EQ(at<uint16_t>(info, 38), 7);
  EXPECT_EQ(info[40], 3);
  // The older layout is not answered by a current driver.
  std::vector<uint8_t> older(1040);
  EXPECT_FALSE(client_->call(0x222000, older.data(), 1040));
}

TEST_F(CardTest, OlderDriverAnswersOnlyTheLongLayout) {
  CardOptions options;
  options.olderInfoLayout = true;
  options.driverRevision = 1;
  attach(options);
  uint8_t info[128] = {};
  EXPECT_FALSE(client_->call(0x222000, info, 128));
  std::vector<uint8_t> older(1040);
  ASSERT_TRUE(client_->call(0x222000, older.data(), 1040));
  EXPECT_EQ(at<uint16_t>(older.data(), 6), 1);
  const int32_t entry = at<int32_t>(older.data(), 8);
  ASSERT_EQ(entry, kCard);
  const uint8_t* e = older.data() + 16 + 16 * entry;
  EXPECT_EQ(at<uint32_t>(e, 4) >> 28, 1u);  // sub-system device id, generation nibble
  EXPECT_EQ(e[12], 4);
}

TEST_F(CardTest, DmaMappingsHaveNonZeroHandlesAndCanFailBothWays) {
  std::vector<uint8_t> buffer(4096);
  uint64_t a = client_->map(buffer.data(), 4096), b = client_->map(buffer.data() + 64, 64);
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(card_->stats().liveMappings, 2u);
  EXPECT_TRUE(client_->unmap(a));
  EXPECT_FALSE(client_->unmap(a));  // already gone
  EXPECT_EQ(card_->stats().liveMappings, 1u);

  bool called = true;
  card_->faults().failNext(FaultOp::MapCall);
  EXPECT_EQ(client_->map(buffer.data(), 16, &called), 0u);
  EXPECT_FALSE(called);
  card_->faults().failNext(FaultOp::MapZeroHandle);
  EXPECT_EQ(client_->map(buffer.data(), 16, &called), 0u);
  EXPECT_TRUE(called);
  card_->faults().failNext(FaultOp::Unmap);
  EXPECT_FALSE(client_->unmap(b));
  EXPECT_TRUE(client_->unmap(b));
}

TEST_F(CardTest, TransfersMoveDataBetweenMappedHostMemoryAndDevice) {
  std::vector<uint8_t> out(8192), back(8192, 0xEE);
  std::iota(out.begin(), out.end(), 0);
  uint64_t h1 = client_->map(out.data(), 8192), h2 = client_->map(back.data(), 8192);
  ASSERT_TRUE(client_->transfer(true, h1, kDdr0 + 0x10000 - 100, 0, 8192));  // across a page edge
  ASSERT_TRUE(client_->transfer(false, h2, kDdr0 + 0x10000 - 100, 100, 8092));
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 8092, back.begin() + 100));
  EXPECT_EQ(back[0], 0xEE);
  uint8_t peek[4];
  ASSERT_TRUE(card_->peek(kDdr0 + 0x10000 - 100, peek, 4));
  EXPECT_EQ(peek[3], 3);
}

TEST_F(CardTest, BadTransfersFailWithoutTouchingMemory) {
  std::vector<uint8_t> host(256, 0x5A);
  uint64_t h = client_->map(host.data(), 256);
  EXPECT_FALSE(client_->transfer(true, h + 99, kDdr0, 0, 16));      // unknown handle
  EXPECT_FALSE(client_->transfer(true, h, kDdr0, 200, 100));         // past the host buffer
  EXPECT_FALSE(client_->transfer(true, h, kDdr0, 0, 0));             // nothing
  EXPECT_FALSE(client_->transfer(true, h, 0x10, 0, 16));             // no device memory there
  const auto& cores = card_->layout().cores;
  const uint64_t lastDdrEnd = 0xB80000000 + (2ull << 30);
  ASSERT_GE(cores.size(), 10u);
  EXPECT_FALSE(client_->transfer(true, h, lastDdrEnd - 128, 0, 256));  // runs off the end
  uint8_t peek[128];
  ASSERT_TRUE(card_->peek(lastDdrEnd - 128, peek, 128));
  EXPECT_EQ(peek[0], 0);  // not half-done
  card_->faults().failNext(FaultOp::Transfer);
  EXPECT_FALSE(client_->transfer(true, h, kDdr0, 0, 16));
  EXPECT_TRUE(client_->transfer(true, h, kDdr0, 0, 16));
}

TEST_F(CardTest, RegistersKeepWhatWasWritten) {
  EXPECT_EQ(client_->readRegister(0x1234), 0u);
  EXPECT_TRUE(client_->writeRegister(0x1234, 77));
  EXPECT_EQ(client_->readRegister(0x1234), 77u);
  EXPECT_EQ(card_->registers().at(0x1234), 77u);
}

TEST_F(CardTest, CountsCallsAndNeverSeesTwoAtOnceFromOneThread) {
  client_->readRegister(1);
  client_->readRegister(2);
  auto stats = card_->stats();
  EXPECT_EQ(stats.callsByCode[0x222012], 2u);
  EXPECT_EQ(stats.maxCallsInFlight, 1);
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

TEST(CardRegistryTest, NamesFollowTheDeviceFileConvention) {
  EXPECT_EQ(simcard::deviceName(0), "\\\\.\\kestrane_pcie");
  EXPECT_EQ(simcard::deviceName(3), "\\\\.\\kestrane_pcie3");
  simcard::detachCard(9);
  EXPECT_FALSE(CardClient(simcard::deviceName(9)).opened());
  simcard::attachCard(9);
  EXPECT_TRUE(CardClient(simcard::deviceName(9)).opened());
  simcard::detachCard(9);
}

// Runs in a process of its own with OPHEL_SIM_CARDS set (see CMakeLists.txt).
TEST(DefaultCardsTest, EnvironmentSetsHowManyCardsExist) {
  const char* env = std::getenv("OPHEL_SIM_CARDS");
  if (env == nullptr) {
    EXPECT_TRUE(CardClient(simcard::deviceName(0)).opened());
    EXPECT_FALSE(CardClient(simcard::deviceName(1)).opened());
    return;
  }
  const int n = std::atoi(env);
  for (int i = 0; i < n; ++i) EXPECT_TRUE(CardClient(simcard::deviceName(i)).opened()) << i;
  EXPECT_FALSE(CardClient(simcard::deviceName(n)).opened());
}

}  // namespace
}  // namespace kestrane::test
