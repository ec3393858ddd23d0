#pragma once

// What the asynchronous pipeline calls on the model it serves. The model
// runtime implements it (ModelImpl), so the pipeline needs nothing of the
// model library and the dependency runs one way: model above async.
// Operations are named by the model's NPU operation index; the model's
// operations do not change while it is launched, so every call is safe from
// the pipeline's threads.

#include <cstdint>
#include <string>
#include <vector>

#include "dataplane/io_record.h"
#include "engine/acc_impl.h"
#include "engine/memory_pool.h"
#include "halvex/tensor.h"
#include "kestrane/status.h"
#include "kestrane/type.h"

namespace kestrane {

// The model's memory pool.
using PipelinePool = MemoryPool<AcceleratorImpl>;

class PipelineModel {
 public:
  virtual ~PipelineModel() = default;

  // Whether `op` is one of the model's NPU operations; the calls below need one.
  virtual bool hasNpuOp(int32_t op) const = 0;
  virtual const std::vector<IORecord>& npuInputs(int32_t op) const = 0;
  virtual const std::vector<std::string>& npuInputNames(int32_t op) const = 0;
  virtual const std::vector<IORecord>& npuOutputs(int32_t op) const = 0;
  virtual const std::vector<std::string>& npuOutputNames(int32_t op) const = 0;
  // The output tensors of one item of `op` (undefined where allocation failed).
  virtual std::vector<halvex::Tensor> makeNpuOutputTensors(int32_t op, halvex::DType dtype,
                                                           MemoryFormat format) const = 0;
  // One buffer from `pool` per input (isInput) or output record of `op`: a
  // batch of one, without sequence lengths. On a failure nothing is held.
  virtual std::vector<std::vector<Buffer>> acquireNpuBuffers(PipelinePool& pool, int32_t op, bool isInput,
                                                             StatusCode& status) const = 0;
};

}  // namespace kestrane
