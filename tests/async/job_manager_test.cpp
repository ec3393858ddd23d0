// The job manager and its maps: collection, polling, failures, time-outs and
// close, with the fulfilling side on other threads.

#include "async/async_infer_job_manager.h"

#include <gtest/gtest.h>

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

Tensors outputsOf(float value) { return {halvex::full({2, 3}, value), halvex::full({4}, value)}; }

uint32_t newJob(AsyncInferJobManager& manager) {
  uint32_t id = 99;
  EXPECT_EQ(manager.createJob(id), StatusCode::OK);
  return id;
}

TEST(ClosableMap, HandsOutEntriesUntilClosedAndWakesWaitersOnClose) {
  ClosableMap<std::vector<int>> map;
  std::vector<int> out;
  EXPECT_EQ(map.put(3, std::vector<int>{0}), MapResult::Ok);
  EXPECT_EQ(map.put(3, std::vector<int>{1, 2}), MapResult::Ok);  // replaces
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
  EXPECT_EQ(refused, std::vector<int>{7});        // left with the caller
  EXPECT_EQ(map.take(3, out, 0), MapResult::Ok);  // present entries survive close
  EXPECT_EQ(out, (std::vector<int>{1, 2}));
}

TEST(AsyncInferJobManager, CollectsOutputsOrTheFailureOnce) {
  AsyncInferJobManager manager;
  EXPECT_EQ(newJob(manager), 0u);
  const uint32_t id = newJob(manager), failed = newJob(manager), okAsError = newJob(manager);
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
  EXPECT_EQ(manager.getOutput(id, got, 0), kNotAlive);  // collected once

  EXPECT_EQ(manager.setError(failed, StatusCode::Model_ShapeMismatched), StatusCode::OK);
  EXPECT_EQ(manager.setError(okAsError, StatusCode::OK), StatusCode::OK);
  EXPECT_EQ(manager.getOutput(failed, got, 1000), StatusCode::Model_ShapeMismatched);
  EXPECT_EQ(got.size(), 2u);  // untouched
  EXPECT_EQ(manager.getOutput(okAsError, got, 1000), StatusCode::InternalError);
}

TEST(AsyncInferJobManager, TimeOutsAndPolling) {
  AsyncInferJobManager manager;
  const uint32_t lost = newJob(manager), polled = newJob(manager);
  LogCapture log;
  Tensors got;
  EXPECT_EQ(manager.getOutput(lost, got, 0), StatusCode::Model_AsyncPipelineTimeout);
  EXPECT_EQ(log.count("Timeout occurred after waiting 0 milliseconds for done_future."), 1u);
  EXPECT_EQ(manager.setOutputs(lost, outputsOf(2)), StatusCode::OK);
  EXPECT_EQ(manager.getOutput(lost, got, 0), kNotAlive);  // no longer collectable

  EXPECT_FALSE(manager.waitFor(polled, 0));
  EXPECT_EQ(manager.setOutputs(polled, outputsOf(3)), StatusCode::OK);
  EXPECT_TRUE(manager.waitFor(polled, 0));
  EXPECT_EQ(manager.getOutput(polled, got, 0), StatusCode::OK);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(manager.waitFor(1234, 50));  // never created: waits for it to appear
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
}

TEST(AsyncInferJobManager, CloseReleasesPendingJobsAndRefusesNewOnes) {
  AsyncInferJobManager manager;
  const uint32_t done = newJob(manager), polled = newJob(manager);
  EXPECT_EQ(manager.setOutputs(done, outputsOf(4)), StatusCode::OK);
  EXPECT_EQ(manager.setOutputs(polled, outputsOf(6)), StatusCode::OK);
  const uint32_t pending[] = {newJob(manager), newJob(manager), newJob(manager)};
  StatusCode results[3] = {StatusCode::OK, StatusCode::OK, StatusCode::OK};
  std::vector<std::thread> callers;
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
  for (StatusCode s : results) EXPECT_EQ(s, kNotAlive);
  EXPECT_EQ(manager.setOutputs(pending[0], outputsOf(5)), kNotAlive);
  EXPECT_EQ(manager.setError(pending[1], StatusCode::InternalError), kNotAlive);
  // Promptly: far from the 11 s waits of the callers and of the fulfillers.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  uint32_t id = 0;
  EXPECT_EQ(manager.createJob(id), kNotAlive);
  // A job that finished before close is still there; polling one cannot
  // put its done future back into the closed map: it is dropped, outputs
  // and all.
  Tensors got;
  EXPECT_EQ(manager.getOutput(done, got, 0), StatusCode::OK);
  LogCapture log;
  EXPECT_TRUE(manager.waitFor(polled, 0));
  EXPECT_EQ(log.count("warning|Failed to put done_future back to JobIdFutureMap in AsyncInferJobManager::waitFor. "
                      "The map was closed."),
            1u);
  EXPECT_EQ(manager.storedOutputs(), 0u);
  EXPECT_EQ(manager.getOutput(polled, got, 0), kNotAlive);
}

// Outputs nobody can collect any more (the done future timed out, or was
// let go of) are freed: at once when stored, else when they arrive. A job
// that ends without outputs leaves nothing behind.
TEST(AsyncInferJobManager, UncollectableOutputsAreFreed) {
  AsyncInferJobManager manager;
  const uint32_t timedOut = newJob(manager), stored = newJob(manager), released = newJob(manager),
                 failed = newJob(manager);
  Tensors got, kept = outputsOf(1);
  const std::weak_ptr<void> storage = kept[0].owner();
  EXPECT_EQ(manager.getOutput(timedOut, got, 0), StatusCode::Model_AsyncPipelineTimeout);
  EXPECT_EQ(manager.droppedJobs(), 1u);
  EXPECT_EQ(manager.setOutputs(timedOut, std::move(kept)), StatusCode::OK);
  EXPECT_TRUE(storage.expired());
  EXPECT_EQ(manager.setOutputs(stored, outputsOf(2)), StatusCode::OK);
  manager.release(stored);
  manager.release(released);
  manager.release(failed);
  EXPECT_EQ(manager.storedOutputs(), 0u);
  EXPECT_EQ(manager.setError(failed, StatusCode::Model_NotAlive), StatusCode::OK);
  EXPECT_EQ(manager.droppedJobs(), 1u);  // `released` still runs
  EXPECT_EQ(manager.setOutputs(released, outputsOf(3)), StatusCode::OK);
  EXPECT_EQ(manager.storedOutputs(), 0u);
  EXPECT_EQ(manager.droppedJobs(), 0u);
  for (uint32_t id : {timedOut, stored, released, failed}) EXPECT_EQ(manager.getOutput(id, got, 0), kNotAlive) << id;
}

}  // namespace
}  // namespace kestrane::test
