// Asynchronous inference: the checks of a request and its hand-over to the
// model's pipeline, and the pipeline's start with the launch.

#include <algorithm>
#include <type_traits>

#include "async/pipeline/async_pipeline.h"
#include "core/log.h"
#include "model/buffer_allocation.h"
#include "model/model_impl.h"
#include "model/request_shapes.h"

namespace kestrane {

namespace {

template <typename T>
constexpr halvex::DType dtypeOf() {
  return std::is_same_v<T, int8_t> ? halvex::DType::Int8 : halvex::DType::Float32;
}

// Asynchronous tasks carry no sequence lengths and no RmemId values: a
// variant that needs them would run on zeros.
StatusCode refuseSequences(const NPUOpDesc& op, const ModelImpl::Shapes& shapes, MemoryFormat format) {
  const auto& rmem = op.bundle().rmem_ids;
  bool needed = std::any_of(rmem.begin(), rmem.end(), [](const zrb::RmemIdConfig& r) {
    return r.rmem_type == 1 || r.rmem_type == 2 || r.rmem_type == 11;
  });
  if (!needed) {
    StatusCode status = StatusCode::OK;
    const SeqLenInfo info = op.acquireSeqLenInfo(shapes, format, 0, status);
    if (status != StatusCode::OK) return status;
    const SeqLensHWC one = {1, 1, 1};
    auto plain = [&](const SeqLensHWC& m) { return m.empty() || m == one; };
    needed = !std::all_of(info.inputSeqlens.begin(), info.inputSeqlens.end(), plain) ||
             !std::all_of(info.outputSeqlens.begin(), info.outputSeqlens.end(), plain);
  }
  if (!needed) return StatusCode::OK;
  KLOG_ERROR("Asynchronous inference is not supported for a model variant with sequence lengths or RmemId values. "
             "Please use `Model::infer` for it.");
  return StatusCode::NotImplemented;
}

}  // namespace

template <typename In, typename Out>
Future<Out> ModelImpl::inferAsyncOf(const std::vector<NDArray<In>>& inputs, MemoryFormat format, StatusCode& status) {
  // Held until the job is queued: dispose waits for it, and the pipeline
  // stays in place meanwhile.
  CallScope scope(*this);
  if (!scope) {
    status = StatusCode::Model_NotLaunched;
    return {};
  }
  if (!pipeline_) {
    KLOG_ERROR(
        "Async pipeline is not enabled. To use `Model::inferAsync` family, including `Model::inferAsyncCHW`, "
        "`Model::inferAsyncToFloat` and `Model::inferAsyncCHWToFloat`, please ensure that the async pipeline is set "
        "to be enabled in the `ModelConfig` object. For example, create a `ModelConfig` instance named `config`, "
        "call `config.setAsyncPipelineEnabled(true)`, and create the model using `Model::create(zrb_path, config, "
        "sc)`.");
    status = StatusCode::Model_AsyncPipelineNotAlive;
    return {};
  }
  Shapes shapes;
  shapes.reserve(inputs.size());
  for (const NDArray<In>& input : inputs) shapes.push_back(input.shape);
  const int v = checkInputShapesAndfindMatchingVariantIndex(shapes, format, status);
  if (status != StatusCode::OK) return {};
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (inputs[i].ptr() == nullptr || inputs[i].num_elements != shapeElements(shapes[i])) {
      KLOG_ERROR("Input {} of shape {} ({} elements) holds {}.", i, shapeText(shapes[i]), shapeElements(shapes[i]),
                 inputs[i].ptr() == nullptr ? std::string("no data")
                                            : std::to_string(inputs[i].num_elements) + " elements");
      status = StatusCode::Model_ShapeMismatched;
      return {};
    }
  }
  const ModelDesc& desc = modelDescs_[static_cast<size_t>(v)];
  if (!desc.isNpuOnly) {
    KLOG_ERROR("Currently asynchronous inference is not supported for a model with CPU-offload.");
    status = StatusCode::NotImplemented;
    return {};
  }
  const int32_t op = desc.firstNpuOpIndex();
  const bool is4D = shapes[0].size() == 4;
  if (is4D && shapes[0][0] != 1) {
    KLOG_ERROR("Batched inference is not supported for inferAsync");
    status = StatusCode::NotImplemented;
    return {};
  }
  status = refuseSequences(npuOpDescs_[static_cast<size_t>(op)], shapes, format);
  if (status != StatusCode::OK) return {};
  // Each input as a batch of one, viewing the caller's storage; the arrays
  // travel with the job and keep that storage alive.
  std::vector<halvex::Tensor> views;
  views.reserve(inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    std::vector<int64_t> shape = shapes[i];
    if (shape.size() == 3) shape.insert(shape.begin(), 1);
    views.emplace_back(static_cast<void*>(inputs[i].ptr()), shape, dtypeOf<In>());
  }
  return pipeline_->inferAsync<In, Out>(inputs, std::move(views), format, is4D, op, status);
}

Future<float> ModelImpl::inferAsync(const std::vector<NDArray<float>>& inputs, MemoryFormat format,
                                    StatusCode& status) {
  return inferAsyncOf<float, float>(inputs, format, status);
}

Future<int8_t> ModelImpl::inferAsync(const std::vector<NDArray<int8_t>>& inputs, MemoryFormat format,
                                     StatusCode& status) {
  return inferAsyncOf<int8_t, int8_t>(inputs, format, status);
}

Future<float> ModelImpl::inferAsyncToFloat(const std::vector<NDArray<int8_t>>& inputs, MemoryFormat format,
                                           StatusCode& status) {
  return inferAsyncOf<int8_t, float>(inputs, format, status);
}

StatusCode ModelImpl::startPipeline() {
  pipeline_.reset();
  StatusCode status = StatusCode::OK;
  pipeline_ = AsyncPipeline::create(*this, taskQueue_, pool_, config_.getCoreMode(), targetCores_, status);
  if (status != StatusCode::OK) return status;
  pipeline_->setQueueCapacity(targetCores_.size());
  return StatusCode::OK;
}

std::vector<std::vector<Buffer>> ModelImpl::acquireNpuBuffers(PipelinePool& pool, int32_t op, bool isInput,
                                                          StatusCode& status) const {
  return acquireBufferss(pool, npuOp(op), 1, std::vector<SeqLensHWC>{}, isInput, status);
}

void ModelImpl::closePipeline() {
  if (pipeline_) pipeline_->close();
}

}  // namespace kestrane
