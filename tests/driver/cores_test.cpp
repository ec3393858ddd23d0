#include <gtest/gtest.h>

#include <thread>

#include "driver/device_records.h"
#include "tests/driver/driver_fixture.h"

namespace kestrane::test {
namespace {

using simcard::FaultOp;

const CoreId kC0Core0{Cluster::Cluster0, Core::Core0};
const CoreId kC0Core2{Cluster::Cluster0, Core::Core2};
const CoreId kC1Global{Cluster::Cluster1, Core::GlobalCore};

TEST(WaitTimeoutTest, NanosecondsBecomeWholeMilliseconds) {
  // 0 is no limit; cut to 32 bits the last two would wrap to a short or unlimited wait.
  for (auto [ns, ms] : std::vector<std::pair<uint64_t, uint32_t>>{
           {0, 0}, {1, 1}, {1000000, 1}, {1000001, 2}, {10000000000ull, 10000},
           {0x100000000ull * 1000000, 0xFFFFFFFE}, {~0ull, 0xFFFFFFFE}})
    EXPECT_EQ(TalissDevice::timeoutMs(ns), ms) << ns;
}

TEST_F(DriverTest, ClaimsQueriesAndUnclaimsAcrossTwoProcesses) {
  auto card = attach(0);
  auto a = open(0), b = open(0);  // two handles act as two processes
  ASSERT_NE(a, nullptr);
  std::vector<CoreId> free;
  StatusCode status = StatusCode::InternalError;
  a->getAvailableCores(free, status);
  EXPECT_EQ(status, StatusCode::OK);
  ASSERT_EQ(free.size(), 10u);
  EXPECT_EQ(free[0], kC0Core0);
  EXPECT_EQ(free[4], (CoreId{Cluster::Cluster0, Core::GlobalCore}));
  EXPECT_EQ(free[5], (CoreId{Cluster::Cluster1, Core::Core0}));

  EXPECT_EQ(a->claimCores({kC0Core0, kC1Global}), StatusCode::OK);
  EXPECT_EQ(b->claimCores({kC0Core0}), StatusCode::Driver_FailedToClaimCores);
  b->getAvailableCores(free, status);
  EXPECT_EQ(free.size(), 8u);
  EXPECT_EQ(b->unclaimCores({kC0Core0}), StatusCode::Driver_FailedToUnclaimCores);
  EXPECT_EQ(a->unclaimCores({kC0Core0}), StatusCode::OK);
  EXPECT_EQ(b->claimCores({kC0Core0}), StatusCode::OK);
  a.reset();  // a's claims go with its handle
  b->getAvailableCores(free, status);
  EXPECT_EQ(free.size(), 9u);
}

TEST_F(DriverTest, CommandEdgeCases) {
  auto card = attach(0);
  auto device = open(0);
  auto calls = [&] { return card->stats().callsByCode[devrec::kCommand]; };
  const uint64_t before = calls();
  EXPECT_EQ(device->claimCores({}), StatusCode::OK);  // still sent, with empty masks
  EXPECT_EQ(calls(), before + 1);
  EXPECT_EQ(device->claimCores({{Cluster::Error, Core::Core0}}), StatusCode::Driver_FailedToClaimCores);
  EXPECT_EQ(device->unclaimCores({{Cluster::Cluster0, Core::All}}), StatusCode::Driver_FailedToUnclaimCores);
  EXPECT_EQ(device->postInfer({{Cluster::Cluster1, Core::Error}}), StatusCode::Driver_FailedToPostInfer);
  EXPECT_FALSE(device->waitDone({Cluster::Error, Core::Core0}, 1));
  EXPECT_EQ(calls(), before + 1);  // bad ids never reach the card

  std::vector<CoreId> free;
  StatusCode status;
  card->faults().failNext(FaultOp::Query);
  device->getAvailableCores(free, status);
  EXPECT_EQ(status, StatusCode::NotImplemented);
  EXPECT_TRUE(free.empty());
  // Another process takes a core between our query and our claim.
  card->faults().stealAfterNextQuery(0x04, 0);
  device->getAvailableCores(free, status);
  EXPECT_EQ(free.size(), 10u);
  EXPECT_EQ(device->claimCores({kC0Core2}), StatusCode::Driver_FailedToClaimCores);
  card->faults().failNext(FaultOp::Claim);
  EXPECT_EQ(device->claimCores({kC0Core0}), StatusCode::Driver_FailedToClaimCores);
  EXPECT_EQ(device->postInfer({kC0Core0}), StatusCode::Driver_FailedToPostInfer);  // not claimed
  ASSERT_EQ(device->claimCores({kC0Core0}), StatusCode::OK);
  card->faults().failNext(FaultOp::Unclaim);
  EXPECT_EQ(device->unclaimCores({kC0Core0}), StatusCode::Driver_FailedToUnclaimCores);
}

TEST_F(DriverTest, RegistersSitBelowTheEngineAddresses) {
  auto card = attach(0);
  auto device = open(0);
  EXPECT_EQ(device->writeRegister(0x1030206C, 7), 4u);
  EXPECT_EQ(card->registers().at(0x1030206C - 0x6F0000), 7u);
  EXPECT_EQ(device->readRegister(0x1030206C), 7u);
  EXPECT_EQ(device->readRegister(0x10302070), 0u);
}

TEST_F(DriverTest, PostedRunsEndAndHungCoresTimeOut) {
  auto card = attach(0);
  load(*card, 0, 0, ProgramAssembler().stamp(ddr(0x40)));
  load(*card, 0, 2, ProgramAssembler().hang());
  auto device = open(0);
  ASSERT_EQ(device->claimCores({kC0Core0, kC0Core2}), StatusCode::OK);
  ASSERT_EQ(device->postInfer({kC0Core0, kC0Core2}, 0x1000), StatusCode::OK);
  EXPECT_TRUE(device->waitDone(kC0Core0, 10000000000ull));
  uint32_t stamp[4];
  ASSERT_TRUE(card->peek(0x800000040, stamp, 16));
  EXPECT_EQ(stamp[1], 0x10001u);
  EXPECT_EQ(stamp[2], 0x1000u);
  // The hung core times out; the card resets the core its caller gave up
  // on, and the cancelled request is never touched again.
  EXPECT_FALSE(device->waitDone(kC0Core2, 20000000));
  EXPECT_EQ(card->stats().droppedReplies, 1u);
  EXPECT_EQ(card->stats().resetsByCore[0x10003], 1u);
  load(*card, 0, 2, ProgramAssembler());
  ASSERT_EQ(device->postInfer({kC0Core2}), StatusCode::OK);
  EXPECT_TRUE(device->waitDone(kC0Core2, 0));
  // A run that faults ends, but not well.
  load(*card, 0, 2, ProgramAssembler().fault());
  ASSERT_EQ(device->postInfer({kC0Core2}), StatusCode::OK);
  EXPECT_FALSE(device->waitDone(kC0Core2, 10000000000ull));
}

TEST_F(DriverTest, ControlCallsNeverOverlapOnTheCard) {
  auto card = attach(0);
  load(*card, 0, 0, ProgramAssembler().delay(200));
  auto device = open(0), other = open(0);
  ASSERT_EQ(device->claimCores({kC0Core0}), StatusCode::OK);
  std::thread runs([&] {
    for (int i = 0; i < 30; ++i) device->postInfer({kC0Core0}), device->waitDone(kC0Core0, 1000000000);
  });
  std::thread registers([&] {
    for (int i = 0; i < 200; ++i) other->readRegister(0x700000 + i);
  });
  std::vector<CoreId> free;
  StatusCode status;
  for (int i = 0; i < 100; ++i) other->getAvailableCores(free, status);
  runs.join();
  registers.join();
  EXPECT_EQ(card->stats().maxCallsInFlight, 1);
  EXPECT_EQ(card->stats().postsByCore[0x10001], 30u);
}

}  // namespace
}  // namespace kestrane::test
