#pragma once

// The registry of one asynchronous pipeline's jobs. Each job has a promise
// of its final status, the done future of that promise and, once it has
// succeeded, its output tensors. The pipeline's last element fulfils a job
// (setOutputs, setError); the caller's future collects it (getOutput) or
// polls it (waitFor). close() ends the registry: every pending job then
// reads Model_AsyncPipelineNotAlive and nothing new is accepted.
//
// Ownership: the pipeline and every FutureImpl share the manager, so a
// future that outlives its model still finds a (closed) manager.
//
// A job whose done future is dropped uncollected (its getOutput timed out,
// waitFor could not put it back, its Future let go of it) can never be
// collected: its outputs are freed, at once when they are there, else when
// they arrive.
//
// Threads: none of its own. Callers on any thread; each of the three maps
// has its own mutex and no operation holds two of them at once. Waits on a
// done future happen with no map mutex held, and close() fulfils promises
// outside the promise map's mutex. The mutex of the dropped jobs is taken
// before a map's (never the other way round) and is never held across a
// wait. Every wait is bounded by its time-out or woken by close().

#include <atomic>
#include <cstdint>
#include <future>
#include <mutex>
#include <set>
#include <vector>

#include "async/closable_map.h"
#include "halvex/tensor.h"
#include "kestrane/status.h"

namespace kestrane {

// A call that runs out of host memory returns BadAlloc (waitFor false)
// after a line; nothing throws.
class AsyncInferJobManager {
 public:
  // How long the fulfilling side waits for a job's promise, and the
  // caller-side wait of Future::get and of a future's destructor.
  static constexpr int64_t kWaitMs = 11000;

  AsyncInferJobManager() = default;
  AsyncInferJobManager(const AsyncInferJobManager&) = delete;
  AsyncInferJobManager& operator=(const AsyncInferJobManager&) = delete;

  // A new job (ids count up from 0); Model_AsyncPipelineNotAlive once closed.
  StatusCode createJob(uint32_t& jobId);
  // Fulfils the job with a failure status; OK would leave readers looking for
  // outputs that never come, so it is stored as InternalError.
  StatusCode setError(uint32_t jobId, StatusCode status);
  // Stores the outputs, then fulfils the job with OK; with BadAlloc (after a
  // line) when there is no host memory to store them.
  StatusCode setOutputs(uint32_t jobId, std::vector<halvex::Tensor>&& outputs);
  // Collects the job: its outputs (replacing the list's contents) and OK, or
  // the job's failure, Model_AsyncPipelineNotAlive (unknown job, closed) or
  // Model_AsyncPipelineTimeout. A job whose done future timed out cannot be
  // collected afterwards.
  StatusCode getOutput(uint32_t jobId, std::vector<halvex::Tensor>& outputs, int64_t timeoutMs);
  // Whether the job finished (well or not) within the time; it stays
  // collectable either way while the manager is open. Once it is closed the
  // done future cannot go back: a warning, and the job is dropped.
  bool waitFor(uint32_t jobId, int64_t timeoutMs);
  // Nobody will collect the job (its Future let go of it): its entries go,
  // and its outputs with them, now or when they arrive. Never waits.
  void release(uint32_t jobId);
  void close();

  // For inspection: jobs whose outputs are stored, and jobs whose outputs
  // will be freed when they arrive.
  size_t storedOutputs() const { return outputs_.size(); }
  size_t droppedJobs() const;

 private:
  // The job's done future was dropped: its outputs are freed now if they are
  // stored, else noted to be freed when setOutputs brings them (unless the
  // job has already ended without them).
  void drop(uint32_t jobId, const std::future<StatusCode>& done);

  std::atomic<uint32_t> nextJobId_{0};
  // Destroyed in reverse: outputs, then done futures, then promises.
  ClosableMap<std::promise<StatusCode>> promises_;
  ClosableMap<std::future<StatusCode>> doneFutures_;
  ClosableMap<std::vector<halvex::Tensor>> outputs_;
  // Jobs still running whose done future was dropped; guards the fulfilment
  // of their promises too, so that a job cannot end between drop()'s look
  // and its note.
  mutable std::mutex droppedMutex_;
  std::set<uint32_t> dropped_;
};

}  // namespace kestrane
