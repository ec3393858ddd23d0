// Each host allocation of a model's release made to fail in turn: an
// explicit dispose, the model's destructor, and the accelerator's
// destructor with the model collected before or after it (as Python's
// collector may order them). The process survives, dispose returns OK or a
// status with a line, no core stays claimed, nothing reaches a gone
// accelerator (AddressSanitizer tells), and the next launch works.

#include <functional>
#include <optional>
#include <string>

#include "inference_fixture.h"
#include "support/alloc_failure.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

size_t problemLines(const LogCapture& log) { return log.count("error|") + log.count("warning|"); }

// A launched model reloads its programs before every run (two bundles), so
// its launch filled its memory pool; its asynchronous pipeline runs too.
class ReleaseMemoryTest : public InferenceTest {
 protected:
  void SetUp() override {
    InferenceTest::SetUp();
    file_ = writeModel(testModel("two_variants"));
  }
  void TearDown() override {
    failAllocation(std::nullopt);
    model_.reset();
    acc_.reset();
    InferenceTest::TearDown();
  }

  ModelConfig config() const {
    ModelConfig c = onCore(0, 0);
    c.setAsyncPipelineEnabled(true);
    return c;
  }

  // A fresh accelerator and model, launched, with one request run: false
  // (after a failure) when any of it did not work.
  bool launchAndRun() {
    StatusCode status = StatusCode::InternalError;
    ::testing::internal::CaptureStdout();  // the driver's connection details
    acc_ = Accelerator::create(0, status);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, StatusCode::OK);
    if (!acc_) return false;
    model_ = Model::create(file_->path(), config(), status);
    EXPECT_EQ(status, StatusCode::OK);
    if (!model_) return false;
    EXPECT_EQ(model_->launch(*acc_), StatusCode::OK);
    const auto y = model_->infer({arrayOf<float>({1, 1, 32}, steps(32, 1, -100, 100, 7))}, status);
    EXPECT_EQ(status, StatusCode::OK);
    return !HasFailure();
  }

  std::unique_ptr<TempModelFile> file_;
  std::unique_ptr<Accelerator> acc_;
  std::unique_ptr<Model> model_;
};

// How the model and its accelerator go. `failing` runs with allocations
// counted (the k-th failing); `after`, nothing failing, lets go of the rest.
struct Release {
  const char* name;
  std::function<std::optional<StatusCode>(std::unique_ptr<Model>&, std::unique_ptr<Accelerator>&)> failing;
  std::function<void(std::unique_ptr<Model>&, std::unique_ptr<Accelerator>&)> after;
};

TEST_F(ReleaseMemoryTest, EachFailedAllocationOfAReleaseLeavesNoCoreClaimedAndTheNextLaunchWorks) {
  using ModelPtr = std::unique_ptr<Model>;
  using AccPtr = std::unique_ptr<Accelerator>;
  const Release releases[] = {
      {"dispose, then the model, then the accelerator",
       [](ModelPtr& m, AccPtr&) { return std::optional<StatusCode>(m->dispose()); },
       [](ModelPtr& m, AccPtr& a) {
         m.reset();
         a.reset();
       }},
      {"the model while launched, then the accelerator",
       [](ModelPtr& m, AccPtr&) {
         m.reset();
         return std::optional<StatusCode>();
       },
       [](ModelPtr&, AccPtr& a) { a.reset(); }},
      {"the accelerator while the model is launched, then the model",
       [](ModelPtr&, AccPtr& a) {
         a.reset();
         return std::optional<StatusCode>();
       },
       [](ModelPtr& m, AccPtr&) { m.reset(); }},
      {"dispose, then the accelerator, then the model",
       [](ModelPtr& m, AccPtr&) { return std::optional<StatusCode>(m->dispose()); },
       [](ModelPtr& m, AccPtr& a) {
         a.reset();
         m.reset();
       }},
  };
  for (const Release& release : releases) {
    bool failed = true;
    uint64_t k = 1;
    for (; failed && !HasFailure(); ++k) {
      SCOPED_TRACE(std::string(release.name) + ", allocation " + std::to_string(k) + " failing");
      ASSERT_TRUE(launchAndRun());
      const LogCapture log;
      std::optional<StatusCode> status;
      const FailingRun run = runFailing(k, [&] { status = release.failing(model_, acc_); });
      failed = run.failed;
      EXPECT_EQ(run.thrown, "") << "the release threw";
      if (status && *status != StatusCode::OK) {
        EXPECT_GT(problemLines(log), 0u) << statusCodeName(*status) << " without a line";
      }
      release.after(model_, acc_);
      EXPECT_TRUE(card_->claimedCores().empty()) << "a core stays claimed";
    }
    EXPECT_GT(k, 2u) << release.name << ": no allocation failed";
  }
  // And after all of them a model launches and runs as ever.
  EXPECT_TRUE(launchAndRun());
}

}  // namespace
}  // namespace kestrane::test
