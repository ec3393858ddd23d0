// Futures over a job manager that test threads fulfil in place of the
// pipeline: collection, refusals, the destructor's collection, moves, and
// futures that outlive their pipeline.

#include "kestrane/future.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "async/future_impl.h"
#include "halvex/free_functions.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

using namespace std::chrono_literals;
using Manager = std::shared_ptr<AsyncInferJobManager>;

template <typename T>
Future<T> futureOf(const Manager& manager, uint32_t& id) {
  EXPECT_EQ(manager->createJob(id), StatusCode::OK);
  return Future<T>(std::make_unique<FutureImpl<T>>(id, manager));
}

std::vector<halvex::Tensor> outputsOf(float value) { return {halvex::full({1, 2}, value), halvex::full({3}, value)}; }

TEST(Future, GetHandsOverOutputsOnceSharingTheirStorage) {
  auto manager = std::make_shared<AsyncInferJobManager>();
  uint32_t id = 0, failed = 0;
  Future<float> future = futureOf<float>(manager, id);
  auto outputs = outputsOf(2.5f);
  const void* storage = outputs[1].data();
  std::thread pipeline([&] {
    std::this_thread::sleep_for(20ms);
    manager->setOutputs(id, std::move(outputs));
  });
  StatusCode status = StatusCode::InternalError;
  const std::vector<NDArray<float>> arrays = future.get(status);
  pipeline.join();
  EXPECT_EQ(status, StatusCode::OK);
  ASSERT_EQ(arrays.size(), 2u);
  EXPECT_EQ(arrays[0].shape, (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(arrays[1].ptr(), storage);
  EXPECT_EQ(arrays[0].ptr()[1], 2.5f);

  LogCapture log;
  EXPECT_TRUE(future.get(status).empty());
  EXPECT_EQ(status, StatusCode::Future_NotValid);
  EXPECT_EQ(log.count("`Future::get` was called with an invalid future."), 1u);
  EXPECT_FALSE(future.waitFor(0));
  EXPECT_EQ(log.count("`Future::waitFor` was called with an invalid future."), 1u);

  // A failed get spends the future too.
  Future<int8_t> failing = futureOf<int8_t>(manager, failed);
  EXPECT_FALSE(failing.waitFor(0));
  manager->setError(failed, StatusCode::Model_ShapeMismatched);
  EXPECT_TRUE(failing.waitFor(1000));
  failing.get(status);
  EXPECT_EQ(status, StatusCode::Model_ShapeMismatched);
  failing.get(status);
  EXPECT_EQ(status, StatusCode::Future_NotValid);
  // Outputs of the wrong type are refused, not handed out empty.
  Future<int8_t> wrongType = futureOf<int8_t>(manager, id);
  manager->setOutputs(id, outputsOf(1));
  wrongType.get(status);
  EXPECT_EQ(status, StatusCode::InternalError);
}

TEST(Future, DestructorCollectsTheJobAndMoveAssignmentReleasesIt) {
  auto manager = std::make_shared<AsyncInferJobManager>();
  uint32_t first = 0, second = 0;
  LogCapture log;
  {
    Future<float> future = futureOf<float>(manager, first);
    Future<float> other = futureOf<float>(manager, second);
    std::thread pipeline([&] {
      std::this_thread::sleep_for(20ms);
      manager->setOutputs(first, outputsOf(1));
      manager->setOutputs(second, outputsOf(2));
    });
    future = std::move(other);  // lets go of the first job without waiting
    Future<float> moved(std::move(future));
    pipeline.join();
    StatusCode status = StatusCode::OK;
    Future<float> never;
    for (Future<float>* spent : {&other, &future, &never}) {
      spent->get(status);
      EXPECT_EQ(status, StatusCode::Future_NotValid);
    }
    EXPECT_TRUE(moved.waitFor(1000));
  }  // `moved` collects the second job
  EXPECT_EQ(log.count("Future is being destroyed before its output is retrieved."), 1u);
  // Nobody can collect the first job: its outputs were freed on arrival.
  EXPECT_EQ(manager->storedOutputs(), 0u);
  std::vector<halvex::Tensor> left;
  EXPECT_EQ(manager->getOutput(first, left, 0), StatusCode::Model_AsyncPipelineNotAlive);
  EXPECT_EQ(manager->getOutput(second, left, 0), StatusCode::Model_AsyncPipelineNotAlive);
}

// The pipeline closes its manager and lets go of it; the futures keep it.
TEST(Future, OutlivesItsPipeline) {
  auto manager = std::make_shared<AsyncInferJobManager>();
  uint32_t doneId = 0, pendingId = 0;
  Future<float> done = futureOf<float>(manager, doneId);
  Future<float> pending = futureOf<float>(manager, pendingId);
  Future<float> dropped = futureOf<float>(manager, pendingId);
  manager->setOutputs(doneId, outputsOf(3));
  manager->close();
  manager.reset();
  StatusCode status = StatusCode::OK;
  pending.get(status);
  EXPECT_EQ(status, StatusCode::Model_AsyncPipelineNotAlive);
  EXPECT_EQ(done.get(status).size(), 2u);
  EXPECT_EQ(status, StatusCode::OK);
}  // `dropped` collects from the closed manager without waiting

// Eight callers with their own futures, each job fulfilled on its own
// thread, and the manager closed half-way: every job ends with its own
// outputs or NotAlive, none hangs.
TEST(Future, ManyCallersAndCloseRace) {
  constexpr int kThreads = 8, kJobs = 40;
  auto manager = std::make_shared<AsyncInferJobManager>();
  std::atomic<int> collected{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&] {
      for (int j = 0; j < kJobs; ++j) {
        uint32_t id = 0;
        if (manager->createJob(id) != StatusCode::OK) continue;
        Future<float> future(std::make_unique<FutureImpl<float>>(id, manager));
        std::thread pipeline([&manager, id] { manager->setOutputs(id, outputsOf(static_cast<float>(id))); });
        StatusCode status = StatusCode::InternalError;
        const auto arrays = future.get(status);
        pipeline.join();
        ++collected;
        if (status == StatusCode::OK) {
          EXPECT_EQ(arrays[1].ptr()[2], static_cast<float>(id));
        } else {
          EXPECT_EQ(status, StatusCode::Model_AsyncPipelineNotAlive);
        }
      }
    });
  }
  while (collected < kThreads * kJobs / 4) std::this_thread::yield();
  manager->close();
  for (std::thread& t : callers) t.join();
}

}  // namespace
}  // namespace kestrane::test
