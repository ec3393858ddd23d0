#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <new>
#include <thread>

#include "utilkit/fs_utils.h"

#include "tests/engine/engine_fixture.h"

namespace kestrane::test {
namespace {

const CoreId kCores4[4] = {coreOf(0, 0), coreOf(0, 1), coreOf(1, 2), coreOf(1, 3)};

// Many callers at once: every task gets its own input transformed, and the
// card saw exactly one post per task, spread over the four cores.
TEST_F(EngineTest, ManyThreadsRunTheirOwnTasksOnFourCores) {
  constexpr int kThreads = 8, kTasks = 50;
  constexpr uint32_t kSize = 256;
  AcceleratorImpl& acc = open();
  FakeModel model(singleCores({kCores4, kCores4 + 4}), {transformVariant()}, transformProgram(kSize));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kTasks; ++i) {
        const auto input = pattern(kSize, t * kTasks + i);
        Submitted s = submitBytes(model, input);
        Finished f = finish(model, s);
        if (!f.ok || f.out() != transformed(input)) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
  uint64_t posts = 0;
  const auto stats = card_->stats();
  for (CoreId core : kCores4) {
    posts += stats.postsByCore.count(coreKey(core)) ? stats.postsByCore.at(coreKey(core)) : 0;
    EXPECT_GT(stats.postsByCore.count(coreKey(core)), 0u) << std::hex << coreKey(core);
  }
  EXPECT_EQ(posts, uint64_t{kThreads * kTasks});
}

// With a second IO area each core takes two tasks: a core at level 0 is
// chosen before one at level 1, the second task's inputs go to the second
// area while the first runs, and its post carries that area's offset.
TEST_F(EngineTest, TwoIoSlotsOverlapCopiesWithRuns) {
  constexpr uint32_t kSize = 64;
  constexpr uint64_t kSecond = 0x100000;
  AcceleratorImpl& acc = open();
  FakeVariant v = transformVariant();
  v.slotOffsets = {0, kSecond};
  for (int core : {0, 1}) v.rmem[coreOf(0, core)] = {{14, coreLayout(coreOf(0, core)).rmem}};
  FakeModel model(singleCores({coreOf(0, 0), coreOf(0, 1)}), {v}, transformProgram(kSize, 200000));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  std::vector<Submitted> tasks;
  for (int i = 0; i < 5; ++i) tasks.push_back(submitBytes(model, pattern(kSize, i)));
  std::vector<Stamp> stamps;
  for (int i = 0; i < 5; ++i) {
    Finished f = finish(model, tasks[static_cast<size_t>(i)]);
    EXPECT_TRUE(f.ok);
    EXPECT_EQ(f.out(), transformed(pattern(kSize, i))) << i;
    stamps.push_back(f.stamp());
  }
  const uint32_t c0 = coreKey(coreOf(0, 0)), c1 = coreKey(coreOf(0, 1));
  EXPECT_EQ(stamps[0].core, c0);
  EXPECT_EQ(stamps[1].core, c1);
  EXPECT_EQ(stamps[2].core, c0);
  EXPECT_EQ(stamps[3].core, c1);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(stamps[static_cast<size_t>(i)].ioSlot, i < 2 ? 0 : kSecond) << i;
    EXPECT_EQ(stamps[static_cast<size_t>(i)].posted, 1u) << i;
  }
  EXPECT_GT(stamps[2].runId, stamps[0].runId);
  EXPECT_GT(card_->stats().transfersWhileRunning, 0u);
}

// Bundle kinds 5 and 6 run a task's items in reverse: item 0 takes slice 2
// of a 3-item task and runs first.
TEST_F(EngineTest, BundleKindFiveReversesItems) {
  constexpr uint32_t kSize = 32;
  AcceleratorImpl& acc = open();
  FakeVariant v = transformVariant();
  v.kind = 5;
  v.outputTypes = {3, 3};
  FakeModel model(singleCores({coreOf(1, 1)}), {v}, transformProgram(kSize));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  std::vector<int8_t> input;
  for (int item = 0; item < 3; ++item) {
    auto slice = pattern(kSize, item);
    input.insert(input.end(), slice.begin(), slice.end());
  }
  Submitted s = submit(model, {{input.begin(), input.end()}}, {input.size(), 3 * sizeof(Stamp)}, 3);
  Finished f = finish(model, s);
  ASSERT_TRUE(f.ok);
  EXPECT_EQ(f.out(), transformed(input));
  EXPECT_GT(f.stamp(1, 0).runId, f.stamp(1, 1).runId);
  EXPECT_GT(f.stamp(1, 1).runId, f.stamp(1, 2).runId);
}

// The program a variant loads before each run: every kind runs the real
// program, though registration uploaded one that does nothing.
TEST_F(EngineTest, ProgramKindsLoadBeforeEveryRun) {
  constexpr uint32_t kSize = 48;
  const CoreId core = coreOf(0, 2);
  const auto& layout = coreLayout(core);
  const auto real = transformProgram(kSize).bytes();
  // The init run copies the real program from DDR into the instruction memory.
  const auto init = ProgramAssembler().copy(absolute(layout.imem), ddr(kScratch), static_cast<uint32_t>(real.size()));
  AcceleratorImpl& acc = open();
  std::vector<FakeVariant> variants(4, transformVariant());
  FakeModel model(singleCores({core}), variants, ProgramAssembler());
  model.addSection(1, kScratch, real.size(), model.writeFile(real));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  for (uint8_t kind : {1, 2, 3}) {
    NPUProgram& program = model.variant(kind).program;
    program.kind = kind;
    program.buffers = {model.hostCopy(kind == 2 ? init.bytes() : real)};
    program.pieces = {{program.buffers[0], core, layout.imem}};
  }
  for (int32_t v : {0, 2, 1, 3}) {
    const auto input = pattern(kSize, v + 1);
    Submitted s = submit(model, {{input.begin(), input.end()}}, {kSize, 16}, 1, v);
    Finished f = finish(model, s);
    EXPECT_TRUE(f.ok) << v;
    EXPECT_EQ(f.out() == transformed(input), v != 0) << v;  // variant 0 keeps the registered program
  }
  // An init program with no piece on the core cannot run.
  model.variant(2).program.pieces[0].core = coreOf(0, 3);
  LogCapture log;
  Submitted s = submit(model, {std::vector<uint8_t>(kSize)}, {kSize, 16}, 1, 2);
  EXPECT_FALSE(finish(model, s).ok);
  EXPECT_EQ(log.count("No IMEM_INIT found"), 1u);
  for (uint8_t kind : {1, 2, 3}) model.pool().freeHostMemory(model.variant(kind).program.buffers[0]);
}

// A supplementary program runs in the model's place with its arguments in
// the rmem entries of its types; the regular program is put back after it.
// Rmem entries of normal tasks take the task's values (0 without any) and
// the IO slot offset, and fail on a value or type they do not have.
TEST_F(EngineTest, SupplementaryProgramsAndRmemValues) {
  constexpr uint32_t kSize = 16;
  const CoreId core = coreOf(1, 0);
  const auto& layout = coreLayout(core);
  AcceleratorImpl& acc = open();
  FakeVariant v = transformVariant();
  for (uint8_t type : {3, 4, 5, 6, 7, 8, 9, 10, 1, 13}) v.rmem[core].push_back({type, layout.rmem + 4 * v.rmem[core].size()});
  FakeModel model(singleCores({core}), {v}, transformProgram(kSize));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  SupplementaryRecord& supp = model.variant(0).supplementary;
  const auto argsProgram = ProgramAssembler().copy(ddr(kScratch), absolute(layout.rmem), 40).bytes();
  supp.programs.push_back({0, {model.hostCopy(argsProgram)}, {}, {3, 4, 5, 6, 7, 8, 9, 10}});
  supp.programs[0].pieces = {{supp.programs[0].buffers[0], core, layout.imem}};
  supp.buffers = {model.hostCopy(transformProgram(kSize).bytes())};
  supp.pieces = {{supp.buffers[0], core, layout.imem}};
  auto supplementary = [&](std::vector<uint32_t> args) {
    NPUTask task = bareTask(model);
    task.supplementary = 1;
    task.supplementaryRmemValues = std::move(args);
    return pushAndWait(model, std::move(task));
  };

  // A task without values writes 0 to type 1 and the slot offset (0) to type 13.
  const uint32_t garbage[2] = {0xAAAA, 0xBBBB};
  ASSERT_TRUE(card_->poke(layout.rmem + 32, garbage, 8));
  Submitted s = submitBytes(model, pattern(kSize, 1));
  ASSERT_TRUE(finish(model, s).ok);
  std::vector<uint32_t> words(10);
  ASSERT_TRUE(card_->peek(layout.rmem + 32, words.data(), 8));
  EXPECT_EQ(words[0] | words[1], 0u);

  ASSERT_TRUE(supplementary({11, 12, 13, 14, 15, 16, 17, 18}));
  ASSERT_TRUE(card_->peek(layout.ddr + kScratch, words.data(), 40));
  EXPECT_EQ(words, (std::vector<uint32_t>{11, 12, 13, 14, 15, 16, 17, 18, 0, 0}));
  s = submitBytes(model, pattern(kSize, 2));
  EXPECT_EQ(finish(model, s).out(), transformed(pattern(kSize, 2)));

  LogCapture log;
  EXPECT_FALSE(supplementary({1, 2}));
  NPUTask shortValues = bareTask(model);  // no buffers to move; the type 1 entry is the ninth
  shortValues.inputs = {{}};
  shortValues.outputs = {{}, {}};
  shortValues.rmemValues = {5};
  EXPECT_FALSE(pushAndWait(model, std::move(shortValues)));
  EXPECT_EQ(log.count("Failed to write RMEM: no value for entry 8 (1 values)."), 1u);
  model.variant(0).rmem[core].push_back({12, layout.rmem + 64});
  s = submitBytes(model, pattern(kSize, 3));
  EXPECT_FALSE(finish(model, s).ok);
  EXPECT_EQ(log.count("Failed to write RMEM: Invalid RmemType, 0xc"), 1u);
  EXPECT_EQ(acc.resetCount(), 0u);
  model.pool().freeHostMemory(supp.programs[0].buffers[0]);
  model.pool().freeHostMemory(supp.buffers[0]);
}

// A refused post fails the task at once with no time-out and no reset.
TEST_F(EngineTest, RefusedPostFailsTheTaskWithoutAReset) {
  AcceleratorImpl& acc = open();
  FakeModel model(singleCores({coreOf(0, 0)}), {transformVariant()}, transformProgram(8));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  card_->faults().failNext(simcard::FaultOp::Post);
  LogCapture log;
  Submitted s = submitBytes(model, pattern(8, 0));
  EXPECT_FALSE(finish(model, s).ok);
  EXPECT_EQ(log.count("Failed to post the run."), 1u);
  EXPECT_EQ(log.count("Timeout occurred"), 0u);
  s = submitBytes(model, pattern(8, 1));
  EXPECT_TRUE(finish(model, s).ok);
  EXPECT_EQ(acc.resetCount(), 0u);
}

// A run that throws (no host memory on the way) fails its task as short of
// host memory (its future throws std::bad_alloc) with a line; the worker
// goes on, and the IO slot and core room come back, so the next tasks run,
// with one IO slot and with two.
TEST_F(EngineTest, RunThatThrowsFailsItsTaskAndTheNextTasksRun) {
  AcceleratorImpl& acc = open();
  for (const std::vector<uint64_t>& slots : {std::vector<uint64_t>{0}, std::vector<uint64_t>{0, 0x100000}}) {
    SCOPED_TRACE(std::to_string(slots.size()) + " IO slots");
    FakeVariant v = transformVariant();
    v.slotOffsets = slots;
    v.rmem[coreOf(0, 0)] = {{14, coreLayout(coreOf(0, 0)).rmem}};
    FakeModel model(singleCores({coreOf(0, 0)}), {v}, transformProgram(8));
    ASSERT_EQ(model.launch(acc), StatusCode::OK);
    const LogCapture log;
    model.throwOnNextRuns(1);
    Submitted s = submitBytes(model, pattern(8, 0));
    EXPECT_THROW(s.done.get(), std::bad_alloc);
    model.pool().freeHostMemory(s.inputs);
    model.pool().freeHostMemory(s.outputs);
    EXPECT_EQ(log.count("The task failed: out of host memory."), 1u);
    for (int i = 1; i <= 3; ++i) {
      s = submitBytes(model, pattern(8, i));
      Finished f = finish(model, s);
      EXPECT_TRUE(f.ok) << i;
      EXPECT_EQ(f.out(), transformed(pattern(8, i))) << i;
    }
    EXPECT_EQ(acc.resetCount(), 0u);
    EXPECT_EQ(model.dispose(), StatusCode::OK);
  }
}

// OPHEL_DEV_DUMP_DDR_BIN=<O|x><x><ms>;<dir> writes, after each item, the
// main core's device memory from its lowest input to its highest section end.
TEST_F(EngineTest, DdrDumpsFollowTheEnvironment) {
  const CoreId core = coreOf(0, 1);
  const auto dir = std::filesystem::temp_directory_path() / ("kestrane_ddr_dump_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const struct {
    std::string value;
    uint64_t sectionEnd;  // from the core's DDR base
    const char* line;     // expected error line; none: a dump is written
  } cases[] = {
      {"x:1;" + dir.string() + "/", kScratch + 0x1000, nullptr},
      {"x:1" + dir.string(), kScratch + 0x1000, "is not of the form"},
      {"x:1;" + dir.string(), kIn + 0x3E800000, "dumpDDRBin: dump size is too big, 1048576000"},
  };
  AcceleratorImpl& acc = open();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    std::filesystem::remove(dir / "bundle_0_0.bin");
    ::setenv("OPHEL_DEV_DUMP_DDR_BIN", c.value.c_str(), 1);
    FakeModel model(singleCores({core}), {transformVariant()}, transformProgram(16));
    model.addSection(2, c.sectionEnd - 0x1000, 0x1000, "");
    LogCapture log;
    ASSERT_EQ(model.launch(acc), StatusCode::OK);
    ::unsetenv("OPHEL_DEV_DUMP_DDR_BIN");
    Submitted s = submitBytes(model, pattern(16, 5));
    ASSERT_TRUE(finish(model, s).ok);
    std::vector<uint8_t> dumped, device(c.sectionEnd - kIn);
    EXPECT_EQ(utilkit::readBinaryFile((dir / "bundle_0_0.bin").string(), dumped), c.line == nullptr);
    if (c.line) {
      EXPECT_EQ(log.count(c.line), 1u);
      continue;
    }
    ASSERT_TRUE(card_->peek(coreLayout(core).ddr + kIn, device.data(), device.size()));
    EXPECT_EQ(dumped, device);
    EXPECT_EQ(static_cast<int8_t>(dumped[kOut - kIn + 1]), transformed(pattern(16, 5))[1]);
  }
  std::filesystem::remove_all(dir);
}

// Multi-core and global4 modes run on a cluster's global core and count the
// whole cluster busy: a second task goes to the other cluster. Global8 runs
// every task on both global cores (the first one's group) and counts the
// whole card busy: the second task runs after the first, on the same group.
TEST_F(EngineTest, ClusterAndCardModesPlaceTasksOnGlobalCores) {
  constexpr uint32_t kSize = 32;
  const struct {
    const char* name;
    bool (*configure)(ModelConfig&);
    uint32_t secondCore;  // the first task runs on 0x1FFFE
    uint64_t postsPerGlobalCore;
  } cases[] = {
      {"Multi", [](ModelConfig& c) { return c.setMultiCoreMode({Cluster::Cluster0, Cluster::Cluster1}); },
       0x2FFFE, 1},
      {"Global4", [](ModelConfig& c) { return c.setGlobal4CoreMode({Cluster::Cluster0, Cluster::Cluster1}); },
       0x2FFFE, 1},
      {"Global8", [](ModelConfig& c) { return c.setGlobal8CoreMode(); }, 0x1FFFE, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    acc_.reset();  // a fresh card for each case's counts
    card_ = simcard::attachCard(0, cardOptions_);
    AcceleratorImpl& acc = open();
    ModelConfig config;
    ASSERT_TRUE(c.configure(config));
    FakeModel model(config, {transformVariant()}, transformProgram(kSize, 200000));
    ASSERT_EQ(model.launch(acc), StatusCode::OK);
    Submitted a = submitBytes(model, pattern(kSize, 1)), b = submitBytes(model, pattern(kSize, 2));
    Finished fa = finish(model, a), fb = finish(model, b);
    ASSERT_TRUE(fa.ok && fb.ok);
    EXPECT_EQ(fa.out(), transformed(pattern(kSize, 1)));
    EXPECT_EQ(fb.out(), transformed(pattern(kSize, 2)));
    EXPECT_EQ(fa.stamp().core, 0x1FFFEu);
    EXPECT_EQ(fb.stamp().core, c.secondCore);
    if (c.secondCore == fa.stamp().core) {
      EXPECT_GT(fb.stamp().runId, fa.stamp().runId);
    }
    const auto posts = card_->stats().postsByCore;
    EXPECT_EQ(posts, (std::map<uint32_t, uint64_t>{{0x1FFFE, c.postsPerGlobalCore}, {0x2FFFE, c.postsPerGlobalCore}}));
  }
}

}  // namespace
}  // namespace kestrane::test
