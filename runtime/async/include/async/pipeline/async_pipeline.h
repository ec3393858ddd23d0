#pragma once

// The asynchronous pipeline of one launched model: six elements on two
// queue threads,
//   queue_elem_0 -> input_repos_elem -> npu_op_elem -> queue_elem_1
//     -> output_repos_elem -> last_elem -> job manager,
// so that the input reposition of one request, the NPU work of several and
// the output reposition of another overlap. inferAsync() runs in the
// caller's thread up to the first queue and returns a Future of the job.
//
// Ownership: the model owns the pipeline; the pipeline and every Future
// share its job manager. The model (its NPU operations, through
// PipelineModel), task queue and memory pool must outlive the pipeline's
// threads, i.e. the model closes the pipeline before it lets go of them.
//
// Threads: the two queue elements' workers, started by create() and joined
// by close() (or the destructor) after they drained their queues. close()
// closes the job manager first, so every unfinished Future reads
// Model_AsyncPipelineNotAlive at once, then stops the queues in chain order.

#include <cstdint>
#include <memory>
#include <vector>

#include "async/async_infer_job_manager.h"
#include "async/pipeline/element_derived.h"
#include "async/pipeline/pipeline_element.h"
#include "kestrane/future.h"

namespace kestrane {

class QueueElement;

class AsyncPipeline {
 public:
  static std::unique_ptr<AsyncPipeline> create(const PipelineModel& model,
                                               std::shared_ptr<TaskQueue> taskQueue, PipelinePool& pool,
                                               CoreMode coreMode, const std::vector<CoreId>& cores,
                                               StatusCode& status);
  // Closes the pipeline if that has not happened yet.
  ~AsyncPipeline();
  AsyncPipeline(const AsyncPipeline&) = delete;
  AsyncPipeline& operator=(const AsyncPipeline&) = delete;

  // Every queue holds at most `capacity` jobs (0: unbounded).
  void setQueueCapacity(uint64_t capacity);

  // Queues one request: the caller's arrays (kept alive meanwhile), their
  // views with the variant's input shapes, the memory format, whether the
  // first input was 4-D, and the NPU operation. Blocks while the first
  // queue is full. A valid Future with OK, or an invalid one with
  // Model_AsyncPipelineNotAlive once the pipeline is closed. Instances:
  // float -> float, int8 -> int8, int8 -> float.
  template <typename In, typename Out>
  Future<Out> inferAsync(std::vector<NDArray<In>> inputs, std::vector<halvex::Tensor> views, MemoryFormat format,
                         bool inputIs4D, int32_t npuOpIndex, StatusCode& status);

  // Idempotent; see the header comment.
  void close();

  const std::vector<std::unique_ptr<PipelineElement>>& elements() const { return elements_; }
  const std::shared_ptr<AsyncInferJobManager>& manager() const { return manager_; }

 private:
  AsyncPipeline();

  std::shared_ptr<AsyncInferJobManager> manager_;
  std::vector<std::unique_ptr<PipelineElement>> elements_;
};

}  // namespace kestrane
