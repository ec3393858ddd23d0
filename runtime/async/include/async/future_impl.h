#pragma once

// What a Future refers to: one job of a pipeline's job manager. The manager
// is shared with the pipeline, so it outlives a disposed (or destroyed)
// model as long as a future still refers to it; once closed it answers every
// unfinished job with Model_AsyncPipelineNotAlive.
//
// The pipeline makes a future for a job it created:
//   Future<float>(std::make_unique<FutureImpl<float>>(jobId, manager))

#include <cstdint>
#include <memory>
#include <vector>

#include "async/async_infer_job_manager.h"
#include "kestrane/future.h"
#include "kestrane/status.h"
#include "kestrane/type.h"

namespace kestrane {

template <typename T>
class FutureImpl {
 public:
  FutureImpl(uint32_t jobId, std::shared_ptr<AsyncInferJobManager> manager)
      : jobId_(jobId), manager_(std::move(manager)) {}

  // The job's outputs as arrays sharing the output tensors' storage, or an
  // empty list with the failure's status.
  std::vector<NDArray<T>> get(int64_t timeoutMs, StatusCode& status);
  bool waitFor(int64_t timeoutMs);
  // The job will not be collected: the manager frees its outputs.
  void release();

  uint32_t jobId() const { return jobId_; }

 private:
  const uint32_t jobId_;
  const std::shared_ptr<AsyncInferJobManager> manager_;
};

extern template class FutureImpl<int8_t>;
extern template class FutureImpl<float>;

}  // namespace kestrane
