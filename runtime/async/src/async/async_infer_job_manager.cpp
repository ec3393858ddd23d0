#include "async/async_infer_job_manager.h"

#include <chrono>
#include <exception>
#include <new>

#include "core/log.h"

namespace kestrane {

namespace {

constexpr int64_t kGiveBackMs = 1;

// A future's wait up to a saturated deadline: wait_for with a huge duration
// would overflow inside the library.
bool readyWithin(const std::future<StatusCode>& future, int64_t timeoutMs) {
  return future.wait_until(deadlineAfter(timeoutMs)) == std::future_status::ready;
}

// Runs one operation; what escapes it (memory, a broken promise) becomes a
// status and one error line instead of crossing to the caller: `failed`, or
// `outOfMemory` when host memory ran out.
template <typename R, typename F>
R guarded(const char* operation, uint32_t jobId, R failed, R outOfMemory, F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("AsyncInferJobManager::{} failed for job_id {}: out of host memory.", operation, jobId);
    return outOfMemory;
  } catch (const std::exception& e) {
    KLOG_ERROR("AsyncInferJobManager::{} failed for job_id {}: {}", operation, jobId, e.what());
    return failed;
  }
}

void logNoSharedState() {
  KLOG_ERROR("Unexpected code path reached. Internal implementation of AsyncInferJobManager is wrong.");
}

}  // namespace

StatusCode AsyncInferJobManager::createJob(uint32_t& jobId) {
  return guarded("createJob", 0, StatusCode::InternalError, StatusCode::BadAlloc, [&] {
    jobId = nextJobId_.fetch_add(1);
    std::promise<StatusCode> promise;
    std::future<StatusCode> done = promise.get_future();
    // The future goes in first: whoever fulfils the promise finds a reader.
    if (doneFutures_.put(jobId, std::move(done)) != MapResult::Ok) return StatusCode::Model_AsyncPipelineNotAlive;
    auto giveBack = [&] {
      std::future<StatusCode> stored;
      doneFutures_.take(jobId, stored, kGiveBackMs);
    };
    MapResult put = MapResult::Closed;
    try {
      put = promises_.put(jobId, std::move(promise));
    } catch (const std::bad_alloc&) {
      giveBack();  // no job stays behind half made
      throw;
    }
    if (put != MapResult::Ok) {
      giveBack();
      return StatusCode::Model_AsyncPipelineNotAlive;
    }
    return StatusCode::OK;
  });
}

StatusCode AsyncInferJobManager::setError(uint32_t jobId, StatusCode status) {
  return guarded("setError", jobId, StatusCode::InternalError, StatusCode::BadAlloc, [&] {
    ClosableMap<std::promise<StatusCode>>::Node promise;  // a promise made here would allocate
    if (promises_.takeNode(jobId, promise, kWaitMs) != MapResult::Ok) return StatusCode::Model_AsyncPipelineNotAlive;
    std::lock_guard lock(droppedMutex_);
    dropped_.erase(jobId);  // no outputs will come
    promise.mapped().set_value(status == StatusCode::OK ? StatusCode::InternalError : status);
    return StatusCode::OK;
  });
}

StatusCode AsyncInferJobManager::setOutputs(uint32_t jobId, std::vector<halvex::Tensor>&& outputs) {
  return guarded("setOutputs", jobId, StatusCode::InternalError, StatusCode::BadAlloc, [&] {
    std::vector<halvex::Tensor> uncollectable;
    StatusCode result = StatusCode::OK;
    {
      std::lock_guard lock(droppedMutex_);
      if (dropped_.erase(jobId) != 0) {
        uncollectable = std::move(outputs);  // freed below, outside the lock
      } else {
        try {
          // Stored before the promise is fulfilled: a reader that sees OK finds them.
          if (outputs_.put(jobId, std::move(outputs)) != MapResult::Ok) return StatusCode::Model_AsyncPipelineNotAlive;
        } catch (const std::bad_alloc&) {
          // The job still gets its answer, at once: it failed.
          KLOG_ERROR("No host memory to keep the outputs of job {}; it fails.", jobId);
          result = StatusCode::BadAlloc;
        }
      }
    }
    uncollectable.clear();
    ClosableMap<std::promise<StatusCode>>::Node promise;
    if (promises_.takeNode(jobId, promise, kWaitMs) != MapResult::Ok) return StatusCode::Model_AsyncPipelineNotAlive;
    std::lock_guard lock(droppedMutex_);
    promise.mapped().set_value(result);
    return StatusCode::OK;
  });
}

void AsyncInferJobManager::drop(uint32_t jobId, const std::future<StatusCode>& done) {
  std::vector<halvex::Tensor> stored;
  {
    std::lock_guard lock(droppedMutex_);
    if (outputs_.take(jobId, stored, 0) == MapResult::Ok) {
      // Freed below, outside the lock.
    } else if (!done.valid() || done.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
      dropped_.insert(jobId);  // still running: its outputs go when they come
    }
  }
}

void AsyncInferJobManager::release(uint32_t jobId) {
  guarded("release", jobId, 0, 0, [&] {
    std::future<StatusCode> done;
    if (doneFutures_.take(jobId, done, 0) == MapResult::Ok) drop(jobId, done);
    return 0;
  });
}

size_t AsyncInferJobManager::droppedJobs() const {
  std::lock_guard lock(droppedMutex_);
  return dropped_.size();
}

StatusCode AsyncInferJobManager::getOutput(uint32_t jobId, std::vector<halvex::Tensor>& outputs, int64_t timeoutMs) {
  return guarded("getOutput", jobId, StatusCode::InternalError, StatusCode::BadAlloc, [&] {
    std::future<StatusCode> done;
    if (doneFutures_.take(jobId, done, timeoutMs) != MapResult::Ok) return StatusCode::Model_AsyncPipelineNotAlive;
    if (!done.valid()) {
      logNoSharedState();
      return StatusCode::InternalError;
    }
    if (!readyWithin(done, timeoutMs)) {
      KLOG_ERROR("Timeout occurred after waiting {} milliseconds for done_future.", timeoutMs);
      drop(jobId, done);
      return StatusCode::Model_AsyncPipelineTimeout;
    }
    const StatusCode status = done.get();
    if (status != StatusCode::OK) return status;
    std::vector<halvex::Tensor> stored;
    switch (outputs_.take(jobId, stored, timeoutMs)) {
      case MapResult::Ok:
        outputs = std::move(stored);
        return StatusCode::OK;
      case MapResult::Closed:
        return StatusCode::Model_AsyncPipelineNotAlive;
      case MapResult::TimedOut:
        break;
    }
    KLOG_ERROR("Timeout occurred after waiting {} milliseconds for outputs.", timeoutMs);
    return StatusCode::Model_AsyncPipelineTimeout;
  });
}

bool AsyncInferJobManager::waitFor(uint32_t jobId, int64_t timeoutMs) {
  return guarded("waitFor", jobId, false, false, [&] {
    ClosableMap<std::future<StatusCode>>::Node done;  // its own node goes back: nothing to allocate
    if (doneFutures_.takeNode(jobId, done, timeoutMs) != MapResult::Ok) return false;
    bool ready = false;
    if (!done.mapped().valid()) {
      logNoSharedState();
    } else {
      ready = readyWithin(done.mapped(), timeoutMs);
    }
    // Back in the map so that a later getOutput finds it.
    if (doneFutures_.putNode(done) != MapResult::Ok) {
      KLOG_WARN("Failed to put done_future back to JobIdFutureMap in AsyncInferJobManager::waitFor. The map was "
                "closed.");
      drop(jobId, done.mapped());
    }
    return ready;
  });
}

void AsyncInferJobManager::close() {
  promises_.close();
  doneFutures_.close();
  outputs_.close();
  // Every job still waiting for its pipeline now reads NotAlive; each promise
  // is fulfilled outside the map's mutex. None of them brings outputs now.
  // Taken node by node: closing allocates nothing.
  for (auto promise = promises_.takeFirst(); !promise.empty(); promise = promises_.takeFirst()) {
    std::lock_guard lock(droppedMutex_);
    dropped_.erase(promise.key());
    promise.mapped().set_value(StatusCode::Model_AsyncPipelineNotAlive);
  }
}

}  // namespace kestrane
