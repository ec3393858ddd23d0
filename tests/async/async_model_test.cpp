// Asynchronous inference end to end on the simulated card: results against
// the synchronous road under many threads, the refusals, time-outs, dispose
// with pending futures, futures outliving their model, and a hung core.

#include <thread>

#include "inference_fixture.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

ModelConfig asyncOn(ModelConfig config) {
  config.setAsyncPipelineEnabled(true);
  return config;
}

// Cores first .. first + n - 1 of the eight local ones.
ModelConfig asyncCores(int n, int first = 0) {
  ModelConfig config;
  std::vector<CoreId> cores;
  for (int k = first; k < first + n; ++k)
    cores.push_back({k < 4 ? Cluster::Cluster0 : Cluster::Cluster1, static_cast<Core>(k % 4 + 1)});
  config.setSingleCoreMode(cores);
  return asyncOn(config);
}

// identity_int8 with `delayUs` of run time after the copy.
json delayedIdentity(uint32_t delayUs) {
  json model = testModel("identity_int8");
  model["bundles"][0]["section_binaries"][0]["program"] =
      json::array({"copy ddr+0x2000 ddr+0x1000 1024", "delay " + std::to_string(delayUs)});
  return model;
}

const std::vector<int64_t> kItem = {4, 4, 8};

NDArray<float> identityInput(uint32_t seed) { return arrayOf<float>(kItem, steps(128, 1, -128, 127, seed)); }

std::vector<NDArray<float>> mixedInputs(uint32_t seed) {
  return {arrayOf<float>({2, 4, 8}, steps(64, 0.5f, -60, 60, seed)),
          arrayOf<float>({2, 2, 6}, steps(24, 0.25f, -100, 100, seed + 1)),
          arrayOf<float>({1, 1, 10}, steps(10, 1, -20, 20, seed + 2)),
          arrayOf<float>({1, 2, 3}, steps(6, 0.5f, -40, 40, seed + 3))};
}

std::vector<NDArray<float>> chwOf(const std::vector<NDArray<float>>& hwc) {
  std::vector<NDArray<float>> out;
  for (const auto& a : hwc) {
    const auto& s = a.shape;
    out.push_back(arrayOf<float>({s[2], s[0], s[1]}, toCHW(valuesOf(a), 1, s[0], s[1], s[2])));
  }
  return out;
}

template <typename T>
void expectSame(const std::vector<NDArray<T>>& a, const std::vector<NDArray<T>>& b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].shape, b[i].shape) << what << " output " << i;
    EXPECT_EQ(valuesOf(a[i]), valuesOf(b[i])) << what << " output " << i;
  }
}

TEST_F(InferenceTest, AsyncResultsEqualSyncResultsUnderEightThreads) {
  Model& mixed = launch(testModel("mixed_layouts"), asyncCores(4));
  Model& identity = launch(testModel("identity_int8"), asyncCores(2, 4));
  constexpr int kThreads = 8, kRequests = 6;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Every form in flight at once, taken out in reverse order.
      struct Pending {
        std::string what;
        Future<float> f;
        Future<int8_t> i8;
        std::vector<NDArray<float>> expectF;
        std::vector<NDArray<int8_t>> expectI8;
      };
      std::vector<Pending> pending;
      for (int r = 0; r < kRequests; ++r) {
        const auto seed = static_cast<uint32_t>(t * 100 + r);
        StatusCode sc = StatusCode::InternalError, syncSc = StatusCode::InternalError;
        Pending p;
        p.what = "thread " + std::to_string(t) + " request " + std::to_string(r);
        const auto hwc = mixedInputs(seed);
        const auto x = steps(128, 1, -128, 127, seed);
        const std::vector<int8_t> bytes(x.begin(), x.end());
        // Int8 items with and without their batch of one.
        const std::vector<NDArray<int8_t>> batch{arrayOf<int8_t>({1, 4, 4, 8}, bytes)};
        const std::vector<NDArray<int8_t>> item{arrayOf<int8_t>(kItem, bytes)};
        switch (r % 4) {
          case 0:
            p.f = mixed.inferAsync(hwc, sc);
            p.expectF = mixed.infer(hwc, syncSc);
            break;
          case 1:
            p.f = mixed.inferAsyncCHW(chwOf(hwc), sc);
            p.expectF = mixed.inferCHW(chwOf(hwc), syncSc);
            break;
          case 2:
            p.i8 = identity.inferAsync(batch, sc);
            p.expectI8 = identity.infer(batch, syncSc);
            break;
          default:
            p.f = identity.inferAsyncToFloat(item, sc);
            p.expectF = identity.inferToFloat(item, syncSc);
        }
        EXPECT_EQ(sc, StatusCode::OK) << p.what;
        EXPECT_EQ(syncSc, StatusCode::OK) << p.what;
        pending.push_back(std::move(p));
      }
      for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
        StatusCode sc = StatusCode::InternalError;
        if (it->expectI8.empty()) {
          expectSame(it->f.get(sc), it->expectF, it->what);
        } else {
          expectSame(it->i8.get(sc), it->expectI8, it->what);
        }
        EXPECT_EQ(sc, StatusCode::OK) << it->what;
      }
    });
  }
  for (auto& t : threads) t.join();
}

TEST_F(InferenceTest, AsyncRequestsAreRefusedInOrder) {
  LogCapture log;
  StatusCode sc = StatusCode::InternalError;
  Model* notLaunched = create(testModel("identity_int8"), asyncCores(1));
  Future<float> refused = notLaunched->inferAsync({identityInput(1)}, sc);
  EXPECT_EQ(sc, StatusCode::Model_NotLaunched);
  refused.get(sc);
  EXPECT_EQ(sc, StatusCode::Future_NotValid);
  EXPECT_FALSE(refused.waitFor(0));

  Model& plain = launch(testModel("identity_int8"), onCore(0, 1));
  plain.inferAsync({identityInput(1)}, sc);
  EXPECT_EQ(sc, StatusCode::Model_AsyncPipelineNotAlive);
  EXPECT_EQ(log.count("Async pipeline is not enabled. To use `Model::inferAsync` family"), 1u);

  Model& model = launch(testModel("identity_int8"), asyncCores(1, 2));
  model.inferAsync({arrayOf<float>({4, 4, 9}, Values(144))}, sc);
  EXPECT_EQ(sc, StatusCode::Model_ShapeMismatched);
  model.inferAsync({arrayOf<float>({2, 4, 4, 8}, Values(256))}, sc);
  EXPECT_EQ(sc, StatusCode::NotImplemented);
  EXPECT_EQ(log.count("Batched inference is not supported for inferAsync"), 1u);
  NDArray<float> short_ = identityInput(1);
  short_.num_elements = 100;
  model.inferAsync({short_}, sc);
  EXPECT_EQ(sc, StatusCode::Model_ShapeMismatched);
  // Sequence lengths and RmemId values do not travel with asynchronous tasks.
  Model& sequence = launch(testModel("sequence_cache"), asyncCores(1, 3));
  sequence.inferAsync({arrayOf<int8_t>({1, 1, 16}, std::vector<int8_t>(16))}, sc);
  EXPECT_EQ(sc, StatusCode::NotImplemented);
  EXPECT_EQ(log.count("Asynchronous inference is not supported for a model variant with sequence lengths"), 1u);

  // A second get, also after a failed first one.
  Future<float> once = model.inferAsync({identityInput(2)}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(valuesOf(once.get(sc).at(0)), steps(128, 1, -128, 127, 2));
  EXPECT_TRUE(once.get(sc).empty());
  EXPECT_EQ(sc, StatusCode::Future_NotValid);
}

TEST_F(InferenceTest, AsyncWaitsAreBoundedAndLeaveResultsCollectable) {
  Model& model = launch(delayedIdentity(600000), asyncCores(1));
  StatusCode sc = StatusCode::InternalError;
  Future<float> future = model.inferAsync({identityInput(3)}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_FALSE(future.waitFor(0));
  EXPECT_FALSE(future.waitFor(20));
  EXPECT_TRUE(future.waitFor(5000));
  EXPECT_TRUE(future.waitFor(0));
  EXPECT_EQ(valuesOf(future.get(sc).at(0)), steps(128, 1, -128, 127, 3));
  EXPECT_EQ(sc, StatusCode::OK);
}

TEST_F(InferenceTest, DisposeAnswersPendingFuturesAndFuturesOutliveTheirModel) {
  Model& model = launch(delayedIdentity(500000), asyncCores(2));
  StatusCode sc = StatusCode::InternalError;
  Future<float> done = model.inferAsync({identityInput(4)}, sc);
  ASSERT_TRUE(done.waitFor(5000));
  std::vector<Future<float>> pending;
  for (uint32_t k = 0; k < 4; ++k) {
    pending.push_back(model.inferAsync({identityInput(10 + k)}, sc));
    ASSERT_EQ(sc, StatusCode::OK);
  }
  LogCapture log;
  EXPECT_EQ(model.dispose(), StatusCode::OK);
  // The queued jobs still ran on the way out; nobody could take their outputs.
  EXPECT_EQ(log.count("Maybe AsyncModel was disposed prematurely."), 4u);
  for (auto& f : pending) {
    f.get(sc);
    EXPECT_EQ(sc, StatusCode::Model_AsyncPipelineNotAlive);
  }
  // A job that had finished keeps its outputs.
  EXPECT_EQ(valuesOf(done.get(sc).at(0)), steps(128, 1, -128, 127, 4));
  model.inferAsync({identityInput(5)}, sc);
  EXPECT_EQ(sc, StatusCode::Model_NotLaunched);

  // Launched again, with a new pipeline. The accelerator going first
  // disposes the model, and the futures outlive the model.
  ASSERT_EQ(model.launch(accelerator()), StatusCode::OK);
  Future<float> late = model.inferAsync({identityInput(6)}, sc);
  Future<float> finished = model.inferAsync({identityInput(7)}, sc);
  ASSERT_TRUE(finished.waitFor(5000));
  ASSERT_TRUE(late.waitFor(5000));
  Future<float> orphan = model.inferAsync({identityInput(8)}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  acc_.reset();
  models_.clear();
  orphan.get(sc);
  EXPECT_EQ(sc, StatusCode::Model_AsyncPipelineNotAlive);
  EXPECT_EQ(valuesOf(finished.get(sc).at(0)), steps(128, 1, -128, 127, 7));
  EXPECT_EQ(valuesOf(late.get(sc).at(0)), steps(128, 1, -128, 127, 6));
}

TEST_F(InferenceTest, HungCoreFailsOnlyTheHungJob) {
  seams::setWatchdogTimes({200000000ull, 300000000ull, 300000000ull});
  Model& model = launch(testModel("identity_int8"), asyncCores(1));
  card_->faults().hangRuns(0x10001);
  StatusCode sc = StatusCode::InternalError;
  std::vector<Future<float>> futures;
  for (uint32_t k = 0; k < 4; ++k) {
    futures.push_back(model.inferAsync({identityInput(20 + k)}, sc));
    ASSERT_EQ(sc, StatusCode::OK);
  }
  futures[0].get(sc);
  EXPECT_EQ(sc, StatusCode::Model_AsyncPipelineNotAlive);
  for (uint32_t k = 1; k < 4; ++k) {
    EXPECT_EQ(valuesOf(futures[k].get(sc).at(0)), steps(128, 1, -128, 127, 20 + k));
    EXPECT_EQ(sc, StatusCode::OK);
  }
  EXPECT_EQ(card_->stats().resetsByCore[0x10001], 1u);
}

}  // namespace
}  // namespace kestrane::test
