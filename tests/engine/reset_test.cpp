#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>

#include "tests/engine/engine_fixture.h"

namespace kestrane::test {
namespace {

constexpr uint32_t kSize = 64;

// A variant that may take 50 ms: its runs time out after 500 ms.
FakeVariant hangableVariant() {
  FakeVariant v = transformVariant();
  v.expectedNs = 50000000;
  return v;
}

// The caller of a hung run hears of its failure and the time-out; the card
// is reset once, the program uploaded again (the card's reset wiped it), and
// the tasks queued behind the hung one complete afterwards, in order.
TEST_F(EngineTest, HungCoreIsResetAndTheTasksBehindItRunInOrder) {
  const CoreId core = coreOf(0, 1);
  AcceleratorImpl& acc = open();
  FakeModel model(singleCores({core}), {hangableVariant()}, transformProgram(kSize));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  card_->faults().hangRuns(coreKey(core), 1);
  LogCapture log;
  std::vector<Submitted> tasks;
  for (int i = 0; i < 5; ++i) tasks.push_back(submitBytes(model, pattern(kSize, i)));
  uint32_t lastRun = 0;
  for (int i = 0; i < 5; ++i) {
    Finished f = finish(model, tasks[static_cast<size_t>(i)]);
    EXPECT_EQ(f.ok, i != 0) << i;
    if (i == 0) continue;
    EXPECT_EQ(f.out(), transformed(pattern(kSize, i))) << i;
    EXPECT_GT(f.stamp().runId, lastRun) << i;
    lastRun = f.stamp().runId;
  }
  EXPECT_EQ(log.count("[10002] Timeout occurred"), 1u);
  EXPECT_EQ(log.count("Resetting 1 models for core 10002... (1th)"), 1u);
  EXPECT_EQ(acc.resetCount(), 1u);
  EXPECT_EQ(card_->stats().resetsByCore.at(coreKey(core)), 1u);
  EXPECT_EQ(card_->stats().postsByCore.at(coreKey(core)), 5u);
}

// With two IO slots the task on the second slot of the hung core is handed
// back, not failed: only the hung task fails, and the three behind it run
// after the one reset, in order, with their own outputs.
TEST_F(EngineTest, TaskOnTheSecondSlotOfAHungCoreRunsAfterTheReset) {
  const CoreId core = coreOf(0, 2);
  AcceleratorImpl& acc = open();
  FakeVariant v = hangableVariant();
  v.slotOffsets = {0, 0x100000};
  v.rmem[core] = {{14, coreLayout(core).rmem}};  // posts carry the slot's offset
  FakeModel model(singleCores({core}), {v}, transformProgram(kSize));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  card_->faults().hangRuns(coreKey(core), 1);
  LogCapture log;
  std::vector<Submitted> tasks;
  for (int i = 0; i < 4; ++i) tasks.push_back(submitBytes(model, pattern(kSize, i)));
  uint32_t lastRun = 0;
  for (int i = 0; i < 4; ++i) {
    Finished f = finish(model, tasks[static_cast<size_t>(i)]);
    EXPECT_EQ(f.ok, i != 0) << i;
    if (i == 0) continue;
    EXPECT_EQ(f.out(), transformed(pattern(kSize, i))) << i;
    EXPECT_GT(f.stamp().runId, lastRun) << i;
    lastRun = f.stamp().runId;
  }
  EXPECT_EQ(log.count("Timeout occurred"), 1u);
  EXPECT_EQ(acc.resetCount(), 1u);
  EXPECT_EQ(card_->stats().postsByCore.at(coreKey(core)), 4u);
}

// An init run (program kind 2) that hangs times out after its own bound:
// its task fails, the card is reset, and the next task runs the init again.
TEST_F(EngineTest, HungInitRunTimesOutAndResets) {
  seams::setWatchdogTimes({100000000ull, 5000000000ull, 300000000ull});
  const CoreId core = coreOf(1, 1);
  const auto& layout = coreLayout(core);
  const auto real = transformProgram(kSize).bytes();
  const auto init = ProgramAssembler().copy(absolute(layout.imem), ddr(kScratch), static_cast<uint32_t>(real.size()));
  AcceleratorImpl& acc = open();
  FakeModel model(singleCores({core}), {transformVariant()}, ProgramAssembler());
  model.addSection(1, kScratch, real.size(), model.writeFile(real));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  NPUProgram& program = model.variant(0).program;
  program.kind = 2;
  program.buffers = {model.hostCopy(init.bytes())};
  program.pieces = {{program.buffers[0], core, layout.imem}};
  card_->faults().hangRuns(coreKey(core), 1);
  LogCapture log;
  Submitted hung = submitBytes(model, pattern(kSize, 1)), next = submitBytes(model, pattern(kSize, 2));
  EXPECT_FALSE(finish(model, hung).ok);
  Finished f = finish(model, next);
  EXPECT_TRUE(f.ok);
  EXPECT_EQ(f.out(), transformed(pattern(kSize, 2)));
  EXPECT_EQ(log.count("[20002] Timeout occurred while init imem..."), 1u);
  EXPECT_EQ(log.count("Timeout occurred"), 1u);
  EXPECT_EQ(acc.resetCount(), 1u);
  EXPECT_EQ(card_->stats().resetsByCore.at(coreKey(core)), 1u);
  model.pool().freeHostMemory(program.buffers[0]);
}

// The upload after a reset writes the programs again but leaves the
// sections at 0x800000000 and above (DDR) as the model left them.
TEST_F(EngineTest, ResetUploadKeepsSectionsFromDdrUp) {
  const CoreId core = coreOf(0, 3);
  const uint64_t section = coreLayout(core).ddr + kScratch;
  ASSERT_GE(section, 0x800000000u);
  ASSERT_LT(coreLayout(core).imem, 0x800000000u);
  AcceleratorImpl& acc = open();
  FakeModel model(singleCores({core}), {hangableVariant()}, transformProgram(kSize));
  model.addSection(2, kScratch, 64, model.writeFile(std::vector<uint8_t>(64, 0x11)));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  std::vector<uint8_t> bytes(64);
  ASSERT_TRUE(card_->peek(section, bytes.data(), bytes.size()));
  EXPECT_EQ(bytes, std::vector<uint8_t>(64, 0x11));
  const std::vector<uint8_t> changed(64, 0x22);  // what the model's runs made of it
  ASSERT_TRUE(card_->poke(section, changed.data(), changed.size()));
  card_->faults().hangRuns(coreKey(core), 1);
  Submitted hung = submitBytes(model, pattern(kSize, 1)), next = submitBytes(model, pattern(kSize, 2));
  EXPECT_FALSE(finish(model, hung).ok);
  Finished f = finish(model, next);  // the program wiped by the card's reset is back
  EXPECT_TRUE(f.ok);
  EXPECT_EQ(f.out(), transformed(pattern(kSize, 2)));
  EXPECT_EQ(acc.resetCount(), 1u);
  ASSERT_TRUE(card_->peek(section, bytes.data(), bytes.size()));
  EXPECT_EQ(bytes, changed);
}

// Time-outs that come while the reset thread is busy make one reset, named
// after the last of them; every model's scheduler is rebuilt.
TEST_F(EngineTest, TimeOutsReportedTogetherMakeOneReset) {
  AcceleratorImpl& acc = open();
  const std::vector<CoreId> cores = {coreOf(0, 0), coreOf(0, 1), coreOf(1, 0)};
  FakeModel model(singleCores(cores), {hangableVariant()}, transformProgram(kSize));
  FakeModel bystander(singleCores({coreOf(1, 3)}), {transformVariant()}, transformProgram(kSize));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  ASSERT_EQ(bystander.launch(acc), StatusCode::OK);
  for (CoreId c : cores) card_->faults().hangRuns(coreKey(c), 1);
  LogCapture log;
  {
    std::lock_guard hold(seams::resetGate());
    std::vector<Submitted> hung;
    for (int i = 0; i < 3; ++i) hung.push_back(submitBytes(model, pattern(kSize, i)));
    for (auto& s : hung) EXPECT_FALSE(finish(model, s).ok);
  }
  for (int i = 0; i < 4; ++i) {
    Submitted s = submitBytes(i % 2 ? bystander : model, pattern(kSize, i));
    Finished f = finish(i % 2 ? bystander : model, s);
    EXPECT_TRUE(f.ok) << i;
    EXPECT_EQ(f.out(), transformed(pattern(kSize, i))) << i;
  }
  EXPECT_EQ(acc.resetCount(), 1u);
  EXPECT_EQ(log.count("Timeout occurred"), 3u);
  const auto lines = log.lines();
  const auto resetting = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
    return std::regex_search(l, std::regex("Resetting 2 models for core (10001|10002|20001)\\.\\.\\. \\(1th\\)"));
  });
  EXPECT_EQ(resetting, 1);
}

// A reset that cannot upload the binaries again disposes every model: their
// queued tasks fail and later pushes are refused, with nothing left running.
TEST_F(EngineTest, FailedResetDisposesTheModelsCleanly) {
  const CoreId core = coreOf(1, 2);
  AcceleratorImpl& acc = open();
  FakeModel model(singleCores({core}), {hangableVariant()}, transformProgram(kSize));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  card_->faults().hangRuns(coreKey(core), 1);
  std::filesystem::remove(model.programPath());
  LogCapture log;
  Submitted hung = submitBytes(model, pattern(kSize, 0)), behind = submitBytes(model, pattern(kSize, 1));
  EXPECT_FALSE(finish(model, hung).ok);
  EXPECT_FALSE(finish(model, behind).ok);
  NPUTask late;
  EXPECT_FALSE(model.queue()->push(std::move(late)));
  EXPECT_EQ(log.count("Could not find"), 1u);
  EXPECT_FALSE(acc.isRegistered(&model));
  EXPECT_TRUE(card_->claimedCores().empty());
  EXPECT_EQ(model.dispose(), StatusCode::Acc_TaskQueueNotFound);
}

// Without the tests' shorter floor, a variant expected to take 50 ms still
// gets a whole second before its run counts as hung.
TEST_F(EngineTest, WaitHasAOneSecondFloor) {
  seams::setWatchdogTimes({});
  const CoreId core = coreOf(0, 0);
  AcceleratorImpl& acc = open();
  FakeModel model(singleCores({core}), {hangableVariant()}, transformProgram(kSize));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  card_->faults().hangRuns(coreKey(core), 1);
  const auto start = std::chrono::steady_clock::now();
  Submitted s = submitBytes(model, pattern(kSize, 0));
  EXPECT_FALSE(finish(model, s).ok);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::seconds(1));
  EXPECT_LT(waited, std::chrono::seconds(9));  // not the 10 s of an unknown run time
}

}  // namespace
}  // namespace kestrane::test
