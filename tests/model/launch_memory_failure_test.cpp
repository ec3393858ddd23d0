// Each host allocation of a launch made to fail in turn (each operator new,
// then each of the C library's malloc family where the build counts it): the
// launch returns a status with a line instead of throwing, nothing of it
// stays (no core claimed, every host buffer back, the card's memory as it
// was), and the same model then launches on the same accelerator and runs.

#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>

#include "inference_fixture.h"
#include "support/alloc_failure.h"
#include "support/log_capture.h"
#include "support/sweep_support.h"

namespace kestrane::test {
namespace {

struct Use {
  const char* name;
  const char* model;
  bool async;
  bool zeros;     // bundle 0 gains sections without payload
  int64_t items;  // of the request that checks the launch
  int64_t added;  // what the model adds to its input (variant 0)
};

void PrintTo(const Use& use, std::ostream* os) { *os << use.name; }

class LaunchMemoryFailureTest : public InferenceTest, public ::testing::WithParamInterface<Use> {
 protected:
  void TearDown() override {
    failAllocation(std::nullopt);
    InferenceTest::TearDown();
  }

  // The model runs its first variant right.
  void runs(Model& model) {
    const Use& use = GetParam();
    const Values x = steps(static_cast<size_t>(use.items), 1, -50, 50, 3);
    StatusCode sc = StatusCode::InternalError;
    const std::vector<int64_t> shape =
        use.items == 128 ? std::vector<int64_t>{4, 4, 8} : std::vector<int64_t>{1, 1, use.items};
    auto y = model.infer({arrayOf<float>(shape, x)}, sc);
    ASSERT_EQ(sc, StatusCode::OK);
    ASSERT_EQ(y.size(), 1u);
    for (size_t i = 0; i < x.size(); ++i) EXPECT_EQ(y[0].ptr()[i], x[i] + static_cast<float>(use.added)) << i;
  }
};

TEST_P(LaunchMemoryFailureTest, EachFailedAllocationFailsTheLaunchCleanlyAndTheNextLaunchRuns) {
  const QuietConsole quiet;
  ModelConfig config = onCore(0, 0);
  config.setAsyncPipelineEnabled(GetParam().async);
  json description = testModel(GetParam().model);
  if (GetParam().zeros) {
    for (int type : {0, 2})
      description["bundles"][0]["section_binaries"].push_back(
          {{"memory_type", type},
           {"no_payload", true},
           {"size", 0x18000},
           {"designations", {{{"each_core", true}, {"region", "DDR"}, {"address", 0x100000 + type * 0x8000}}}}});
  }
  const auto file = writeModel(description);
  // A model of its own for each launch, made before allocations count.
  auto created = [&] {
    StatusCode sc = StatusCode::InternalError;
    std::unique_ptr<Model> model = Model::create(file->path(), config, sc);
    EXPECT_EQ(sc, StatusCode::OK);
    return model;
  };
  Accelerator& acc = accelerator();
  std::unique_ptr<Model> model = created();
  ASSERT_TRUE(model);
  failAllocation(std::nullopt);
  {
    CountedAllocations counted;
    ASSERT_EQ(model->launch(acc), StatusCode::OK);
  }
  const uint64_t news = countedAllocations(AllocFamily::New), mallocs = countedAllocations(AllocFamily::Malloc);
  ASSERT_GT(news, 0u);
  ASSERT_EQ(mallocs > 0, mallocFamilyCounted());
  runs(*model);
  ASSERT_EQ(model->dispose(), StatusCode::OK);
  // The launch above committed every page a launch writes.
  const uint64_t committed = card_->stats().committedBytes;

  for (const auto& [family, total, name] : {std::tuple{AllocFamily::New, news, "operator new"},
                                            std::tuple{AllocFamily::Malloc, mallocs, "malloc-family allocation"}}) {
    const uint64_t stride = sweepStride(total);
    for (uint64_t k = 1; k <= total && !HasFailure(); k += stride) {  // one failed k tells; the rest would repeat it
      const std::string label = std::string(name) + " " + std::to_string(k) + " of " + std::to_string(total) + " fails";
      SCOPED_TRACE(label);
      model = created();
      ASSERT_TRUE(model);
      const HangGuard guard(std::string(GetParam().name) + ", " + label, std::chrono::seconds(30));
      const LogCapture log;
      StatusCode sc = StatusCode::InternalError;
      ::testing::internal::CaptureStdout();  // the driver's lines
      const FailingRun run = runFailing(k, [&] { sc = model->launch(acc); }, true, family);
      const bool driverLine = ::testing::internal::GetCapturedStdout().find("*E:") != std::string::npos;
      failAllocation(std::nullopt);
      EXPECT_EQ(run.thrown, "");
      if (sc != StatusCode::OK) {
        EXPECT_TRUE(run.failed) << statusCodeName(sc);
        EXPECT_NE(sc, StatusCode::Model_BrokenZRB) << "no memory is not a broken file";
        EXPECT_NE(sc, StatusCode::Model_FailedToOpenSectionBinary) << "no memory is not a missing section binary";
        EXPECT_TRUE(driverLine || log.count("error|") > 0) << statusCodeName(sc) << " without a line";
        EXPECT_TRUE(card_->claimedCores().empty()) << "a launch that failed keeps its cores";
        EXPECT_EQ(card_->stats().committedBytes, committed);
        EXPECT_EQ(log.count("were not returned to the memory pool"), 0u) << "a launch that failed keeps host buffers";
        EXPECT_EQ(model->launch(acc), StatusCode::OK) << "after " << statusCodeName(sc) << ": " << log.text();
      }
      runs(*model);
      EXPECT_EQ(model->dispose(), StatusCode::OK);
      EXPECT_TRUE(card_->claimedCores().empty());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Models, LaunchMemoryFailureTest,
                         ::testing::Values(Use{"OneBundle", "identity_int8", false, false, 128, 0},
                                           Use{"ReloadedBundlesAsync", "two_variants", true, false, 16, 1},
                                           Use{"ProgramKindsWithZeros", "program_kinds", false, true, 16, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrane::test
