// The job manager: collection, polling, failures, time-outs and close, with
// the fulfilling side on other threads.

#include "async/async_infer_job_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <thread>

#include "halvex/free_functions.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

using namespace std::chrono_literals;
using Tensors = std::vector<halvex::Tensor>;
constexpr StatusCode kNotAlive = StatusCode::Model_AsyncPipelineNotAlive;

Tensors outputsOf(float value) { return {halvex::full({2, 3}, value), halvex::full({4}, value + 1)}; }

uint32_t newJob(AsyncInferJobManager& manager) {
  uint32_t id = 99;
  EXPECT_EQ(manager.createJob(id), StatusCode::OK);
  return id;
}

TEST(ClosableMap, HandsOutEntriesUntilClosedAndWakesWaitersOnClose) {
  ClosableMap<std::vector<int>> map;
  std::vector<int> value{1, 2}, out;
  EXPECT_EQ(map.put(3, std::vector<int>{0}), MapResult::Ok);
  EXPECT_EQ(map.put(3, std::move(value)), MapResult::Ok);  // replaces
  EXPECT_EQ(map.take(4, out, 0), MapResult::TimedOut);
  std::thread closer([&] {
    std::this_thread::sleep_for(20ms);
    map.close();
  });
  // The longest time-out saturates; close ends the wait.
  EXPECT_EQ(map.take(5, out, std::numeric_limits<int64_t>::max()), MapResult::Closed);
  closer.join();
  std::vector<int> refused{7};
  EXPECT_EQ(map.put(6, std::move(refused)), MapResult::Closed);
  EXPECT_EQ(refused, std::vector<int>{7});  // left with the caller
  EXPECT_EQ(map.take(3, out, 0), MapResult::Ok);  // present entries survive close
  EXPECT_EQ(out, (std::vector<int>{1, 2}));
}

TEST(AsyncInferJobManager, CollectsOutputsFulfilledOnAnotherThread) {
  AsyncInferJobManager manager;
  EXPECT_EQ(newJob(manager), 0u);
  const uint32_t id = newJob(manager);
  EXPECT_EQ(id, 1u);
  Tensors outputs = outputsOf(1.5f);
  const void* storage = outputs[0].data();
  std::thread pipeline([&] {
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(manager.setOutputs(id, std::move(outputs)), StatusCode::OK);
  });
  Tensors got;
  EXPECT_EQ(manager.getOutput(id, got, AsyncInferJobManager::kWaitMs), StatusCode::OK);
  pipeline.join();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].data(), storage);
  EXPECT_EQ(got[1].shape(), std::vector<int64_t>{4});
  EXPECT_EQ(manager.getOutput(id, got, 0), kNotAlive);  // collected once
}

TEST(AsyncInferJobManager, FailedJobYieldsItsStatusWithoutOutputs) {
  AsyncInferJobManager manager;
  const uint32_t failed = newJob(manager), okAsError = newJob(manager);
  EXPECT_EQ(manager.setError(failed, StatusCode::Model_ShapeMismatched), StatusCode::OK);
  EXPECT_EQ(manager.setError(okAsError, StatusCode::OK), StatusCode::OK);
  Tensors got = outputsOf(0);
  EXPECT_EQ(manager.getOutput(failed, got, 1000), StatusCode::Model_ShapeMismatched);
  EXPECT_EQ(got.size(), 2u);  // untouched
  EXPECT_EQ(manager.getOutput(okAsError, got, 1000), StatusCode::InternalError);
}

TEST(AsyncInferJobManager, ZeroTimeOutGivesTimeoutAndTheJobIsGone) {
  AsyncInferJobManager manager;
  const uint32_t id = newJob(manager);
  LogCapture log;
  Tensors got;
  EXPECT_EQ(manager.getOutput(id, got, 0), StatusCode::Model_AsyncPipelineTimeout);
  EXPECT_EQ(log.count("Timeout occurred after waiting 0 milliseconds for done_future."), 1u);
  EXPECT_EQ(manager.setOutputs(id, outputsOf(2)), StatusCode::OK);
  EXPECT_EQ(manager.getOutput(id, got, 0), kNotAlive);
}

TEST(AsyncInferJobManager, WaitForLeavesTheJobCollectable) {
  AsyncInferJobManager manager;
  const uint32_t id = newJob(manager);
  EXPECT_FALSE(manager.waitFor(id, 0));
  EXPECT_EQ(manager.setOutputs(id, outputsOf(3)), StatusCode::OK);
  EXPECT_TRUE(manager.waitFor(id, 0));
  Tensors got;
  EXPECT_EQ(manager.getOutput(id, got, 0), StatusCode::OK);
  EXPECT_EQ(got.size(), 2u);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(manager.waitFor(1234, 50));  // never created: waits for it to appear
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
}

TEST(AsyncInferJobManager, CloseReleasesPendingJobsAndRefusesNewOnes) {
  AsyncInferJobManager manager;
  const uint32_t done = newJob(manager);
  EXPECT_EQ(manager.setOutputs(done, outputsOf(4)), StatusCode::OK);
  const uint32_t pending[] = {newJob(manager), newJob(manager), newJob(manager)};
  std::vector<std::thread> callers;
  StatusCode results[3] = {StatusCode::OK, StatusCode::OK, StatusCode::OK};
  for (int i = 0; i < 3; ++i) {
    callers.emplace_back([&, i] {
      Tensors got;
      results[i] = manager.getOutput(pending[i], got, AsyncInferJobManager::kWaitMs);
    });
  }
  std::this_thread::sleep_for(20ms);
  const auto start = std::chrono::steady_clock::now();
  manager.close();
  for (std::thread& t : callers) t.join();
  // Promptly: far from the callers' 11 s time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  for (StatusCode s : results) EXPECT_EQ(s, kNotAlive);
  EXPECT_EQ(manager.setOutputs(pending[0], outputsOf(5)), kNotAlive);
  EXPECT_EQ(manager.setError(pending[1], StatusCode::InternalError), kNotAlive);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  uint32_t id = 0;
  EXPECT_EQ(manager.createJob(id), kNotAlive);
  // The job that finished before close is still there, also after polling.
  EXPECT_TRUE(manager.waitFor(done, 0));
  Tensors got;
  EXPECT_EQ(manager.getOutput(done, got, 0), StatusCode::OK);
  EXPECT_EQ(got.size(), 2u);
}

// Submitters, a fulfilling thread and collectors at once, closed half-way:
// every job ends as OK with its own outputs or as NotAlive, none hangs.
TEST(AsyncInferJobManager, ConcurrentJobsAndCloseRace) {
  constexpr int kThreads = 4, kJobs = 50;
  AsyncInferJobManager manager;
  std::atomic<int> collected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int j = 0; j < kJobs; ++j) {
        uint32_t id = 0;
        if (manager.createJob(id) != StatusCode::OK) continue;
        std::thread fulfil([&manager, id] { manager.setOutputs(id, outputsOf(static_cast<float>(id))); });
        Tensors got;
        const StatusCode s = manager.getOutput(id, got, AsyncInferJobManager::kWaitMs);
        fulfil.join();
        ++collected;
        if (s == StatusCode::OK) {
          EXPECT_EQ(*reinterpret_cast<const float*>(got[0].basePtr()), static_cast<float>(id));
        } else {
          EXPECT_EQ(s, kNotAlive) << t;
        }
      }
    });
  }
  while (collected < kThreads * kJobs / 4) std::this_thread::yield();
  manager.close();
  for (std::thread& t : threads) t.join();
}

}  // namespace
}  // namespace kestrane::test
