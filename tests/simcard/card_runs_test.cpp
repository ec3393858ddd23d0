#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "platform/thread_start.h"
#include "support/log_capture.h"
#include "tests/simcard/card_client.h"

namespace kestrane::test {
namespace {

using simcard::FaultOp;

constexpr uint8_t kClaim = 0x00, kUnclaim = 0x01, kQuery = 0x03, kPost = 0x04, kWait = 0x05;

uint8_t waitByte(int cluster, int core) { return static_cast<uint8_t>(cluster | core << 3); }

class CardRunTest : public CardTest {
 protected:
  // Claims, posts and waits on one core through handle a; true on success.
  bool run(int cluster, int index, uint32_t ioSlot = 0, bool hasIoSlot = false) {
    const uint8_t mask = static_cast<uint8_t>(1u << index), c0 = cluster == 0 ? mask : 0, c1 = cluster ? mask : 0;
    return a_->command(kClaim, c0, c1).success() && a_->command(kPost, c0, c1, ioSlot, hasIoSlot).success() &&
           a_->command(kWait, waitByte(cluster, index)).success();
  }
};

// Claims between handles and injected refusals are checked through the
// driver, which cannot send what follows.
TEST_F(CardRunTest, RawMasksAndQueryReply) {
  EXPECT_TRUE(a_->command(kClaim, 0x03, 0x10).success());
  EXPECT_TRUE(b_->command(kClaim, 0x04, 0).success());
  auto free = b_->command(kQuery, 0);
  ASSERT_TRUE(free.success());
  EXPECT_EQ(free.record[4], 0x18);
  EXPECT_EQ(free.record[5], 0x0F);
  EXPECT_FALSE(a_->command(kClaim, 0x20, 0).success());  // no such core
  b_.reset();  // closing the handle gives its claims back
  EXPECT_EQ(a_->command(kQuery, 0).record[4], 0x1C);
  card_->faults().failNext(FaultOp::Unclaim);
  EXPECT_FALSE(a_->command(kUnclaim, 0x01).success());
  EXPECT_TRUE(a_->command(kUnclaim, 0x01).success());
}

TEST_F(CardRunTest, ProgramMovesAndTransformsData) {
  const auto& c = core(0, 2);
  std::vector<int8_t> input = {-100, -3, 0, 5, 60, 127};
  poke(c.ddr + 0x1000, input);
  poke(c.ddr + 0x2000, std::vector<float>{1.5f, -2.0f, 0.25f});
  poke(c.ddr + 0x3000, std::vector<int8_t>{1, 1, 1, 1, 100, 1});
  loadProgram(0, 2, ProgramAssembler()
                 .copy(ddr(0x5000), ddr(0x1000), 6)
                 .affineInt8(ddr(0x6000), ddr(0x1000), 6, 3, 4, 1)
                 .affineFloat(ddr(0x7000), ddr(0x2000), 12, 2.0f, 1.0f)
                 .addWeightsInt8(ddr(0x8000), ddr(0x1000), ddr(0x3000), 6)
                 .fill(absolute(c.ddr + 0x9000), 5, 0xAB));
  ASSERT_TRUE(run(0, 2));
  EXPECT_EQ(peek<int8_t>(c.ddr + 0x5000, 6), input);
  // (x * 3 + 4) >> 1, saturated.
  EXPECT_EQ(peek<int8_t>(c.ddr + 0x6000, 6), (std::vector<int8_t>{-128, -3, 2, 9, 92, 127}));
  EXPECT_EQ(peek<float>(c.ddr + 0x7000, 3), (std::vector<float>{4.0f, -3.0f, 1.5f}));
  EXPECT_EQ(peek<int8_t>(c.ddr + 0x8000, 6), (std::vector<int8_t>{-99, -2, 1, 6, 127, 127}));
  EXPECT_EQ(peek<uint8_t>(c.ddr + 0x9000, 6), (std::vector<uint8_t>{0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0}));
}

TEST_F(CardRunTest, StampAndIoSlotAndSequenceScaling) {
  const auto& c = core(1, 4);  // the global core of cluster 1 runs from GLOBALIMEM
  poke(c.rmem + 8, std::vector<uint32_t>{3});
  poke(c.ddr + 0x20000 + 0x100, std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9});
  loadProgram(1, 4, ProgramAssembler().stamp(ddrSlot(0x40)).copy(ddrSlot(0x200), ddrSlot(0x100), 3).scaledBy(2));
  ASSERT_TRUE(run(1, 4, 0x20000, true));
  auto stamp = peek<uint32_t>(c.ddr + 0x20040, 4);
  EXPECT_GT(stamp[0], 0u);
  EXPECT_EQ(stamp[1], 0x2FFFEu);
  EXPECT_EQ(stamp[2], 0x20000u);
  EXPECT_EQ(stamp[3], 1u);
  EXPECT_EQ(peek<uint8_t>(c.ddr + 0x20200, 10), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 0}));
  EXPECT_EQ(card_->stats().postsByCore[0x2FFFE], 1u);
}

TEST_F(CardRunTest, FailingRunsReportFailure) {
  loadProgram(0, 0, ProgramAssembler().fault());
  EXPECT_FALSE(run(0, 0));
  loadProgram(0, 0, ProgramAssembler().copy(absolute(0x10), ddr(0), 16));  // no memory there
  EXPECT_FALSE(run(0, 0));
  EXPECT_TRUE(card_->poke(core(0, 0).imem, "\0\0\0\0", 4));  // no program at all
  EXPECT_FALSE(run(0, 0));
  EXPECT_FALSE(a_->command(kWait, waitByte(0, 1)).success());  // nothing ever posted there
  card_->faults().failNext(FaultOp::Post);
  loadProgram(0, 0, ProgramAssembler());
  EXPECT_FALSE(run(0, 0));
  EXPECT_FALSE(b_->command(kPost, 0x01).success());  // b holds no claim on core 0
}

// A post whose core's run thread cannot be started fails its run, with a
// line, as a failed program does; the next post there starts the thread and
// runs. A core whose thread runs already starts none and is not touched.
TEST_F(CardRunTest, RunThatFindsNoThreadFailsAndTheNextPostRuns) {
  const std::vector<uint8_t> bytes = {7, 8, 9};
  for (int index : {1, 2}) {
    poke(core(0, index).ddr + 0x1000, bytes);
    loadProgram(0, index, ProgramAssembler().copy(ddr(0x2000), ddr(0x1000), 3));
  }
  ASSERT_TRUE(run(0, 2));
  const test::LogCapture log;
  platform::failThreadStart(1);
  EXPECT_TRUE(run(0, 2));
  EXPECT_EQ(platform::threadStarts(), 0u);
  EXPECT_FALSE(run(0, 1));
  EXPECT_EQ(platform::threadStarts(), 1u);
  EXPECT_EQ(log.count("failed to start the run thread of core 10002"), 1u);
  EXPECT_EQ(peek<uint8_t>(core(0, 1).ddr + 0x2000, 3), std::vector<uint8_t>(3, 0));  // nothing of it ran
  EXPECT_TRUE(run(0, 1));
  platform::failThreadStart(std::nullopt);
  EXPECT_EQ(peek<uint8_t>(core(0, 1).ddr + 0x2000, 3), bytes);
  EXPECT_EQ(card_->stats().postsByCore[0x10002], 2u);
}

TEST_F(CardRunTest, AbandonedWaitResetsTheCoreAndANewPostSupersedesAHungRun) {
  const auto& c0 = core(0, 0);
  poke(c0.rmem, std::vector<uint32_t>{7});
  loadProgram(0, 0, ProgramAssembler().hang());
  loadProgram(0, 1, ProgramAssembler().stamp(ddr(0)).delay(1000));
  ASSERT_TRUE(a_->command(kClaim, 0x03).success());
  ASSERT_TRUE(a_->command(kPost, 0x03).success());
  PendingWait first(*a_, 0, 0);
  EXPECT_FALSE(first.started);
  EXPECT_TRUE(a_->command(kWait, waitByte(0, 1)).success());  // core 1 ends while core 0 still runs
  EXPECT_EQ(first.event->wait(0), platform::kWaitTimeout);
  EXPECT_TRUE(platform::cancelIo(first.ov));
  first.record.reset();  // a late answer must not reach these (ASan reports it if it does)
  first.event.reset();

  // Giving up on the wait reset core 0: its run failed, its IMEM and RMEM
  // hold the pattern, so posting without a fresh program fails.
  EXPECT_EQ(card_->stats().resetsByCore[0x10001], 1u);
  EXPECT_EQ(card_->stats().resetsByCore.count(0x10002), 0u);
  EXPECT_EQ(card_->stats().droppedReplies, 1u);  // the cancelled waiter heard nothing
  EXPECT_FALSE(a_->command(kWait, waitByte(0, 0)).success());
  EXPECT_EQ(peek<uint8_t>(c0.imem, 2), (std::vector<uint8_t>{simcard::kResetPattern, simcard::kResetPattern}));
  EXPECT_EQ(peek<uint32_t>(c0.rmem, 1)[0], 0xE5E5E5E5u);
  EXPECT_FALSE(run(0, 0));

  // A waiter that stays learns of failure when a new post abandons the hung run.
  // The hung run stamps before it hangs: only once it has read its program
  // may the program be replaced, or the run could read the new one.
  poke(c0.ddr + 0x100, std::vector<uint32_t>{0});
  loadProgram(0, 0, ProgramAssembler().stamp(ddr(0x100)).hang());
  ASSERT_TRUE(a_->command(kPost, 0x01).success());
  PendingWait second(*a_, 0, 0);
  EXPECT_FALSE(second.started);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (peek<uint32_t>(c0.ddr + 0x100, 1)[0] == 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_NE(peek<uint32_t>(c0.ddr + 0x100, 1)[0], 0u);
  loadProgram(0, 0, ProgramAssembler());
  ASSERT_TRUE(a_->command(kPost, 0x01).success());
  ASSERT_EQ(second.event->wait(60000), platform::kWaitObject0);
  EXPECT_EQ(second.record[0] & 2, 0);
  EXPECT_TRUE(a_->command(kWait, waitByte(0, 0)).success());
  EXPECT_EQ(card_->stats().resetsByCore[0x10001], 1u);
}

// A reset stops a run inside a long instruction, after the chunk in
// progress: a 1 GiB fill reset once it began commits at most that chunk (1
// MiB) more, not the 256 MiB the card may hold, before the core's next run
// (which the same run thread takes only once the fill stopped).
TEST_F(CardRunTest, ResetStopsARunInsideALongInstruction) {
  simcard::CardOptions options;
  options.memoryCapBytes = 256ull << 20;
  attach(options);
  const auto& c = core(0, 0);
  loadProgram(0, 0, ProgramAssembler().stamp(ddr(0)).fill(ddr(0x100000), 1u << 30, 1));
  ASSERT_TRUE(a_->command(kClaim, 0x01).success());
  ASSERT_TRUE(a_->command(kPost, 0x01).success());
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (peek<uint32_t>(c.ddr, 1)[0] == 0 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  card_->resetCore(c.key());
  const uint64_t atReset = card_->stats().committedBytes;
  loadProgram(0, 0, ProgramAssembler());
  ASSERT_TRUE(a_->command(kPost, 0x01).success());
  EXPECT_TRUE(a_->command(kWait, waitByte(0, 0)).success());
  EXPECT_LE(card_->stats().committedBytes, atReset + (2ull << 20));
}

TEST_F(CardRunTest, InjectedHangsFailuresAndDelayByCount) {
  const auto program = ProgramAssembler().fill(ddr(0), 4, 9);
  ASSERT_TRUE(a_->command(kClaim, 0x08).success());
  card_->faults().hangCore(0x10004);  // until cleared, whatever is uploaded
  for (int round = 0; round < 2; ++round) {
    loadProgram(0, 3, program);
    ASSERT_TRUE(a_->command(kPost, 0x08).success());
    PendingWait wait(*a_, 0, 3);
    EXPECT_EQ(wait.event->wait(20), platform::kWaitTimeout);
    EXPECT_TRUE(platform::cancelIo(wait.ov));
  }
  EXPECT_EQ(peek<uint8_t>(core(0, 3).ddr, 1)[0], 9);  // the program ran, the end never came
  loadProgram(0, 3, program);
  card_->faults().hangCore(0x10004, false);
  card_->faults().delayCore(0x10004, 30);
  card_->faults().failRuns(0x10004, 2);
  card_->faults().hangRuns(0x10004, 1);  // hangs first, then fails twice
  ASSERT_TRUE(a_->command(kPost, 0x08).success());
  PendingWait hung(*a_, 0, 3);
  EXPECT_TRUE(platform::cancelIo(hung.ov));
  loadProgram(0, 3, program);  // the re-upload after the reset
  EXPECT_FALSE(run(0, 3));
  EXPECT_FALSE(run(0, 3));
  EXPECT_TRUE(run(0, 3));
}

// Each run of a core answers with its own result, a large one between small
// ones included, and a failed run leaves the next one whole.
TEST_F(CardRunTest, RunsInARowOnOneCoreEachEndWithTheirOwnResult) {
  const auto& c = core(0, 1);
  constexpr uint32_t kLarge = (3u << 20) / 2;  // more than one piece of a large copy
  ASSERT_TRUE(a_->command(kClaim, 0x02).success());
  uint32_t lastRun = 0;
  for (uint32_t round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const uint32_t n = round == 10 ? kLarge : 8;
    const bool failing = round % 7 == 3;
    poke(c.ddr + 0x100000, std::vector<uint8_t>(n, static_cast<uint8_t>(round)));
    ProgramAssembler program;
    program.stamp(ddr(0x40)).copy(ddr(0x400000), ddr(0x100000), n);
    if (failing) program.fault();
    loadProgram(0, 1, program);
    ASSERT_TRUE(a_->command(kPost, 0x02).success());
    EXPECT_EQ(a_->command(kWait, waitByte(0, 1)).success(), !failing);
    const uint32_t runId = peek<uint32_t>(c.ddr + 0x40, 1)[0];
    EXPECT_GT(runId, lastRun);
    lastRun = runId;
    const auto copied = peek<uint8_t>(c.ddr + 0x400000 + n - 2, 2);
    EXPECT_EQ(copied, std::vector<uint8_t>(2, static_cast<uint8_t>(round)));
  }
}

TEST_F(CardRunTest, RefusedPostMakesTheNextWaitFail) {
  loadProgram(0, 2, ProgramAssembler());
  ASSERT_TRUE(run(0, 2));
  card_->faults().failNext(FaultOp::Post);
  EXPECT_FALSE(a_->command(kPost, 0x04).success());
  EXPECT_FALSE(a_->command(kWait, waitByte(0, 2)).success());  // not the earlier run's success
  EXPECT_TRUE(run(0, 2));
}

TEST_F(CardRunTest, NthClaimAndNthQueryFaults) {
  card_->faults().failAt(FaultOp::Claim, 2);
  EXPECT_TRUE(a_->command(kClaim, 0x01).success());
  EXPECT_FALSE(a_->command(kClaim, 0x02).success());
  EXPECT_TRUE(a_->command(kClaim, 0x02).success());
  card_->faults().stealAfterQuery(2, 0x04, 0);
  EXPECT_EQ(b_->command(kQuery, 0).record[4], 0x1C);
  EXPECT_EQ(b_->command(kQuery, 0).record[4], 0x1C);  // taken right after this answer
  EXPECT_EQ(b_->command(kQuery, 0).record[4], 0x18);
  EXPECT_FALSE(a_->command(kClaim, 0x04).success());
}

TEST_F(CardRunTest, CardGoingAwayEndsPendingWaits) {
  loadProgram(0, 0, ProgramAssembler().hang());
  ASSERT_TRUE(a_->command(kClaim, 0x01).success());
  ASSERT_TRUE(a_->command(kPost, 0x01).success());
  PendingWait wait(*a_, 0, 0);
  a_.reset();
  b_.reset();
  card_.reset();
  simcard::detachCard(kCard);  // last owner: the card stops its runs
  ASSERT_EQ(wait.event->wait(60000), platform::kWaitObject0);
  EXPECT_EQ(wait.record[0] & 2, 0);
}

}  // namespace
}  // namespace kestrane::test
