#include <gtest/gtest.h>

#include "platform/shared_memory.h"
#include "platform/unaligned.h"
#include "tests/driver/driver_fixture.h"

namespace kestrane::test {
namespace {

// Reads the monitor block the way an outside tool would.
class MonitorReader {
 public:
  explicit MonitorReader(const std::string& name) { EXPECT_TRUE(block_.open(TalissMonitor::kBlockSize, name)); }
  uint32_t magic() const { return platform::load<uint32_t>(block_.view(), 0); }
  uint32_t flags(int card) const { return platform::load<uint32_t>(block_.view(), 8 + 1080 * card); }
  uint64_t footprint(int card) const { return platform::load<uint64_t>(block_.view(), 8 + 1080 * card + 1024); }
  uint32_t posts(int card, int cluster, int core) const {
    return platform::load<uint32_t>(block_.view(), 8 + 1080 * card + 1040 + 20 * cluster + 4 * core);
  }

 private:
  platform::SharedMemory block_;
};

TEST_F(DriverTest, MonitorFlagsFollowTheDeviceObject) {
  attach(2);
  auto device = open(2);
  ASSERT_NE(device, nullptr);
  MonitorReader monitor(monitorName_);
  EXPECT_EQ(monitor.magic(), 0xA8150003u);
  EXPECT_EQ(monitor.flags(2), 3u);
  EXPECT_EQ(monitor.flags(0), 0u);
  device.reset();
  EXPECT_EQ(monitor.flags(2), 1u);  // opened once, no device now
}

TEST_F(DriverTest, PostsAreCountedPerCoreWithTheFootprint) {
  auto card = attach(0);
  load(*card, 0, 1, ProgramAssembler());
  load(*card, 1, 4, ProgramAssembler());
  auto device = open(0);
  ASSERT_NE(device, nullptr);
  const std::vector<CoreId> cores = {{Cluster::Cluster0, Core::Core1}, {Cluster::Cluster1, Core::GlobalCore}};
  ASSERT_EQ(device->claimCores(cores), StatusCode::OK);
  device->setFootprint(12345);
  ASSERT_EQ(device->postInfer(cores), StatusCode::OK);
  ASSERT_EQ(device->postInfer(cores, 0x100), StatusCode::OK);
  MonitorReader monitor(monitorName_);
  EXPECT_EQ(monitor.posts(0, 0, 1), 2u);
  EXPECT_EQ(monitor.posts(0, 1, 4), 2u);
  EXPECT_EQ(monitor.posts(0, 0, 0), 0u);
  EXPECT_EQ(monitor.footprint(0), 12345u);
  // A refused post is not counted.
  card->faults().failNext(simcard::FaultOp::Post);
  EXPECT_EQ(device->postInfer(cores), StatusCode::Driver_FailedToPostInfer);
  EXPECT_EQ(monitor.posts(0, 0, 1), 2u);
  // A later opener finds the block as it was, apart from its new footprint.
  device.reset();
  device = open(0);
  EXPECT_EQ(monitor.posts(0, 0, 1), 2u);
  EXPECT_EQ(monitor.footprint(0), 0u);
  EXPECT_EQ(monitor.flags(0), 3u);
}

TEST_F(DriverTest, CardThirtyTwoHasNoSlotButStillPosts) {
  auto card = attach(32);
  load(*card, 0, 0, ProgramAssembler());
  auto device = open(32);
  ASSERT_NE(device, nullptr);
  const std::vector<CoreId> core = {{Cluster::Cluster0, Core::Core0}};
  ASSERT_EQ(device->claimCores(core), StatusCode::OK);
  EXPECT_EQ(device->postInfer(core), StatusCode::OK);
  EXPECT_TRUE(device->waitDone(core[0], 0));
}

TEST_F(DriverTest, ReaderOfABlockWithoutMagicGetsNoSlot) {
  TalissMonitor reader(false);  // creates and zeroes the block, writes no magic
  reader.attachSlot(0);
  EXPECT_FALSE(reader.hasSlot());
  TalissMonitor writer(true);
  writer.attachSlot(0);
  EXPECT_TRUE(writer.hasSlot());
  reader.attachSlot(0);
  EXPECT_TRUE(reader.hasSlot());
  writer.attachSlot(32);
  EXPECT_FALSE(writer.hasSlot());
}

}  // namespace
}  // namespace kestrane::test
