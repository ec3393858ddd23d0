// Launch, disposal and their races with inference: what a failed launch
// leaves, resets under load, dispose while threads infer, and many cycles.

#include <dirent.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "inference_fixture.h"
#include "driver/device_memory_access.h"
#include "engine/acc_impl.h"
#include "model/model_impl.h"
#include "platform/host_allowance.h"
#include "simcard/card_layout.h"
#include "simcard/card_options.h"
#include "support/log_capture.h"
#include "support/zrb_json.h"
#include "support/zrb_writer.h"

namespace kestrane::test {
namespace {

size_t entries(const char* dir) {
  size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

// The identity model on one item; true when the output is right.
bool identityRuns(Model& model, uint32_t seed, StatusCode& sc) {
  const Values x = steps(128, 1, -128, 127, seed);
  auto y = model.infer({arrayOf<float>({4, 4, 8}, x)}, sc);
  return sc != StatusCode::OK || valuesOf(y.at(0)) == x;
}

// Runs the first supplementary program of `variant` with `args`; true when it ran.
bool runSupplementary(ModelImpl& model, std::vector<uint32_t> args, int32_t variant = 0) {
  const ModelImpl::CallScope scope(model);
  NPUTask task;
  task.npuOpIndex = variant;
  task.supplementary = 1;
  task.supplementaryRmemValues = std::move(args);
  task.coreMode = CoreMode::Single;
  task.cores = model.targetCores();
  auto done = task.result.get_future();
  return model.taskQueue()->push(std::move(task)) && done.get();
}

TEST_F(InferenceTest, LaunchAndDisposeFollowTheModelsState) {
  ModelConfig automatic;
  automatic.setSingleCoreMode(2);
  Model& model = launch(testModel("identity_int8"), automatic);
  EXPECT_EQ(model.getTargetCores().size(), 2u);
  EXPECT_TRUE(model.isTarget(model.getTargetCores()[0]));
  EXPECT_EQ(model.launch(accelerator()), StatusCode::Model_AlreadyLaunched);
  StatusCode sc = StatusCode::InternalError;
  EXPECT_TRUE(identityRuns(model, 1, sc));
  EXPECT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(model.dispose(), StatusCode::OK);
  EXPECT_TRUE(model.getTargetCores().empty());  // automatic cores are claimed anew
  EXPECT_EQ(model.dispose(), StatusCode::OK);
  identityRuns(model, 2, sc);
  EXPECT_EQ(sc, StatusCode::Model_NotLaunched);
  EXPECT_EQ(model.inferSpeedrun(0), StatusCode::Model_NotLaunched);
  // The batch-count forms refuse before they look at the request.
  std::vector<std::vector<float>> lists;
  Values item(64);
  EXPECT_EQ(model.infer({item.data(), item.data()}, 0, lists), StatusCode::Model_NotLaunched);
  EXPECT_EQ(model.infer({item.data()}, lists), StatusCode::Model_NotLaunched);
  EXPECT_TRUE(card_->claimedCores().empty());

  ASSERT_EQ(model.launch(accelerator()), StatusCode::OK);
  EXPECT_TRUE(identityRuns(model, 3, sc));
  EXPECT_EQ(sc, StatusCode::OK);
  // Moving another model into this one disposes this one's.
  Model* other = create(testModel("two_variants"), onCore(1, 3));
  ASSERT_EQ(other->launch(accelerator()), StatusCode::OK);
  EXPECT_EQ(card_->claimedCores().size(), 3u);
  model = std::move(*other);
  EXPECT_EQ(card_->claimedCores().size(), 1u);
  EXPECT_EQ(model.getNumModelVariants(), 2);
  // The accelerator going first disposes what is still launched on it.
  acc_.reset();
  EXPECT_TRUE(card_->claimedCores().empty());
  model.infer({arrayOf<float>({1, 1, 16}, Values(16))}, sc);
  EXPECT_EQ(sc, StatusCode::Model_NotLaunched);
}

TEST_F(InferenceTest, FailedLaunchLeavesNothingBehind) {
  // The file loses its last section (a supplementary program, read only
  // after the cores are claimed and the programs read) once the model exists.
  zrbw::Written written = zrbw::write(zrbw::modelFromJson(testModel("program_kinds"), KESTRANE_TEST_MODELS));
  TempModelFile file(written.bytes);
  StatusCode sc = StatusCode::InternalError;
  auto model = Model::create(file.path(), sc);
  ASSERT_EQ(sc, StatusCode::OK);
  zrbw::Written cut = written;
  cut.truncate(written.at("b2.bin.1.payload"));
  file.rewrite(cut.bytes);
  {
    LogCapture log;
    EXPECT_EQ(model->launch(accelerator()), StatusCode::Model_BrokenZRB);
    EXPECT_EQ(log.count("were not returned to the memory pool"), 0u) << log.text();
  }
  EXPECT_TRUE(card_->claimedCores().empty());
  EXPECT_EQ(accelerator().getAvailableCores().size(), 10u);
  file.rewrite(written.bytes);
  ASSERT_EQ(model->launch(accelerator()), StatusCode::OK);  // nothing of the attempt stayed registered
  const Values x = steps(16, 1, -100, 100, 4);
  auto y = model->infer({arrayOf<float>({1, 1, 16}, x)}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(y[0].ptr()[0], x[0] + 3);
}

// Launch reads what runs reload: the programs of a multi-bundle model by
// kind, and every bundle's supplementary program with the sections it
// overwrites; the cache programs run through the model's task queue.
TEST_F(InferenceTest, LaunchReadsTheProgramsRunsReload) {
  StatusCode sc = StatusCode::InternalError;
  auto acc = openAcceleratorImpl(sc);
  ASSERT_EQ(sc, StatusCode::OK);
  const auto kindsFile = writeModel(testModel("program_kinds")), cacheFile = writeModel(testModel("sequence_cache"));
  auto kinds = ModelImpl::create(kindsFile->path(), onCore(0, 0), sc);
  auto cache = ModelImpl::create(cacheFile->path(), onCore(0, 1), sc);
  ASSERT_EQ(kinds->launch(acc.get()), StatusCode::OK);
  ASSERT_EQ(cache->launch(acc.get()), StatusCode::OK);
  const std::vector<uint8_t> kindOf = {kinds->program(0).kind, kinds->program(1).kind, kinds->program(2).kind};
  EXPECT_EQ(kindOf, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(kinds->program(0).buffers.size(), 2u);  // the program and its weights
  EXPECT_EQ(cache->program(0).kind, 0);             // one bundle: uploaded once
  for (size_t v = 0; v < 3; ++v) {
    const SupplementaryRecord& record = kinds->supplementary(v);
    ASSERT_EQ(record.programs.size(), 1u);
    EXPECT_EQ(record.programs[0].rmemTypes, (std::vector<uint8_t>{3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(record.programs[0].pieces.size(), 1u);  // on the model's one core
    // The program sections it overwrites (one per core in bundle 1, whose
    // init program names its core's IMEM), placed on the model's one core.
    EXPECT_EQ(record.buffers.size(), v == 1 ? 8u : 1u);
    EXPECT_EQ(record.pieces.size(), 1u);
  }

  auto ddr = [&](uint64_t base, uint64_t offset, size_t n) {
    std::vector<uint8_t> bytes(n);
    EXPECT_TRUE(card_->peek(base + offset, bytes.data(), n));
    return bytes;
  };
  ASSERT_TRUE(runSupplementary(*kinds, {3, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ddr(0x800000000, 0x3800, 4), (std::vector<uint8_t>{0x5A, 0x5A, 0x5A, 0}));

  // The sequence program fills L + cache size bytes of its cache; the cache
  // program clears it, and the model runs again afterwards.
  const Values x = steps(3 * 16, 1, -100, 100, 8);
  std::vector<NDArray<float>> y;
  ASSERT_EQ(cache->infer({arrayOf<float>({3, 1, 16}, x)}, y, MemoryFormat::HWC, 2), StatusCode::OK);
  std::vector<uint8_t> filled(32, 0);
  std::fill(filled.begin(), filled.begin() + 5, 0x5A);
  EXPECT_EQ(ddr(0x880000000, 0x8000, 32), filled);
  ASSERT_TRUE(runSupplementary(*cache, {0, 0, 0, 0, 0, 0, 0, 32}));
  EXPECT_EQ(ddr(0x880000000, 0x8000, 32), std::vector<uint8_t>(32, 0));
  ASSERT_EQ(cache->infer({arrayOf<float>({3, 1, 16}, x)}, y, MemoryFormat::HWC, 0), StatusCode::OK);
  EXPECT_EQ(y[0].ptr()[0], x[0] + 1);
}

// Sections designated many times at one place (bundle 1's init program,
// which names its core's IMEM, becomes one section per designation) cost
// launch, a run of each program kind and a supplementary run no more device
// writes than designated once, and the programs still compute what they
// should.
TEST_F(InferenceTest, RepeatedDesignationsWriteNoMoreThanOne) {
  StatusCode sc = StatusCode::InternalError;
  auto acc = openAcceleratorImpl(sc);
  ASSERT_EQ(sc, StatusCode::OK);
  auto written = [&](const std::function<bool()>& step) {
    const uint64_t before = card_->stats().bytesWritten;
    EXPECT_TRUE(step());
    return card_->stats().bytesWritten - before;
  };
  std::vector<std::vector<uint64_t>> costs;  // per repeat: launch, a run of each variant, a supplementary run
  for (size_t repeat : {1, 40}) {
    SCOPED_TRACE(repeat);
    json description = testModel("program_kinds");
    for (json& bundle : description["bundles"]) {
      for (json& section : bundle["section_binaries"]) {
        json designations = json::array();
        for (size_t r = 0; r < repeat; ++r)
          for (const json& d : section["designations"]) designations.push_back(d);
        section["designations"] = designations;
      }
    }
    const auto file = writeModel(description);
    auto model = ModelImpl::create(file->path(), onCore(0, 0), sc);
    ASSERT_EQ(sc, StatusCode::OK);
    costs.emplace_back();
    costs.back().push_back(written([&] { return model->launch(acc.get()) == StatusCode::OK; }));
    for (int64_t v = 0; v < 3; ++v) {
      const Values x = steps(static_cast<size_t>(16 * (v + 1)), 1, -50, 50, static_cast<uint32_t>(v));
      std::vector<NDArray<float>> y;
      costs.back().push_back(written([&] {
        return model->infer({arrayOf<float>({1, 1, 16 * (v + 1)}, x)}, y, MemoryFormat::HWC, 0) == StatusCode::OK;
      }));
      ASSERT_EQ(y.size(), 1u);
      EXPECT_EQ(y[0].ptr()[0], v == 0 ? x[0] + 3 : v == 1 ? 2 * x[0] : -x[0]) << v;
    }
    costs.back().push_back(written([&] { return runSupplementary(*model, {3, 0, 0, 0, 0, 0, 0, 0}); }));
    EXPECT_EQ(model->dispose(), StatusCode::OK);
  }
  EXPECT_EQ(costs[1], costs[0]);
}

// Sections without payload of three sizes, half of them at one address and
// half apart, in bundle 0 (reloaded before its runs; those of type 0 are
// written again after a supplementary run) and in bundle 1 (its
// supplementary record only): the host memory launch takes stays the same as
// their number doubles, and the zeros are back where runs need them.
TEST_F(InferenceTest, SectionsWithoutPayloadTakeTheSameHostMemoryHoweverMany) {
  StatusCode sc = StatusCode::InternalError;
  auto acc = openAcceleratorImpl(sc);
  ASSERT_EQ(sc, StatusCode::OK);
  struct Lift {
    ~Lift() { platform::setHostAllowance(std::nullopt); }
  } lift;
  // What is left of the allowance, taken whole.
  auto left = [] {
    uint64_t n = 0;
    for (int b = 63; b >= 0; --b)
      if (platform::takeHostAllowance(uint64_t{1} << b)) n += uint64_t{1} << b;
    return n;
  };
  // Section k: its type and bundle, and where it lies from DDR + kZeros.
  constexpr uint64_t kAllowance = uint64_t{1} << 40, kDdr = 0x800000000, kZeros = 0x100000;
  auto type = [](size_t k) { return k % 4 == 1 ? 2 : k % 4 == 2 ? 3 : 0; };
  auto bundleOf = [](size_t k) -> size_t { return k % 4 == 3 ? 1 : 0; };
  auto offset = [](size_t k) { return k % 2 == 0 ? 0 : k * 0x10000; };
  auto size = [](size_t k) { return uint64_t{0x4000} << (k % 3); };
  std::vector<uint64_t> taken;
  for (size_t count : {8, 16, 32}) {
    SCOPED_TRACE(count);
    json description = testModel("program_kinds");
    uint64_t end = 0;
    for (size_t k = 0; k < count; ++k) {
      description["bundles"][bundleOf(k)]["section_binaries"].push_back(
          {{"memory_type", type(k)},
           {"no_payload", true},
           {"size", size(k)},
           {"designations", {{{"each_core", true}, {"region", "DDR"}, {"address", kZeros + offset(k)}}}}});
      end = std::max(end, offset(k) + size(k));
    }
    const auto file = writeModel(description);
    // A fresh card each time: the pages the launch commits on it (host
    // memory too) are all new, so that what the run-time takes is the rest.
    acc.reset();
    card_ = simcard::attachCard(0, {});
    acc = openAcceleratorImpl(sc);
    ASSERT_EQ(sc, StatusCode::OK);
    auto model = ModelImpl::create(file->path(), onCore(0, 0), sc);
    ASSERT_EQ(sc, StatusCode::OK);
    platform::setHostAllowance(kAllowance);
    ASSERT_EQ(model->launch(acc.get()), StatusCode::OK);
    taken.push_back(kAllowance - left() - card_->stats().committedBytes);
    platform::setHostAllowance(std::nullopt);

    // The area made stale, and what should be there after a step: zeros
    // where the sections `written` picks lie.
    const std::vector<uint8_t> stale(end, 0xEE);
    auto zeroedBy = [&](const std::function<bool(size_t)>& written) {
      std::vector<uint8_t> want = stale;
      for (size_t k = 0; k < count; ++k)
        if (written(k)) std::fill_n(want.begin() + static_cast<long>(offset(k)), size(k), 0);
      return want;
    };
    auto seen = [&] {
      std::vector<uint8_t> bytes(end);
      EXPECT_TRUE(card_->peek(kDdr + kZeros, bytes.data(), end));
      return bytes;
    };
    for (int64_t v = 0; v < 3; ++v) {
      ASSERT_TRUE(card_->poke(kDdr + kZeros, stale.data(), end));
      const Values x = steps(static_cast<size_t>(16 * (v + 1)), 1, -50, 50, static_cast<uint32_t>(v));
      std::vector<NDArray<float>> y;
      ASSERT_EQ(model->infer({arrayOf<float>({1, 1, 16 * (v + 1)}, x)}, y, MemoryFormat::HWC, 0), StatusCode::OK);
      ASSERT_EQ(y.size(), 1u);
      for (size_t i = 0; i < x.size(); ++i)
        EXPECT_EQ(y[0].ptr()[i], v == 0 ? x[i] + 3 : v == 1 ? 2 * x[i] : -x[i]) << v << " " << i;
      // Only variant 0's program holds zeros.
      EXPECT_TRUE(seen() == zeroedBy([&](size_t k) { return v == 0 && bundleOf(k) == 0; })) << v;
    }
    // A bundle's sections of type 0 come back after its supplementary program.
    for (int32_t v = 0; v < 2; ++v) {
      ASSERT_TRUE(card_->poke(kDdr + kZeros, stale.data(), end));
      ASSERT_TRUE(runSupplementary(*model, {3, 0, 0, 0, 0, 0, 0, 0}, v));
      EXPECT_TRUE(seen() == zeroedBy([&](size_t k) { return bundleOf(k) == static_cast<size_t>(v) && type(k) == 0; }))
          << v;
    }
    EXPECT_EQ(model->dispose(), StatusCode::OK);
  }
  EXPECT_EQ(taken[1], taken[0]);
  EXPECT_EQ(taken[2], taken[0]);
}

// On a card with plain DDR and on one whose DDR is interleaved over four
// channels (as the accelerator's description then asks).
class OverlapTest : public InferenceTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    InferenceTest::SetUp();
    if (!GetParam()) return;
    card_.reset();
    simcard::detachAllCards();
    simcard::CardOptions options;
    options.interleave = true;
    card_ = simcard::attachCard(0, options);
    seams::setDeviceFamily("Ebrill");
  }
  void TearDown() override {
    InferenceTest::TearDown();
    seams::setDeviceFamily(std::nullopt);
  }
  // What programs on the card see at `address`, and setting it.
  std::vector<uint8_t> view(uint64_t address, size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) EXPECT_TRUE(card_->peek(at(address + i), &out[i], 1));
    return out;
  }
  void setView(uint64_t address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) EXPECT_TRUE(card_->poke(at(address + i), &bytes[i], 1));
  }
  uint64_t at(uint64_t address) const { return GetParam() ? simcard::channelAddress(address) : address; }
};

// Sections that later ones cover in part, at their front (by whole periods,
// within one, from before them) or in their middle, some of them without
// payload (zeros): registration, every run's reload and the re-upload after
// a supplementary run succeed and leave what writing each section whole in
// order leaves, where programs read.
TEST_P(OverlapTest, PartlyCoveredSectionsLeaveWhatTheWholeOrderLeaves) {
  constexpr int kPattern = -1, kNoPayload = -2;
  struct Placed {
    uint64_t offset, size;
    int fill;  // or a pattern of the section's own, or no payload
  };
  struct Case {
    const char* name;
    int memoryType;
    std::vector<Placed> placed;
  };
  const Case cases[] = {
      {"weights, front by a whole period", 1, {{0, 0x600, 7}, {0, 0x400, 3}}},
      {"front by a whole period", 0, {{0, 0x600, -1}, {0, 0x400, -1}}},
      {"front within a period", 0, {{0, 0x900, -1}, {0, 0x500, -1}}},
      {"front, from before it", 0, {{0x400, 0x800, -1}, {0, 0x900, -1}}},
      {"middle", 0, {{0, 0xC00, -1}, {0x400, 0x400, -1}}},
      {"middle within periods", 0, {{0, 0xC00, -1}, {0x300, 0x600, -1}}},
      {"several", 0, {{0, 0xC00, -1}, {0x500, 0x200, -1}, {0, 0x100, -1}, {0x900, 0x300, -1}, {0xA00, 0x10, -1}}},
      {"zeros over each other, apart and under patterns",
       0,
       {{0x100, 0x300, kNoPayload},
        {0, 0x200, kPattern},
        {0x800, 0x400, kNoPayload},
        {0x300, 0x600, kPattern},
        {0x500, 0x80, kNoPayload},
        {0x900, 0x100, kNoPayload},
        {0x880, 0x300, kPattern}}},
      {"weights among zeros", 1, {{0x200, 0x500, kNoPayload}, {0, 0x600, 7}, {0x500, 0x600, kNoPayload}, {0x40, 0x10, kNoPayload}}},
  };
  StatusCode sc = StatusCode::InternalError;
  auto acc = openAcceleratorImpl(sc);
  ASSERT_EQ(sc, StatusCode::OK);
  // DDR + 0x3000 of Cluster0 Core0, and what programs see a period around
  // it (up to bundle 1's program at DDR + 0x4000).
  const uint64_t base = 0x800003000, from = base - 0x400, seen = 0x1000;
  const std::vector<uint8_t> stale(seen, 0xEE);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json description = testModel("program_kinds");
    json& sections = description["bundles"][0]["section_binaries"];
    sections.erase(1);  // the weights
    std::vector<std::vector<uint8_t>> contents;
    for (size_t k = 0; k < c.placed.size(); ++k) {
      const Placed& p = c.placed[k];
      std::vector<uint8_t> bytes(p.size, p.fill == kNoPayload ? 0 : static_cast<uint8_t>(p.fill));
      if (p.fill == kPattern)
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i * 7 + k * 50 + (i >> 8)) % 100);
      json section = {{"memory_type", c.memoryType},
                      {"designations", {{{"each_core", true}, {"region", "DDR"}, {"address", 0x3000 + p.offset}}}}};
      if (p.fill == kNoPayload) {
        section["no_payload"] = true;
        section["size"] = p.size;
      } else {
        section["payload"] = {{"bytes", bytes}};
      }
      sections.insert(sections.begin() + 1 + static_cast<long>(k), section);
      contents.push_back(std::move(bytes));
    }
    // The sections `first` picks, then the others, each written whole in
    // order, as the device's transfers do.
    auto writtenWhole = [&](const std::function<bool(const Placed&)>& first) {
      setView(from, stale);
      for (bool pass : {true, false}) {
        for (size_t k = 0; k < c.placed.size(); ++k) {
          const Placed& p = c.placed[k];
          if (first(p) != pass) continue;
          void* host = nullptr;
          EXPECT_EQ(acc->allocateHostMemory(host, p.size), StatusCode::OK);
          std::memcpy(host, contents[k].data(), p.size);
          EXPECT_EQ(writeDeviceMemory(acc->driver(), base + p.offset, 0, p.size, reinterpret_cast<uintptr_t>(host),
                                      GetParam(), 0),
                    p.size);
          acc->freeHostMemory(host);
        }
      }
      return view(from, seen);
    };
    // Registration starts every section without payload as zeros before the
    // payloads; the programs reload them all in order.
    const std::vector<uint8_t> registered = writtenWhole([](const Placed& p) { return p.fill == kNoPayload; });
    const std::vector<uint8_t> expected = writtenWhole([](const Placed&) { return true; });
    const auto file = writeModel(description);
    auto model = ModelImpl::create(file->path(), onCore(0, 0), sc);
    ASSERT_EQ(sc, StatusCode::OK);
    setView(from, stale);
    ASSERT_EQ(model->launch(acc.get()), StatusCode::OK);
    EXPECT_TRUE(view(from, seen) == registered);

    setView(from, stale);
    const Values x = steps(16, 1, -20, 20, 5);
    std::vector<NDArray<float>> y;
    ASSERT_EQ(model->infer({arrayOf<float>({1, 1, 16}, x)}, y, MemoryFormat::HWC, 0), StatusCode::OK);
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(y.at(0).ptr()[i], x[i] + static_cast<int8_t>(expected[0x400 + i])) << i;
    EXPECT_TRUE(view(from, seen) == expected);

    // The cache program (told to fill nothing) takes the program's place,
    // which comes back with the data sections (not the weights) of its bundle.
    if (c.memoryType == 0) setView(from, stale);
    ASSERT_TRUE(runSupplementary(*model, {0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(view(from, seen) == expected);
    EXPECT_EQ(model->dispose(), StatusCode::OK);
  }
}

INSTANTIATE_TEST_SUITE_P(Interleave, OverlapTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FourChannels" : "Plain"; });

// A run that hangs times out and the card is reset; a request made while the
// reset waits runs after it, on the programs uploaded again.
TEST_F(InferenceTest, RequestDuringResetCompletesAfterIt) {
  seams::setWatchdogTimes({100000000ull, 300000000ull, 300000000ull});
  Model& model = launch(testModel("identity_int8"), onCore(0, 0));
  card_->faults().hangRuns(0x10001, 1);
  std::unique_lock gate(seams::resetGate());  // the reset waits until released
  StatusCode first = StatusCode::OK;
  identityRuns(model, 5, first);
  EXPECT_EQ(first, StatusCode::Model_NotAlive);

  StatusCode second = StatusCode::InternalError;
  bool right = false;
  auto during = std::async(std::launch::async, [&] { right = identityRuns(model, 6, second); });
  EXPECT_EQ(during.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  gate.unlock();
  during.get();
  EXPECT_EQ(second, StatusCode::OK);
  EXPECT_TRUE(right);
  EXPECT_EQ(card_->stats().resetsByCore[0x10001], 1u);
}

// A task that fails does not end the wait: every task of the batch has
// reported (and left its buffers) before the request returns.
TEST_F(InferenceTest, FailedTaskWaitsForTheWholeBatch) {
  Model& model = launch(testModel("identity_int8"), onCore(0, 0));
  card_->faults().failRuns(0x10001, 1);
  card_->faults().delayCore(0x10001, 20);
  StatusCode sc = StatusCode::OK;
  model.infer({arrayOf<float>({4, 4, 4, 8}, Values(4 * 128))}, sc);
  EXPECT_EQ(sc, StatusCode::Model_NotAlive);
  EXPECT_EQ(card_->stats().postsByCore[0x10001], 4u);
  EXPECT_TRUE(identityRuns(model, 7, sc));
  EXPECT_EQ(sc, StatusCode::OK);
}

// Dispose of a model whose core stays hung, with requests queued behind
// the hung one: the queued tasks fail at once instead of each waiting for
// a time-out of its own, so only the run in progress times out.
TEST_F(InferenceTest, DisposeFailsQueuedRequestsOfAHungCoreAtOnce) {
  // Runs time out after a second: room for dispose to close the queue
  // before the first time-out's reset could start the next task.
  seams::setWatchdogTimes({100000000ull, 1000000000ull, 1000000000ull});
  StatusCode sc = StatusCode::InternalError;
  auto acc = openAcceleratorImpl(sc);
  ASSERT_EQ(sc, StatusCode::OK);
  const auto file = writeModel(testModel("identity_int8"));
  auto model = ModelImpl::create(file->path(), onCore(1, 2), sc);
  ASSERT_EQ(model->launch(acc.get()), StatusCode::OK);
  constexpr uint32_t kCore = 0x20003;
  card_->faults().hangCore(kCore, true);
  LogCapture log;
  std::vector<StatusCode> results(3, StatusCode::OK);
  std::atomic<int> ended{0};
  std::vector<std::thread> callers;
  for (size_t i = 0; i < results.size(); ++i) {
    callers.emplace_back([&, i] {
      std::vector<NDArray<float>> y;
      results[i] = model->infer({arrayOf<float>({4, 4, 8}, Values(128))}, y, MemoryFormat::HWC, 0);
      ++ended;
    });
  }
  // One run hangs on the card and a task waits in the queue (the one
  // between them may be held by the dispatcher, waiting for the core).
  auto queued = [&] {
    const ModelImpl::CallScope scope(*model);
    return scope ? model->taskQueue()->size() : size_t{0};
  };
  while (ended == 0 && (card_->stats().postsByCore[kCore] < 1 || queued() < 1)) std::this_thread::yield();
  ASSERT_EQ(ended, 0) << "the hung run timed out before dispose began";
  EXPECT_EQ(model->dispose(), StatusCode::OK);
  for (auto& caller : callers) caller.join();
  // The run that timed out and the tasks the closing queue dropped failed:
  // they report it, though dispose was under way when they ended. Only a
  // request that came too late to be queued is one the model refused.
  EXPECT_GE(std::count(results.begin(), results.end(), StatusCode::Model_NotAlive), 2);
  for (StatusCode result : results)
    EXPECT_TRUE(result == StatusCode::Model_NotAlive || result == StatusCode::Model_NotLaunched) << statusCodeName(result);
  EXPECT_EQ(log.count("Timeout occurred"), 1u);
  EXPECT_EQ(card_->stats().postsByCore[kCore], 1u);
  card_->faults().hangCore(kCore, false);
}

// A launch that fails for want of device memory leaves the card's memory
// as it found it: a small model launched afterwards runs.
TEST_F(InferenceTest, LaunchOutOfDeviceMemoryLeavesTheMemoryAsItWas) {
  // Room for three 1 MiB chunks of the large model's zeros and one page
  // more: the fourth chunk does not fit, and what the three took would leave
  // the small model too little.
  simcard::CardOptions options;
  options.memoryCapBytes = (3 << 20) + simcard::DeviceMemory::kPageSize;
  card_ = simcard::attachCard(0, options);
  json large = testModel("identity_int8");
  large["bundles"][0]["section_binaries"].push_back({{"memory_type", 2},
                                                     {"no_payload", true},
                                                     {"size", 8 << 20},
                                                     {"designations", {{{"each_core", true}, {"region", "DDR"}, {"address", 0x100000}}}}});
  const uint64_t before = card_->stats().committedBytes;
  Model* big = create(large, onCore(0, 0));
  LogCapture log;
  EXPECT_EQ(big->launch(accelerator()), StatusCode::Driver_FailedToWriteMemoryBuffer);
  // The refusal names the write the card turned down.
  EXPECT_EQ(log.count("error|Failed to write a section binary to device memory: 0 of 1048576 bytes at 0x"), 1u)
      << ::testing::PrintToString(log.lines());
  EXPECT_EQ(card_->stats().committedBytes, before);
  EXPECT_TRUE(card_->claimedCores().empty());
  StatusCode sc = StatusCode::InternalError;
  Model& small = launch(testModel("identity_int8"), onCore(0, 0));
  EXPECT_TRUE(identityRuns(small, 9, sc));
  EXPECT_EQ(sc, StatusCode::OK);
}

// A model whose input area the card has no room for launches (nothing is
// written there at launch), and then each request fails naming the write.
TEST_F(InferenceTest, RequestsOutOfDeviceMemoryNameTheRefusedWrite) {
  simcard::CardOptions options;
  options.memoryCapBytes = 1 << 20;
  card_ = simcard::attachCard(0, options);
  json big = testModel("identity_int8");
  big["bundles"][0]["inputs"][0]["original"] = {256, 256, 8};
  big["bundles"][0]["inputs"][0]["shape"] = {256, 256, 64};
  Model& model = launch(big, onCore(0, 0));
  LogCapture log;
  for (int round = 1; round <= 2; ++round) {
    StatusCode sc = StatusCode::OK;
    model.infer({arrayOf<float>({256, 256, 8}, Values(256 * 256 * 8))}, sc);
    EXPECT_EQ(sc, StatusCode::Model_NotAlive);
    EXPECT_EQ(log.count("error|Failed to write input 0 (buffer 0) to device memory: 0 of 4194304 bytes at 0x"),
              static_cast<size_t>(round))
        << ::testing::PrintToString(log.lines());
  }
}

// Every call takes a tick of one clock as it starts and as it ends, and
// dispose one before it begins and one after it returns: a call that ended
// before dispose began ran on a launched model and must have succeeded, one
// that started after dispose returned is refused, and only the calls in
// between may have been refused or dropped by the closing queue.
TEST_F(InferenceTest, DisposeWhileEightThreadsInfer) {
  struct Call {
    uint64_t start, end;
    StatusCode sc;
    bool right;
  };
  Model& model = launch(testModel("identity_int8"));
  std::atomic<uint64_t> clock{0};
  std::atomic<int> succeeded{0};
  std::vector<std::vector<Call>> calls(8);
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (uint32_t i = 0;; ++i) {
        Call call{++clock, 0, StatusCode::InternalError, false};
        call.right = identityRuns(model, t * 1000 + i, call.sc);
        call.end = ++clock;
        calls[t].push_back(call);
        if (call.sc == StatusCode::Model_NotLaunched) return;
        if (call.sc == StatusCode::OK) ++succeeded;
      }
    });
  }
  while (succeeded < 40) std::this_thread::yield();
  const uint64_t disposeBegan = ++clock;
  EXPECT_EQ(model.dispose(), StatusCode::OK);
  const uint64_t disposeEnded = ++clock;
  for (auto& thread : threads) thread.join();
  size_t before = 0;
  for (const std::vector<Call>& list : calls) {
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.back().sc, StatusCode::Model_NotLaunched);  // each thread ends on a refusal
    for (const Call& call : list) {
      EXPECT_TRUE(call.right);
      if (call.end < disposeBegan) {
        ++before;
        EXPECT_EQ(call.sc, StatusCode::OK) << statusCodeName(call.sc);
      } else if (call.start > disposeEnded) {
        EXPECT_EQ(call.sc, StatusCode::Model_NotLaunched) << statusCodeName(call.sc);
      } else {
        EXPECT_TRUE(call.sc == StatusCode::OK || call.sc == StatusCode::Model_NotLaunched ||
                    call.sc == StatusCode::Model_NotAlive)
            << statusCodeName(call.sc);
      }
    }
  }
  EXPECT_GE(before, 40u);
  EXPECT_TRUE(card_->claimedCores().empty());
}

TEST_F(InferenceTest, CyclesLeaveNothingBehind) {
  const std::unique_ptr<TempModelFile> file = writeModel(testModel("identity_int8"));
  Accelerator& acc = accelerator();
  auto cycle = [&](uint32_t seed) {
    StatusCode sc = StatusCode::InternalError;
    auto model = Model::create(file->path(), onCore(0, seed % 4), sc);
    ASSERT_EQ(sc, StatusCode::OK);
    ASSERT_EQ(model->launch(acc), StatusCode::OK);
    ASSERT_TRUE(identityRuns(*model, seed, sc));
    ASSERT_EQ(sc, StatusCode::OK);
    ASSERT_EQ(model->dispose(), StatusCode::OK);
  };
  for (uint32_t i = 0; i < 20; ++i) cycle(i);
  const size_t threads = entries("/proc/self/task"), fds = entries("/proc/self/fd");
  const auto stats = card_->stats();
  const size_t heap = mallinfo2().uordblks;
  for (uint32_t i = 0; i < 1000; ++i) {
    cycle(i);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(entries("/proc/self/task"), threads);
  EXPECT_EQ(entries("/proc/self/fd"), fds);
  EXPECT_TRUE(card_->claimedCores().empty());
  EXPECT_EQ(card_->stats().liveMappings, stats.liveMappings);
  EXPECT_EQ(card_->stats().committedBytes, stats.committedBytes);
  // Sanitizer allocators keep their own books (and LeakSanitizer checks them).
  if (heap > 0) {
    EXPECT_LT(mallinfo2().uordblks, heap + (1u << 20));
  }
}

}  // namespace
}  // namespace kestrane::test
