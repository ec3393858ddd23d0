// Every host allocation of one round of use made to fail in turn, each
// operator new and then each allocation of the C library's malloc family
// (where the build counts it: not under ASan or TSan): each call
// that fails returns a status and logs a line (or the driver prints one),
// none throws, ends the process or hangs, no core stays claimed, and a round
// after it with nothing failing works. A round opens an accelerator, creates,
// launches and uses one model (host layers; a bundle reloaded before every
// run, through the buffer and asynchronous forms too; caches dumped and
// loaded as lists and as files), summarises its file, disposes it and lets
// the accelerator go.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "inference_fixture.h"
#include "kestrane/summary.h"
#include "support/alloc_failure.h"
#include "support/log_capture.h"
#include "support/sweep_support.h"

namespace kestrane::test {
namespace {

namespace fs = std::filesystem;

size_t problemLines(const LogCapture& log) { return log.count("error|") + log.count("warning|"); }

enum class Use { HostLayers, Reloaded, Caches };

// What one step of a round gave: its status and what it returned, to be
// compared with the round in which nothing failed.
struct Outcome {
  StatusCode status = StatusCode::OK;
  std::vector<std::vector<float>> values;
};

class MemoryFailureTest : public InferenceTest, public ::testing::WithParamInterface<Use> {
 protected:
  enum class Mode { Record, Clean, Failing };

  void SetUp() override {
    InferenceTest::SetUp();
    dir_ = fs::temp_directory_path() / ("memory_failure_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    file_ = writeModel(testModel(GetParam() == Use::HostLayers ? "cpu_layers"
                                 : GetParam() == Use::Reloaded ? "two_variants"
                                                               : "sequence_cache"));
    config_ = onCore(0, 0);
    config_.setAsyncPipelineEnabled(GetParam() == Use::Reloaded);
    if (GetParam() == Use::Caches) {
      cacheSize_ = 2;
      seqlens_ = {{3, 1, 1}};
    }
  }
  void TearDown() override {
    failAllocation(std::nullopt);
    fs::remove_all(dir_);
    InferenceTest::TearDown();
  }

  // What the clean round gives for a step: host-layer models refuse the
  // buffer form, and only the reloaded bundle's model has the asynchronous
  // pipeline (the others refuse it, which is a call too).
  StatusCode expectedStatus(const std::string& step) const {
    if (GetParam() == Use::HostLayers && step == "buffers") return StatusCode::Model_DtypeMismatched;
    if (GetParam() != Use::Reloaded && step == "Model::inferAsync") return StatusCode::Model_AsyncPipelineNotAlive;
    return StatusCode::OK;
  }

  // One round. Record: nothing fails, each step's outcome goes into
  // `reference`. Clean: nothing fails, each step gives what the reference
  // holds. Failing: each step gives that, or fails with a status and a line.
  void round(std::map<std::string, Outcome>& reference, Mode mode) {
    const LogCapture log;
    std::map<std::string, int> taken;  // steps of one name, told apart by their count
    // Runs `call` with allocations counted, then `collect` (the test's own
    // reading of the results) without; true when the step gave what the
    // reference holds.
    auto run = [&](const char* what, const std::function<StatusCode()>& call,
                   const std::function<void(Outcome&)>& collect = nullptr) {
      Outcome got;
      std::string thrown;
      const size_t before = problemLines(log);
      ::testing::internal::CaptureStdout();  // the driver's lines
      {
        const CountedAllocations counted;
        try {
          got.status = call();
        } catch (const std::exception& e) {
          thrown = e.what();
        } catch (...) {
          thrown = "an exception";
        }
      }
      const bool driverLine = ::testing::internal::GetCapturedStdout().find("*E:") != std::string::npos;
      const std::string key = what + ("#" + std::to_string(taken[what]++));
      if (!thrown.empty()) {
        ADD_FAILURE() << what << " threw " << thrown;
        return false;
      }
      if (collect && got.status == StatusCode::OK) collect(got);
      if (mode == Mode::Record) {
        EXPECT_EQ(statusCodeName(got.status), statusCodeName(expectedStatus(what))) << what;
        reference[key] = got;
        return true;
      }
      auto it = reference.find(key);
      if (it == reference.end()) {
        ADD_FAILURE() << what << " is a step the clean round did not take";
        return false;
      }
      if (got.status == it->second.status) {
        EXPECT_EQ(got.values, it->second.values) << what << " gave other results";
        return true;
      }
      EXPECT_NE(mode, Mode::Clean) << what << " failed with " << statusCodeName(got.status)
                                   << " in a round where nothing failed";
      EXPECT_NE(got.status, StatusCode::OK) << what << " succeeded where the clean round did not";
      EXPECT_NE(got.status, StatusCode::Model_BrokenZRB) << what << ": no memory is not a broken file";
      EXPECT_NE(got.status, StatusCode::Model_FailedToLoadZRB) << what << ": no memory is not a broken file";
      EXPECT_NE(got.status, StatusCode::Model_PredictError) << what << ": no memory is not a failed layer";
      EXPECT_NE(got.status, StatusCode::Model_NotAlive) << what << ": no memory is not a failed task";
      EXPECT_NE(got.status, StatusCode::Model_AsyncPipelineTimeout) << what << ": no memory is answered at once";
      // InternalError stands for memory only where a thread could not be
      // started (an empty summary is this test's InternalError).
      EXPECT_TRUE(got.status != StatusCode::InternalError || log.count("to start the") > 0 ||
                  std::string(what) == "getModelSummary")
          << what << ": no memory is not an internal error";
      // The one failure reported without a line: no host memory for a
      // request's result arrays.
      const bool resultArrays = got.status == StatusCode::BadAlloc &&
                                std::any_of(it->second.values.begin(), it->second.values.end(), [](const auto& v) {
                                  return v.size() * sizeof(float) == failedAllocationBytes();
                                });
      EXPECT_TRUE(driverLine || problemLines(log) > before || resultArrays)
          << what << " failed with " << statusCodeName(got.status) << " without a line";
      return false;
    };

    std::unique_ptr<Accelerator> acc;
    std::unique_ptr<Model> model;
    // Whatever happened: the model and the accelerator go, and no core stays claimed.
    auto end = [&] {
      run("Model::~Model", [&] {
        model.reset();
        return StatusCode::OK;
      });
      run("Accelerator::~Accelerator", [&] {
        acc.reset();
        return StatusCode::OK;
      });
      EXPECT_TRUE(card_->claimedCores().empty()) << "a core stays claimed";
    };

    StatusCode sc = StatusCode::InternalError;
    if (!run("Accelerator::create", [&] {
          acc = Accelerator::create(0, sc);
          return sc;
        }))
      return end();
    if (!run("Model::create", [&] {
          model = Model::create(file_->path(), config_, sc);
          return sc;
        }))
      return end();
    if (!run("Model::launch", [&] { return model->launch(*acc); })) {
      EXPECT_TRUE(card_->claimedCores().empty()) << "a launch that failed keeps its cores";
      return end();
    }

    for (const auto& [shape, values] : inputs_) {
      const std::vector<NDArray<float>> x{arrayOf<float>(shape, values)};
      std::vector<NDArray<float>> y;
      run(
          "Model::infer", [&] { return model->infer(x, y, cacheSize_); },
          [&](Outcome& o) {
            for (const auto& a : y) o.values.push_back(valuesOf(a));
          });
    }

    // One item of the first request, on buffers and asynchronously.
    const auto& [shape, values] = inputs_.front();
    const size_t items = shape.size() == 4 ? static_cast<size_t>(shape[0]) : 1;
    const std::vector<int64_t> itemShape(shape.end() - 3, shape.end());
    const Values itemValues(values.begin(), values.begin() + static_cast<long>(values.size() / items));
    const std::vector<NDArray<float>> item{arrayOf<float>(itemShape, itemValues)};
    Values y(itemValues.size());
    std::vector<float*> into{y.data()};
    const std::vector<float*> from{const_cast<float*>(itemValues.data())};
    const Model::Shapes shapes{itemShape};
    std::vector<Buffer> in, out;
    run(
        "buffers",
        [&] {
          in = model->acquireInputBuffer(seqlens_);
          out = model->acquireOutputBuffer(seqlens_);
          StatusCode status = model->repositionInputs(from, in, seqlens_);
          if (status == StatusCode::OK) status = model->inferBuffer(in, out, shapes, cacheSize_);
          if (status == StatusCode::OK) status = model->repositionOutputs(out, into, seqlens_);
          const StatusCode released = model->releaseBuffer(in), releasedOut = model->releaseBuffer(out);
          if (status == StatusCode::OK) status = released != StatusCode::OK ? released : releasedOut;
          return status;
        },
        [&](Outcome& o) { o.values.push_back(y); });
    std::vector<NDArray<float>> asyncResult;
    run(
        "Model::inferAsync",
        [&] {
          auto future = model->inferAsync(item, sc);
          if (sc != StatusCode::OK) return sc;
          asyncResult = future.get(sc);
          return sc;
        },
        [&](Outcome& o) {
          for (const auto& a : asyncResult) o.values.push_back(valuesOf(a));
        });

    if (GetParam() == Use::Caches) {
      std::vector<std::vector<int8_t>> areas;
      const std::string dir = dir_.string();
      run(
          "Model::dumpCacheMemory (lists)",
          [&] {
            areas = model->dumpCacheMemory(sc);
            return sc;
          },
          [&](Outcome& o) {
            for (const auto& a : areas) o.values.emplace_back(a.begin(), a.end());
          });
      run("Model::loadCacheMemory (lists)", [&] { return model->loadCacheMemory(areas); });
      run("Model::dumpCacheMemory (folder)", [&] { return model->dumpCacheMemory(dir); });
      run("Model::loadCacheMemory (folder)", [&] { return model->loadCacheMemory(dir); });
    }
    std::string summary;
    run(
        "getModelSummary",
        [&] {
          summary = getModelSummary(file_->path());
          return summary.empty() ? StatusCode::InternalError : StatusCode::OK;
        },
        [&](Outcome& o) { o.values.push_back({static_cast<float>(summary.size())}); });
    run("Model::dispose", [&] { return model->dispose(); });
    EXPECT_TRUE(card_->claimedCores().empty()) << "a disposed model keeps its cores";
    end();
  }

  // The requests' inputs, by shape.
  using Inputs = std::vector<std::pair<std::vector<int64_t>, Values>>;
  const Inputs inputs_ =
      GetParam() == Use::HostLayers ? Inputs{{{2, 2, 2, 4}, steps(32, 0.5f, -20, 20, 16)}}
      : GetParam() == Use::Reloaded
          ? Inputs{{{2, 1, 1, 16}, steps(32, 1, -100, 100, 6)}, {{1, 1, 32}, steps(32, 1, -100, 100, 7)}}
          : Inputs{{{3, 1, 16}, steps(48, 1, -100, 100, 8)}};
  std::unique_ptr<TempModelFile> file_;
  ModelConfig config_;
  uint32_t cacheSize_ = 0;
  std::vector<std::vector<int>> seqlens_;
  fs::path dir_;
};

TEST_P(MemoryFailureTest, EachFailedAllocationOfARoundFailsItsCallCleanlyAndTheNextRoundWorks) {
  const QuietConsole quiet;
  std::map<std::string, Outcome> reference;
  failAllocation(std::nullopt);
  {
    const HangGuard guard("the round without failures", std::chrono::minutes(1));
    round(reference, Mode::Record);
  }
  const uint64_t news = countedAllocations(AllocFamily::New), mallocs = countedAllocations(AllocFamily::Malloc);
  ASSERT_GT(news, 0u);
  ASSERT_EQ(mallocs > 0, mallocFamilyCounted());
  round(reference, Mode::Clean);  // the same each time
  for (const auto& [family, total, name] : {std::tuple{AllocFamily::New, news, "operator new"},
                                            std::tuple{AllocFamily::Malloc, mallocs, "malloc-family allocation"}}) {
    for (uint64_t k = 1; k <= total && !HasFailure(); k += sweepStride(total)) {
      const std::string label = std::string(name) + " " + std::to_string(k) + " of " + std::to_string(total) + " fails";
      SCOPED_TRACE(label);
      const HangGuard guard(label, std::chrono::minutes(1));
      failAllocation(k, family);
      round(reference, Mode::Failing);
      failAllocation(std::nullopt);
      round(reference, Mode::Clean);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rounds, MemoryFailureTest, ::testing::Values(Use::HostLayers, Use::Reloaded, Use::Caches),
                         [](const auto& info) {
                           return info.param == Use::HostLayers ? "HostLayers"
                                  : info.param == Use::Reloaded ? "ReloadedBundle"
                                                                : "Caches";
                         });

}  // namespace
}  // namespace kestrane::test
