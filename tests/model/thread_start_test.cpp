// Every thread start of one round of use made to fail in turn: each call
// that fails returns a status and logs a line, no failure ends the process,
// nothing the trace recorder holds is lost, and a round after it with
// nothing failing works.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>

#include <chrono>
#include <thread>

#include "core/trace_event_recorder.h"
#include "inference_fixture.h"
#include "model/model_impl.h"
#include "kestrane/trace.h"
#include "platform/thread_start.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

constexpr int kRequests = 3;

size_t problemLines(const LogCapture& log) { return log.count("error|") + log.count("warning|"); }

class ThreadStartTest : public InferenceTest {
 protected:
  void TearDown() override {
    platform::failThreadStart(std::nullopt);
    stopTracingEvents();
    std::filesystem::remove(tracePath_);
    InferenceTest::TearDown();
  }

  // One round on a fresh card (so that its run thread starts here too):
  // accelerator, model, launch with the asynchronous pipeline, requests
  // with tracing on that take the recorder past a swap, an asynchronous
  // request, dispose. A call may fail only with one of the statuses its
  // failure gives, and only with a line; with `clean` none may fail.
  void round(bool clean) {
    simcard::detachAllCards();
    card_ = simcard::attachCard(0, {});
    const LogCapture log;
    // True when the call failed.
    auto failed = [&](const char* what, StatusCode sc, size_t before, std::initializer_list<StatusCode> allowed) {
      if (sc == StatusCode::OK) return false;
      EXPECT_FALSE(clean) << what << " failed with " << static_cast<int>(sc);
      EXPECT_NE(std::find(allowed.begin(), allowed.end(), sc), allowed.end())
          << what << " failed with " << static_cast<int>(sc);
      EXPECT_GT(problemLines(log), before) << what << " failed without a line";
      return true;
    };
    StatusCode sc = StatusCode::InternalError;
    size_t before = problemLines(log);
    ::testing::internal::CaptureStdout();  // the driver's connection details
    auto acc = Accelerator::create(0, sc);
    ::testing::internal::GetCapturedStdout();
    if (failed("Accelerator::create", sc, before, {StatusCode::InternalError})) return;
    const auto file = writeModel(testModel("identity_int8"));
    ModelConfig config = onCore(0, 0);
    config.setAsyncPipelineEnabled(true);
    auto model = Model::create(file->path(), config, sc);
    ASSERT_EQ(sc, StatusCode::OK);
    before = problemLines(log);
    if (failed("launch", model->launch(*acc), before,
               {StatusCode::InternalError, StatusCode::Model_AsyncPipelineCheckFailed}))
      return;

    ASSERT_TRUE(startTracingEvents(tracePath_.c_str()));
    // The buffer full to the threshold: the requests' first event swaps.
    for (size_t i = 0; i < TraceEventRecorder::kSwapThreshold; ++i) ASSERT_TRUE(traceRecorder().record("fill", "", 'B'));
    for (int r = 0; r < kRequests; ++r) {
      const Values x = steps(128, 1, -128, 127, static_cast<uint32_t>(r));
      before = problemLines(log);
      const auto y = model->infer({arrayOf<float>({4, 4, 8}, x)}, sc);
      if (!failed("infer", sc, before, {StatusCode::Model_NotAlive})) {
        EXPECT_EQ(valuesOf(y.at(0)), x);
      }
    }
    const Values x = steps(128, 1, -128, 127, 99);
    before = problemLines(log);
    auto future = model->inferAsync({arrayOf<float>({4, 4, 8}, x)}, sc);
    if (!failed("inferAsync", sc, before, {})) {
      const auto y = future.get(sc);
      if (!failed("Future::get", sc, before, {StatusCode::Model_NotAlive})) {
        EXPECT_EQ(valuesOf(y.at(0)), x);
      }
    }
    EXPECT_EQ(model->dispose(), StatusCode::OK);
    stopTracingEvents();
    if (!clean) {
      EXPECT_GT(problemLines(log), 0u) << "a thread start failed without a line";
    }

    // Every event held when the writer was due is in the file, once.
    std::ifstream in(tracePath_);
    size_t fills = 0, events = 0;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("{\"name\":", 0) != 0) continue;
      ++events;
      fills += line.rfind("{\"name\":\"fill\"", 0) == 0;
    }
    EXPECT_EQ(fills, TraceEventRecorder::kSwapThreshold);
    EXPECT_GT(events, fills);  // and the requests'
  }

  const std::string tracePath_ =
      (std::filesystem::temp_directory_path() / ("thread_start_trace_" + std::to_string(::getpid()) + ".json"))
          .string();
};

TEST_F(ThreadStartTest, EachFailedStartOfARoundFailsItsCallCleanlyAndTheNextRoundWorks) {
  platform::failThreadStart(std::nullopt);
  round(true);
  const uint64_t starts = platform::threadStarts();
  // The reset thread, the scheduler's, the pipeline's two, the card's run
  // thread and the trace writer at the least.
  ASSERT_GE(starts, 6u);
  for (uint64_t k = 1; k <= starts; ++k) {
    SCOPED_TRACE("thread start " + std::to_string(k) + " of " + std::to_string(starts) + " fails");
    platform::failThreadStart(k);
    round(false);
    EXPECT_GE(platform::threadStarts(), k);
    platform::failThreadStart(std::nullopt);
    round(true);
  }
}

// A failed run asks for a reset; when the reset cannot start the scheduler's
// threads again, every model is dropped. A dropped model still holds its
// accelerator, so the accelerator going first must tell it: the model's
// later calls and its own dispose then touch nothing of the accelerator.
TEST_F(ThreadStartTest, ModelsAFailedResetDroppedOutliveTheirAccelerator) {
  for (const bool accFirst : {true, false}) {
    SCOPED_TRACE(accFirst ? "accelerator goes first" : "model goes first");
    simcard::detachAllCards();
    card_ = simcard::attachCard(0, {});
    StatusCode sc = StatusCode::InternalError;
    auto acc = openAcceleratorImpl(sc);
    ASSERT_TRUE(acc);
    const auto file = writeModel(testModel("identity_int8"));
    auto model = ModelImpl::create(file->path(), onCore(0, 0), sc);
    ASSERT_EQ(model->launch(acc.get()), StatusCode::OK);
    const Values x = steps(128, 1, -128, 127, 5);
    auto infer = [&] {
      std::vector<NDArray<float>> y;
      sc = model->infer({arrayOf<float>({4, 4, 8}, x)}, y, MemoryFormat::HWC, 0);
      return sc == StatusCode::OK && valuesOf(y.at(0)) == x;
    };
    EXPECT_TRUE(infer());  // the card's run thread is up

    LogCapture log;
    card_->faults().failRuns(0x10001, 1);
    platform::failThreadStart(1);  // the reset's first start: a scheduler worker
    EXPECT_FALSE(infer());
    EXPECT_EQ(sc, StatusCode::Model_NotAlive);
    for (int i = 0; i < 500 && acc->isRegistered(model.get()); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(acc->isRegistered(model.get()));
    EXPECT_EQ(log.count("Failed to reset the device; every model is disposed."), 1u);
    platform::failThreadStart(std::nullopt);

    if (accFirst) {
      acc.reset();
      EXPECT_FALSE(infer());
      EXPECT_EQ(sc, StatusCode::Model_NotLaunched);
      EXPECT_EQ(model->dispose(), StatusCode::OK);
    }
    model.reset();
    acc.reset();
    // The card serves a new accelerator and model.
    acc = openAcceleratorImpl(sc);
    ASSERT_TRUE(acc);
    model = ModelImpl::create(file->path(), onCore(0, 0), sc);
    ASSERT_EQ(model->launch(acc.get()), StatusCode::OK);
    EXPECT_TRUE(infer());
    model.reset();
  }
}

}  // namespace
}  // namespace kestrane::test
