#pragma once

// One asynchronous request on its way along the pipeline's elements. Moved
// into and out of the queues; each element hands on a job, or a failed job
// that carries only the id and the failure.

#include <cstdint>
#include <future>
#include <vector>

#include "dataplane/io_record.h"
#include "halvex/tensor.h"
#include "kestrane/status.h"
#include "kestrane/type.h"

namespace kestrane {

struct PipelineJob {
  uint32_t jobId = 0;
  // OK while the job is healthy; its first failure otherwise.
  StatusCode status = StatusCode::OK;
  MemoryFormat memoryFormat = MemoryFormat::None;
  // The caller's first input had 4 dimensions: outputs keep their batch of 1.
  bool inputIs4D = false;
  // Int8 or Float32.
  halvex::DType outputDtype = halvex::DType::Undefined;
  int32_t npuOpIndex = -1;
  // The input views on the way in, the output tensors after the outputs were
  // repositioned.
  std::vector<halvex::Tensor> tensors;
  // Per input / output, one pool buffer (a batch of one).
  std::vector<std::vector<Buffer>> inputBuffers;
  std::vector<std::vector<Buffer>> outputBuffers;
  // The future of the job's NPU task.
  std::future<bool> taskFuture;
  // The caller's arrays, shared so that their storage outlives the views.
  std::vector<NDArray<float>> floatInputs;
  std::vector<NDArray<int8_t>> int8Inputs;

  static PipelineJob failed(uint32_t jobId, StatusCode status) {
    PipelineJob job;
    job.jobId = jobId;
    job.status = status;
    return job;
  }
};

}  // namespace kestrane
