#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <new>

#include "driver/taliss_device.h"
#include "kestrane/acc.h"
#include "tests/engine/engine_fixture.h"

namespace kestrane::test {
namespace {

using simcard::FaultOp;

// Another process holding cores: a second device handle on the card.
std::unique_ptr<TalissDevice> otherProcess() {
  StatusCode status;
  ::testing::internal::CaptureStdout();
  auto device = TalissDevice::create(0, status);
  ::testing::internal::GetCapturedStdout();
  return device;
}

ModelConfig autoCores(int n) {
  ModelConfig config;
  config.setSingleCoreMode(n);
  return config;
}

TEST_F(EngineTest, AutomaticAllocationClaimsInDriverOrderAndRetries) {
  struct Case {
    const char* name;
    std::function<void(simcard::SimCard&, TalissDevice&)> arrange;
    StatusCode status;
    std::vector<CoreId> targets;
    size_t claimed;       // cores claimed on the card afterwards, by anyone
    const char* logged;   // the error line of a refusal
  };
  const Case cases[] = {
      {"first free cores", [](auto&, TalissDevice& other) { other.claimCores({coreOf(0, 0)}); }, StatusCode::OK,
       {coreOf(0, 1), coreOf(0, 2)}, 3, nullptr},
      {"stolen after the query",
       [](simcard::SimCard& card, auto&) { card.faults().stealAfterQuery(1, 0x03, 0); }, StatusCode::OK,
       {coreOf(0, 2), coreOf(0, 3)}, 4, nullptr},
      {"refused claim", [](simcard::SimCard& card, auto&) { card.faults().failAt(FaultOp::Claim, 1); },
       StatusCode::OK, {coreOf(0, 0), coreOf(0, 1)}, 2, nullptr},
      {"five refused claims", [](simcard::SimCard& card, auto&) { card.faults().failNext(FaultOp::Claim, 5); },
       StatusCode::Driver_FailedToClaimCores, {}, 0, "Failed to claim 2 cores in 5 attempts."},
      {"refused query", [](simcard::SimCard& card, auto&) { card.faults().failNext(FaultOp::Query); },
       StatusCode::NotImplemented, {}, 0, "Failed to ask the card for its free cores."},
      {"not enough cores",
       [](auto&, TalissDevice& other) {
         other.claimCores({coreOf(0, 0), coreOf(0, 1), coreOf(0, 2), coreOf(0, 3), coreOf(1, 0), coreOf(1, 1),
                           coreOf(1, 2)});
       },
       StatusCode::Acc_CoreAlreadyInUse, {}, 7, "There are not enough available cores. 1 < 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    card_ = simcard::attachCard(0);
    AcceleratorImpl& acc = open();
    auto other = otherProcess();
    c.arrange(*card_, *other);
    LogCapture log;
    FakeModel model(autoCores(2), {transformVariant()}, transformProgram(8));
    EXPECT_EQ(model.launch(acc), c.status);
    if (c.status == StatusCode::OK) {
      EXPECT_EQ(model.targetCores(), c.targets);
      Submitted s = submitBytes(model, pattern(8, 1));
      EXPECT_TRUE(finish(model, s).ok);
    }
    EXPECT_EQ(card_->claimedCores().size(), c.claimed);
    if (c.logged != nullptr) {
      EXPECT_EQ(log.count(c.logged), 1u) << ::testing::PrintToString(log.lines());
    }
    model.dispose();
    acc_.reset();
  }
}

TEST_F(EngineTest, ManualCoresInUseRefuseTheLaunch) {
  AcceleratorImpl& acc = open();
  auto other = otherProcess();
  ASSERT_EQ(other->claimCores({coreOf(1, 1)}), StatusCode::OK);
  LogCapture log;
  FakeModel model(singleCores({coreOf(1, 0), coreOf(1, 1)}), {transformVariant()}, transformProgram(8));
  EXPECT_EQ(model.launch(acc), StatusCode::Acc_CoreAlreadyInUse);
  EXPECT_EQ(log.count("Core is already in use."), 1u);
  EXPECT_EQ(card_->claimedCores(), (std::vector<uint32_t>{0x20002}));
  EXPECT_FALSE(acc.isRegistered(&model));
}

// Registration writes every section on the model's cores: payloads from
// their files, zeros where a section has none. A section file that is gone
// fails the launch and leaves nothing claimed.
TEST_F(EngineTest, RegistrationUploadsSectionsAndUndoesAFailedLaunch) {
  const CoreId core = coreOf(0, 3);
  const auto& layout = coreLayout(core);
  AcceleratorImpl& acc = open();
  std::vector<uint8_t> weights(3000);
  for (size_t i = 0; i < weights.size(); ++i) weights[i] = static_cast<uint8_t>(i % 253);
  const uint64_t kZeros = 0x80000, kZeroSize = 0x180000;  // two chunks
  FakeModel model(singleCores({core}), {transformVariant()}, transformProgram(8));
  model.addSection(1, kScratch, weights.size(), model.writeFile(weights));
  model.addSection(2, kZeros, kZeroSize, "");
  std::vector<uint8_t> stale(kZeroSize, 0x77);
  ASSERT_TRUE(card_->poke(layout.ddr + kZeros, stale.data(), stale.size()));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  std::vector<uint8_t> seen(kZeroSize);
  ASSERT_TRUE(card_->peek(layout.ddr + kZeros, seen.data(), seen.size()));
  EXPECT_EQ(seen, std::vector<uint8_t>(kZeroSize, 0));
  seen.resize(weights.size());
  ASSERT_TRUE(card_->peek(layout.ddr + kScratch, seen.data(), seen.size()));
  EXPECT_EQ(seen, weights);
  // From the lowest input to the end of the highest section.
  EXPECT_EQ(acc.getTotalBinarySize(), kZeros + kZeroSize - kIn);
  EXPECT_EQ(model.dispose(), StatusCode::OK);
  EXPECT_EQ(acc.getTotalBinarySize(), 0u);

  FakeModel broken(singleCores({core}), {transformVariant()}, transformProgram(8));
  broken.addSection(1, kScratch, 16, broken.writeFile(weights) + ".gone");
  LogCapture log;
  EXPECT_EQ(broken.launch(acc), StatusCode::Model_FailedToOpenSectionBinary);
  EXPECT_EQ(log.count("Could not find"), 1u);
  EXPECT_TRUE(card_->claimedCores().empty());
  EXPECT_FALSE(acc.isRegistered(&broken));
  EXPECT_EQ(acc.getTotalBinarySize(), 0u);
}

// Host memory that runs out anywhere in registration (here the model's own
// calls throw) fails the launch with BadAlloc and a line, and takes back
// what it got: the cores, the footprint, the queue and scheduler, the place
// in the model list. The model then launches and runs.
TEST_F(EngineTest, RegistrationOutOfHostMemoryTakesBackWhatItGot) {
  struct Case {
    const char* name;
    FakeThrow step;
    bool automatic;
  };
  const Case cases[] = {
      {"after the claim", FakeThrow::SetTargetCoreIds, true},
      {"with footprints set", FakeThrow::SetMemoryHandle, false},
      {"registered, before the scheduler", FakeThrow::IoSlotOffsets, false},
      {"registered, the scheduler half made", FakeThrow::BuildIoPlan, true},
  };
  AcceleratorImpl& acc = open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ModelConfig config = c.automatic ? ModelConfig() : singleCores({coreOf(0, 1), coreOf(1, 2)});
    if (c.automatic) config.setSingleCoreMode(2);
    FakeModel model(config, {transformVariant()}, transformProgram(8));
    model.throwIn(c.step);
    LogCapture log;
    StatusCode status = StatusCode::OK;
    try {
      status = model.launch(acc);
    } catch (const std::bad_alloc&) {
      ADD_FAILURE() << "the launch threw";
      status = StatusCode::InternalError;
    }
    EXPECT_EQ(status, StatusCode::BadAlloc) << statusCodeName(status);
    EXPECT_EQ(log.count("error|Failed to register the model with the accelerator - out of host memory."), 1u)
        << log.text();
    EXPECT_TRUE(card_->claimedCores().empty());
    EXPECT_FALSE(acc.isRegistered(&model));
    EXPECT_EQ(acc.getTotalBinarySize(), 0u);

    ASSERT_EQ(model.launch(acc), StatusCode::OK);
    const std::vector<int8_t> in = pattern(8, 5);
    Submitted s = submitBytes(model, in);
    const Finished f = finish(model, s);
    EXPECT_TRUE(f.ok);
    EXPECT_EQ(f.out(), transformed(in));
    EXPECT_EQ(model.dispose(), StatusCode::OK);
    EXPECT_TRUE(card_->claimedCores().empty());
  }
}

// Disposing fails what is still queued, also the task the dispatcher holds
// while it waits for a core; the task already running completes. Later
// pushes fail, and a second dispose finds nothing.
TEST_F(EngineTest, DisposeFailsWaitingTasksAndLaterPushes) {
  AcceleratorImpl& acc = open();
  FakeModel model(singleCores({coreOf(0, 0)}), {transformVariant()}, transformProgram(8, 300000));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  std::vector<Submitted> tasks;
  for (int i = 0; i < 3; ++i) tasks.push_back(submitBytes(model, pattern(8, i)));
  while (card_->stats().postsByCore.empty()) std::this_thread::yield();
  std::vector<std::vector<Buffer>> buffers;
  for (auto& t : tasks) {
    buffers.insert(buffers.end(), t.inputs.begin(), t.inputs.end());
    buffers.insert(buffers.end(), t.outputs.begin(), t.outputs.end());
  }
  auto queue = model.queue();
  EXPECT_EQ(acc.dispose(&model), StatusCode::OK);
  EXPECT_TRUE(tasks[0].done.get());
  EXPECT_FALSE(tasks[1].done.get());
  EXPECT_FALSE(tasks[2].done.get());
  NPUTask late;
  EXPECT_FALSE(queue->push(std::move(late)));
  LogCapture log;
  EXPECT_EQ(acc.dispose(&model), StatusCode::Acc_TaskQueueNotFound);
  EXPECT_EQ(log.count("Failed to get task queue."), 1u);
  EXPECT_EQ(log.count("Failed to dispose model."), 1u);
  EXPECT_TRUE(card_->claimedCores().empty());
  model.pool().freeHostMemory(buffers);
}

TEST_F(EngineTest, DestroyingTheAcceleratorDisposesEveryModelOnce) {
  AcceleratorImpl& acc = open();
  std::vector<std::unique_ptr<FakeModel>> models;
  for (int i = 0; i < 3; ++i) {
    models.push_back(std::make_unique<FakeModel>(singleCores({coreOf(i % 2, i)}), std::vector{transformVariant()},
                                                 transformProgram(8)));
    ASSERT_EQ(models.back()->launch(acc), StatusCode::OK);
  }
  EXPECT_EQ(card_->claimedCores().size(), 3u);
  acc_.reset();
  for (auto& model : models) {
    EXPECT_EQ(model->disposeCalls(), 1);
    NPUTask late;
    EXPECT_FALSE(model->queue()->push(std::move(late)));
  }
  EXPECT_TRUE(card_->claimedCores().empty());
}

// The interleave flag follows the hardware description's device family; a
// "Taliss2" card also gets its one register write.
TEST_F(EngineTest, DeviceFamilySetsInterleaveAndTheTaliss2Register) {
  constexpr uint32_t kRegister = 0x1030206C - TalissDevice::kRegisterBase;
  EXPECT_FALSE(open().interleave());
  EXPECT_EQ(card_->registers().count(kRegister), 1u);
  acc_.reset();
  card_ = simcard::attachCard(0);
  seams::setDeviceFamily("Ebrill");
  EXPECT_TRUE(open().interleave());
  EXPECT_EQ(card_->registers().count(kRegister), 0u);
}

TEST_F(EngineTest, PublicAcceleratorOpensCardsAndListsFreeCores) {
  StatusCode status = StatusCode::InternalError;
  LogCapture log;
  ::testing::internal::CaptureStdout();
  auto acc = Accelerator::create(status);
  EXPECT_EQ(Accelerator::create(1, true, status), nullptr);  // no card 1
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, StatusCode::Driver_NotInitialized);
  ASSERT_NE(acc, nullptr);
  EXPECT_EQ(acc->getAvailableCores().size(), 10u);
  EXPECT_EQ(log.count("Accelerator not created."), 1u);
  EXPECT_EQ(log.count("Deprecated: `Accelerator::create(int dev_no, bool verbose, StatusCode& sc)`"), 1u);
}

// The queue shape: pushes reach a paused queue, which a consumer cannot
// drain; a closed one refuses pushes and is drained, then reports the end.
TEST(TaskQueueTest, PausedQueuesKeepTasksClosedOnesDrain) {
  auto queue = std::make_unique<TaskQueue>();  // on the heap, as in the memory pool tests
  NPUTask first, second, refused, out;
  first.npuOpIndex = 1;
  second.npuOpIndex = 2;
  auto future = first.result.get_future();
  queue->pause();
  EXPECT_TRUE(queue->push(std::move(first)));
  EXPECT_EQ(queue->pop(out), TaskQueue::Pop::Paused);
  queue->resume();
  ASSERT_TRUE(queue->pushFront(std::move(second)));
  queue->close();
  EXPECT_FALSE(queue->push(std::move(refused)));
  for (int expected : {2, 1}) {
    EXPECT_EQ(queue->pop(out), TaskQueue::Pop::Item);
    EXPECT_EQ(out.npuOpIndex, expected);
  }
  EXPECT_EQ(queue->pop(out), TaskQueue::Pop::Drained);
  out = NPUTask{};  // a task dropped unanswered reports failure
  EXPECT_FALSE(future.get());
}

}  // namespace
}  // namespace kestrane::test
