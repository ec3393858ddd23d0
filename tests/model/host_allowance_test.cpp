// The bound on host memory that the fuzz target sets: every block a model
// file sizes (index tables, DMA buffers, result arrays and lists, cache
// blocks, the simulated card's device memory) is taken from it, and a block
// past it fails where it is made, as it does when memory runs out.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "inference_fixture.h"
#include "platform/host_allowance.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

class HostAllowance : public InferenceTest {
 protected:
  void TearDown() override {
    platform::setHostAllowance(std::nullopt);
    InferenceTest::TearDown();
  }
};

TEST_F(HostAllowance, IndexTablesPastItRefuseCreationAsOutOfMemory) {
  accelerator();
  const auto file = writeModel(testModel("identity_int8"));
  platform::setHostAllowance(4 * 128 - 1);  // the input's table: 128 elements
  LogCapture log;
  StatusCode status = StatusCode::OK;
  EXPECT_EQ(Model::create(file->path(), oneCore(), status), nullptr);
  EXPECT_EQ(status, StatusCode::BadAlloc);
  EXPECT_EQ(log.count("error|"), 1u) << log.text();
  EXPECT_EQ(log.count("Input 0 of NPU operation 0 (layout kind 0) has no index tables of its 128 host elements "
                      "- out of host memory."),
            1u)
      << log.text();
}

TEST_F(HostAllowance, RequestBlocksPastItFailAsOutOfMemory) {
  Model& model = launch(testModel("identity_int8"), oneCore());
  const NDArray<float> x = arrayOf<float>({4, 4, 8}, steps(128, 1, -100, 100, 3));
  StatusCode sc = StatusCode::OK;
  platform::setHostAllowance(0);
  model.infer({x}, sc);
  EXPECT_EQ(sc, StatusCode::BadAlloc);
  EXPECT_TRUE(model.acquireOutputBuffer().empty());

  platform::setHostAllowance(std::nullopt);
  std::vector<Buffer> in = model.acquireInputBuffer(), out = model.acquireOutputBuffer();
  ASSERT_EQ(model.inferBuffer(in, out), StatusCode::OK);
  platform::setHostAllowance(4 * 128 - 1);
  LogCapture log;
  std::vector<std::vector<float>> lists;
  EXPECT_EQ(model.repositionOutputs(out, lists), StatusCode::BadAlloc);
  EXPECT_EQ(log.count("Failed to allocate the output lists."), 1u) << log.text();
  model.releaseBuffer(in);
  model.releaseBuffer(out);
}

TEST_F(HostAllowance, CacheBlocksPastItFailAsOutOfMemory) {
  Model& model = launch(testModel("sequence_cache"), oneCore());
  platform::setHostAllowance(31);  // the cache: 32 bytes
  LogCapture log;
  StatusCode sc = StatusCode::OK;
  model.dumpCacheMemory(sc);
  EXPECT_EQ(sc, StatusCode::BadAlloc);
  EXPECT_EQ(model.dumpCacheMemory(::testing::TempDir() + "cache_dump"), StatusCode::BadAlloc);
  EXPECT_EQ(log.count("Failed to dump cache memory - out of host memory."), 2u) << log.text();
}

// The simulated card's device memory is host memory: a launch whose
// sections need more of it than the host gives fails as a refused write
// does, with the card's line and the driver's, and leaves the card as it
// found it (no core claimed, its memory as it was, the host memory it took
// given back); the next launch on the same accelerator, of the model
// without those sections, runs under the same bound (set anew: what a
// piece of work takes of it is not given back). Models the host has room
// for launch under the same bound.
TEST_F(HostAllowance, ALaunchPastItFailsAsARefusedWriteAndLeavesTheCardAsItWas) {
  constexpr uint64_t kMiB = uint64_t{1} << 20;
  constexpr uint64_t kArea = 0x800000000 + 16 * kMiB;  // DDR of Cluster0 Core0, clear of the IO areas
  struct Case {
    const char* name;
    const char* model;
    // Sections without payload added to bundle 0 (in a model of two, reloaded
    // before every run): `count` of `size` bytes, each `step` bytes below
    // the one before (negative: above), the lowest at kArea.
    int count;
    uint64_t size;
    int64_t step;
    uint64_t stale;  // bytes from kArea written before the launch
    std::optional<uint64_t> allowance;
    bool launches;
  };
  const std::vector<Case> cases = {
      {"FourOf512MiBEach4KiBBelow", "two_variants", 4, 512 * kMiB, 4096, 0, 32 * kMiB, false},
      {"OneOf512MiBInTheOnlyBundle", "identity_int8", 1, 512 * kMiB, 0, 0, 32 * kMiB, false},
      {"OverStaleBytes", "two_variants", 4, 512 * kMiB, 4096, 2 * kMiB, 32 * kMiB, false},
      {"CopiesOfStaleBytesPastIt", "two_variants", 4, 512 * kMiB, 4096, 24 * kMiB, 16 * kMiB, false},
      {"FourOf4MiBEach4KiBBelow", "two_variants", 4, 4 * kMiB, 4096, 0, 32 * kMiB, true},
      {"ThreeAtOtherOffsetsOverStaleBytes", "two_variants", 3, 2 * kMiB, -(64 * 1024 + 100), kMiB, 32 * kMiB, true},
      {"FourOf4MiBUnbounded", "two_variants", 4, 4 * kMiB, 4096, 3 * kMiB, std::nullopt, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json description = testModel(c.model);
    uint64_t end = 0;
    for (int k = 0; k < c.count; ++k) {
      const int64_t below = c.step >= 0 ? (c.count - 1 - k) * c.step : -k * c.step;
      description["bundles"][0]["section_binaries"].push_back(
          {{"memory_type", 2},
           {"no_payload", true},
           {"size", c.size},
           {"designations",
            {{{"each_core", true}, {"region", "DDR"}, {"address", kArea - 0x800000000 + below}}}}});
      end = std::max(end, static_cast<uint64_t>(below) + c.size);
    }
    const std::vector<uint8_t> stale(c.stale, 0xEE);
    if (c.stale > 0) {
      ASSERT_TRUE(card_->poke(kArea, stale.data(), stale.size()));
    }
    Model* model = create(description, onCore(0, 0));
    const uint64_t committed = card_->stats().committedBytes;
    const uint64_t hostMapped = card_->stats().hostMappedBytes;
    // The model runs its first variant right (identity_int8 adds nothing).
    const int added = std::string(c.model) == "two_variants" ? 1 : 0;
    const std::vector<int64_t> shape = added ? std::vector<int64_t>{1, 1, 16} : std::vector<int64_t>{4, 4, 8};
    auto runs = [&](Model& m) {
      const Values x = steps(added ? 16 : 128, 1, -100, 100, 5);
      StatusCode status = StatusCode::InternalError;
      auto y = m.infer({arrayOf<float>(shape, x)}, status);
      ASSERT_EQ(status, StatusCode::OK);
      for (size_t i = 0; i < x.size(); ++i) EXPECT_EQ(y[0].ptr()[i], x[i] + static_cast<float>(added)) << i;
    };
    platform::setHostAllowance(c.allowance);
    LogCapture log;
    StatusCode sc = model->launch(accelerator());
    platform::setHostAllowance(std::nullopt);
    if (c.launches) {
      EXPECT_EQ(sc, StatusCode::OK);
      EXPECT_EQ(log.count("error|"), 0u) << log.text();
      std::vector<uint8_t> seen(end, 0xEE);
      ASSERT_TRUE(card_->peek(kArea, seen.data(), seen.size()));
      EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](uint8_t b) { return b == 0; }));
      runs(*model);
      EXPECT_EQ(model->dispose(), StatusCode::OK);
      continue;
    }
    EXPECT_EQ(sc, StatusCode::Driver_FailedToWriteMemoryBuffer) << statusCodeName(sc);
    // The card names the write it had no memory for; the driver the same.
    EXPECT_EQ(log.count("error|Simulated card: no host memory for the pages of a write of 1048576 bytes at 0x"), 1u)
        << log.text();
    EXPECT_EQ(log.count("error|Failed to write a section binary to device memory: 0 of 1048576 bytes at 0x"), 1u)
        << log.text();
    EXPECT_EQ(log.count("error|"), 2u) << log.text();
    EXPECT_TRUE(card_->claimedCores().empty());
    EXPECT_EQ(card_->stats().committedBytes, committed);
    EXPECT_EQ(card_->stats().journaledBytes, 0u);
    EXPECT_LE(card_->stats().hostMappedBytes, hostMapped) << "the card kept host memory of the failed launch";
    if (c.stale > 0) {
      std::vector<uint8_t> seen(c.stale);
      ASSERT_TRUE(card_->peek(kArea, seen.data(), seen.size()));
      EXPECT_TRUE(seen == stale);
    }
    platform::setHostAllowance(c.allowance);
    Model* next = create(testModel(c.model), onCore(0, 0));
    EXPECT_EQ(next->launch(accelerator()), StatusCode::OK) << log.text();
    runs(*next);
    platform::setHostAllowance(std::nullopt);
    EXPECT_EQ(next->dispose(), StatusCode::OK);
  }
}

}  // namespace
}  // namespace kestrane::test
