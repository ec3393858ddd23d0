// Buffers for an NPU operation's inputs and outputs from the model's pool on
// the simulated card: the size of each item's buffer, what a failing
// acquisition leaves behind, and the channel granules they are rounded to.

#include "model/buffer_allocation.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "bundle_builders.h"
#include "driver/taliss_monitor.h"
#include "hwdep/platform.h"
#include "platform/shared_memory.h"
#include "simcard/card_registry.h"
#include "simcard/sim_card.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

class BufferAllocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    monitor_ = "kestrane_monitor_buffers_" + std::to_string(getpid());
    platform::SharedMemory::unlink(monitor_);
    TalissMonitor::setBlockName(monitor_);
    simcard::detachAllCards();
    card_ = simcard::attachCard(0);
    StatusCode status = StatusCode::InternalError;
    ::testing::internal::CaptureStdout();
    acc_ = AcceleratorImpl::create(0, status);
    ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, StatusCode::OK);
    pool_->setAllocator(acc_.get());
  }
  void TearDown() override {
    pool_->setAllocator(nullptr);
    acc_.reset();
    card_.reset();
    simcard::detachAllCards();
    platform::SharedMemory::unlink(monitor_);
  }

  std::vector<std::vector<Buffer>> acquire(const NPUOpDesc& op, int batch, const std::vector<std::vector<int>>& seqlens,
                                           bool isInput, StatusCode expected) {
    StatusCode status = StatusCode::InternalError;
    auto lists = acquireBufferss(*pool_, op, batch, seqlens, isInput, status);
    EXPECT_EQ(status, expected) << statusCodeName(status);
    return lists;
  }

  std::string monitor_;
  std::shared_ptr<simcard::SimCard> card_;
  std::unique_ptr<AcceleratorImpl> acc_;
  std::unique_ptr<ModelMemoryPool> pool_ = std::make_unique<ModelMemoryPool>();
};

// An output of height 1, width 10 and 3 channels: its channels are rounded
// to the granule (32 here) only when a sequence length gives it a channel
// maximum; the NPU element type sets the bytes per element.
TEST_F(BufferAllocationTest, ItemBuffersFollowTheSizeRule) {
  const struct {
    const char* name;
    bool channelMaximum;  // a sequence length of at most 2 on the channels
    uint8_t npuDtype;
    std::vector<std::vector<int>> seqlens;
    uint64_t bytes;
  } cases[] = {
      {"plain int8", false, 2, {}, 30},
      {"rounded int8", true, 2, {{1, 1, 2}}, 320},
      {"rounded float16", true, 1, {{1, 1, 2}}, 640},
      {"rounded float32", true, 0, {{1, 1, 2}}, 1280},
      {"rounded without multiplier", true, 2, {{1, 1, 1}}, 320},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zrb::Bundle b = bundleOf({io<zrb::Input>(1, 10, 3)}, {io<zrb::Output>(1, 10, 3, {-1, -1, c.channelMaximum ? 0 : -1})});
    b.cores[0].pow2_b = 32;
    b.outputs[0].word2_nibble = c.npuDtype;
    if (c.channelMaximum) b.sequence_lengths = {length(0, 2, {}, {{0, {axis(2)}}})};
    const Built built = build(b);
    ASSERT_EQ(built.status, StatusCode::OK);
    EXPECT_EQ(built.op->outputs()[0].info.max_channel, c.channelMaximum ? 6u : 0u);
    auto lists = acquire(*built.op, 3, c.seqlens, false, StatusCode::OK);
    ASSERT_EQ(lists.size(), 1u);
    ASSERT_EQ(lists[0].size(), 3u);
    for (const Buffer& buf : lists[0]) EXPECT_EQ(buf.size, c.bytes);
    EXPECT_EQ(pool_->freeHostMemory(lists), StatusCode::OK);
  }
  // A batch of none takes nothing.
  const Built built = build(bundleOf({io<zrb::Input>(1, 10, 3), io<zrb::Input>(2, 2, 2)}, {}));
  const auto none = acquire(*built.op, 0, {}, true, StatusCode::OK);
  ASSERT_EQ(none.size(), 2u);
  EXPECT_TRUE(none[0].empty() && none[1].empty());
  EXPECT_EQ(pool_->inUseCount(), 0u);
}

// A failure part-way gives back what the call took: the caller gets nothing
// to release, and the pool has it all. The allocation that fails is the
// second buffer of input 0, then the first of input 1 (the buffers before
// it come from the pool, the failing one from the card's host side).
TEST_F(BufferAllocationTest, FailureReturnsWhatTheCallTook) {
  const Built built = build(bundleOf({io<zrb::Input>(1, 1, 16), io<zrb::Input>(1, 1, 48)}, {}));
  ASSERT_EQ(built.status, StatusCode::OK);
  LogCapture log;
  EXPECT_TRUE(acquire(*built.op, 2, {{1, 1, 1}, {1, 1}}, true, StatusCode::Model_ShapeMismatched).empty());
  EXPECT_EQ(log.count("Failed to acquire a Buffer - seqlens_hwc[1].size() != 3 (actual: 2)."), 1u);

  for (const int pooledFirst : {1, 2}) {
    SCOPED_TRACE(pooledFirst);
    std::vector<Buffer> first(static_cast<size_t>(pooledFirst));
    for (Buffer& buf : first) ASSERT_EQ(pool_->allocateHostMemory(16, buf), StatusCode::OK);
    for (Buffer& buf : first) ASSERT_EQ(pool_->freeHostMemory(buf), StatusCode::OK);
    ASSERT_EQ(pool_->inUseCount(), 0u);
    const size_t pooled = pool_->freeCount();
    card_->faults().failNextHostAllocations(1);
    EXPECT_TRUE(acquire(*built.op, 2, {}, true, StatusCode::Driver_FailedToAllocateHostMemory).empty());
    EXPECT_EQ(pool_->inUseCount(), 0u);
    EXPECT_EQ(pool_->freeCount(), pooled);
    pool_->setAllocator(acc_.get());  // an empty pool for the next case
  }
}

// The granules come from the first core record's alignment words, else
// from the hardware description; 0 (or one past 32 bits) lays out nothing.
TEST(ChannelGranuleTest, ZeroIsRefused) {
  const zrb::Bundle plain = bundleOf({io<zrb::Input>(1, 1, 4)}, {io<zrb::Output>(1, 1, 4)});
  zrb::Bundle aligned = plain;
  aligned.cores[0].pow2_a = 16;
  aligned.cores[0].pow2_b = 8;
  const struct {
    const char* name;
    uint64_t param9, param10;
    const zrb::Bundle* bundle;
    StatusCode status;
    uint32_t input, output;
  } cases[] = {
      {"description", 64, 32, &plain, StatusCode::OK, 64, 32},
      {"alignment words", 0, 0, &aligned, StatusCode::OK, 16, 8},
      {"input granule 0", 0, 64, &plain, StatusCode::Model_BrokenZRB, 0, 0},
      {"output granule 0", 64, 0, &plain, StatusCode::Model_BrokenZRB, 0, 0},
      {"past 32 bits", uint64_t{1} << 32, 64, &plain, StatusCode::Model_BrokenZRB, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    hwdep::Platform platform;
    platform.setGeneralValue(8, c.param9);
    platform.setGeneralValue(9, c.param10);
    LogCapture log;
    uint32_t input = 0, output = 0;
    EXPECT_EQ(channelGranules(platform, *c.bundle, input, output), c.status);
    EXPECT_EQ(input, c.input);
    EXPECT_EQ(output, c.output);
    EXPECT_EQ(log.count("error|The channel granules of the model's inputs and outputs"),
              c.status == StatusCode::OK ? 0u : 1u);
  }
}

}  // namespace
}  // namespace kestrane::test
