// Synchronous inference: from the caller's arrays through the model's
// variant, the NPU path (pool buffers, reposition, tasks) or the CPU-offload
// run, to filled output arrays. Everything runs in the caller's thread,
// which blocks on its tasks' answers. The NPU path views the caller's
// arrays as host batches and keeps what it fills per request in the
// thread's reused RequestScratch, so that a request allocates nothing of
// its own once one of its size went before.

#include <algorithm>
#include <limits>
#include <type_traits>

#include "core/log.h"
#include "core/trace_scope.h"
#include "dataplane/buffer_tensor_conversion.h"
#include "dataplane/tensor_utils.h"
#include "model/buffer_allocation.h"
#include "model/model_impl.h"
#include "model/request_scratch.h"
#include "model/request_shapes.h"

namespace kestrane {

using halvex::DType;
using halvex::Tensor;

namespace {

template <typename T>
constexpr DType dtypeOf() {
  return std::is_same_v<T, int8_t> ? DType::Int8 : DType::Float32;
}

const std::string& nameAt(const std::vector<std::string>& names, size_t i) {
  static const std::string kNone;
  return i < names.size() ? names[i] : kNone;
}

// The CPU-offload run sees the inputs as the description stores them: a
// 3-D input becomes a batch of one when the description has a batch, a
// batch of one loses it when the description has none.
std::vector<Tensor> wrapInputs(const ModelDesc& desc, const std::vector<const void*>& data,
                               const ModelImpl::Shapes& shapes, DType dtype) {
  std::vector<Tensor> tensors;
  tensors.reserve(data.size());
  for (size_t i = 0; i < data.size(); ++i) {
    std::vector<int64_t> shape = shapes[i];
    const size_t full = i < desc.fullInputShapes.size() ? desc.fullInputShapes[i].size() : shape.size();
    if (shape.size() == 3 && full == 4) shape.insert(shape.begin(), 1);
    else if (shape.size() == 4 && full == 3 && shape[0] == 1) shape.erase(shape.begin());
    tensors.emplace_back(const_cast<void*>(data[i]), shape, dtype);
  }
  return tensors;
}

// Checks the matched variant admits the request: int8 data only on an
// NPU-only variant, int8 array outputs only from int8 NPU outputs, CHW only
// on an NPU-only variant.
StatusCode checkVariant(const ModelImpl& model, const ModelDesc& desc, bool int8In, bool int8ArrayOut,
                        MemoryFormat format) {
  if (!desc.isNpuOnly) {
    if (int8In) {
      KLOG_ERROR("Int8 inference is not supported for a model with CPU-offload.");
      return StatusCode::Model_DtypeMismatched;
    }
    if (format == MemoryFormat::CHW) {
      KLOG_ERROR("CHW parameter is not expected for a model with CPU-offload.");
      return StatusCode::Model_ShapeMismatched;
    }
    return StatusCode::OK;
  }
  if (int8ArrayOut) {
    const NPUOpDesc& op = model.npuOpDescs()[static_cast<size_t>(desc.firstNpuOpIndex())];
    if (op.outputs().empty() || op.outputs()[0].npuDtype != static_cast<uint8_t>(NPUDtype::Int8)) {
      KLOG_ERROR("Int8 Output is not supported for a model with Float16 NPU DataType.");
      return StatusCode::Model_DtypeMismatched;
    }
  }
  return StatusCode::OK;
}

// The steps every form shares: the variant, then the NPU path or the
// CPU-offload run. `held` (array forms) is the element count of each input
// array, which must be its shape's. `acquire` sizes the outputs (NPU path),
// `deliver` hands the CPU-offload run's tensors to the caller.
template <typename In, typename Acquire, typename Deliver>
StatusCode runRequest(ModelImpl& model, RequestScratch& scratch, const std::vector<const void*>& data,
                      const ModelImpl::Shapes& shapes, const std::vector<int64_t>* held, MemoryFormat format,
                      uint32_t cacheSize, bool int8ArrayOut, Acquire acquire, Deliver deliver) {
  StatusCode status = StatusCode::OK;
  const int v = model.checkInputShapesAndfindMatchingVariantIndex(shapes, format, status);
  if (status != StatusCode::OK) return status;
  for (size_t i = 0; i < data.size(); ++i) {
    const int64_t want = shapeElements(shapes[i]);
    if (data[i] == nullptr || (held && (*held)[i] != want)) {
      KLOG_ERROR("Input {} of shape {} ({} elements) holds {}.", i, shapeText(shapes[i]), want,
                 data[i] == nullptr ? std::string("no data") : std::to_string((*held)[i]) + " elements");
      return StatusCode::Model_ShapeMismatched;
    }
  }
  const ModelDesc& desc = model.modelDescs()[static_cast<size_t>(v)];
  status = checkVariant(model, desc, std::is_same_v<In, int8_t>, int8ArrayOut, format);
  if (status != StatusCode::OK) return status;
  if (cacheSize > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
    KLOG_ERROR("Cache size {} is out of range.", cacheSize);
    return StatusCode::Model_CacheOverflow;
  }
  const bool is4D = shapes[0].size() == 4;
  const auto batch = static_cast<int32_t>(is4D ? shapes[0][0] : 1);

  if (!desc.isNpuOnly) {
    std::vector<Tensor> results;
    model.runModel(results, wrapInputs(desc, data, shapes, dtypeOf<In>()), cacheSize, v, &status);
    if (status != StatusCode::OK) return status;
    TraceScope trace("build user output");
    return deliver(results);
  }
  const int32_t op = desc.firstNpuOpIndex();
  const NPUOpDesc& npu = model.npuOpDescs()[static_cast<size_t>(op)];
  SeqLenInfo& info = scratch.info;
  npu.acquireSeqLenInfo(shapes, format, static_cast<int32_t>(cacheSize), info, status);
  if (status != StatusCode::OK) return status;
  status = acquire(npu, scratch.outputs, batch, is4D, info);
  if (status != StatusCode::OK) return status;
  // Every input is a batch on the NPU path: a 3-D one is one item.
  scratch.inputs.clear();
  for (size_t i = 0; i < data.size(); ++i)
    scratch.inputs.emplace_back(const_cast<void*>(data[i]), dtypeOf<In>(), shapes[i], shapes[i].size() == 3);
  return model.inferNPU(scratch.inputs, scratch.outputs, op, format, info, scratch);
}

}  // namespace

int ModelImpl::checkInputShapesAndfindMatchingVariantIndex(const Shapes& shapes, MemoryFormat format,
                                                          StatusCode& status) const {
  status = StatusCode::Model_ShapeMismatched;
  if (shapes.empty()) {
    KLOG_ERROR("Input shape {} (empty input shape) is invalid.", shapesText(shapes));
    return -1;
  }
  // Batches are compared first, on any shape: a shape of another rank has
  // a batch of one.
  auto batchOf = [](const Shape& s) { return s.size() == 4 ? s[0] : 1; };
  for (size_t i = 0; i < shapes.size(); ++i) {
    if (batchOf(shapes[i]) != batchOf(shapes[0])) {
      KLOG_ERROR("Batch size is not the same for {}th input tensor.", i);
      return -1;
    }
  }
  for (size_t i = 0; i < shapes.size(); ++i) {
    if (!isRequestShape(shapes[i]) ||
        (shapes[i].size() == 4 && shapes[i][0] > std::numeric_limits<int32_t>::max())) {
      KLOG_ERROR("Input shape {} is invalid. Input {} is neither an item of 3 positive dimensions nor a batch of "
                 "them.",
                 shapesText(shapes), i);
      return -1;
    }
  }
  for (size_t v = 0; v < modelDescs_.size(); ++v) {
    if (modelDescs_[v].doesInputShapeMatch(shapes, format)) {
      status = StatusCode::OK;
      return static_cast<int>(v);
    }
  }
  KLOG_ERROR("Input shape {} is invalid.", shapesText(shapes));
  return -1;
}

template <typename In, typename Out>
StatusCode ModelImpl::inferArrays(const std::vector<NDArray<In>>& inputs, std::vector<NDArray<Out>>& outputs,
                                  MemoryFormat format, uint32_t cacheSize) {
  TraceScope trace("infer");
  const CallScope scope(*this);
  if (!scope) return StatusCode::Model_NotLaunched;
  const ScratchLease scratch;
  Shapes& shapes = scratch->shapes;
  std::vector<const void*>& data = scratch->data;
  std::vector<int64_t>& held = scratch->held;
  shapes.resize(inputs.size());
  data.clear();
  held.clear();
  for (size_t i = 0; i < inputs.size(); ++i) {
    shapes[i].assign(inputs[i].shape.begin(), inputs[i].shape.end());
    data.push_back(inputs[i].ptr());
    held.push_back(inputs[i].num_elements);
  }
  auto acquire = [&](const NPUOpDesc& npu, std::vector<HostBatch>& views, int32_t batch, bool is4D,
                     const SeqLenInfo& info) {
    return npu.acquireOutputData(outputs, views, batch, is4D, format, info.outputSeqlens);
  };
  auto deliver = [&](const std::vector<Tensor>& results) {
    outputs.resize(results.size());
    for (size_t i = 0; i < results.size(); ++i) {
      outputs[i] = moveToNDArray<Out>(results[i]);
      if (outputs[i].ptr() == nullptr && results[i].numel() > 0) return StatusCode::BadAlloc;
    }
    return StatusCode::OK;
  };
  return runRequest<In>(*this, *scratch, data, shapes, &held, format, cacheSize, std::is_same_v<Out, int8_t>, acquire,
                        deliver);
}

template <typename In, typename Out>
StatusCode ModelImpl::inferPointers(const std::vector<In*>& inputs, const Shapes& shapes,
                                    std::vector<std::vector<Out>>& outputs, MemoryFormat format, uint32_t cacheSize) {
  TraceScope trace("infer");
  const CallScope scope(*this);
  if (!scope) return StatusCode::Model_NotLaunched;
  if (inputs.size() != shapes.size()) {
    KLOG_ERROR("{} inputs come with {} shapes.", inputs.size(), shapes.size());
    return StatusCode::Model_ShapeMismatched;
  }
  const ScratchLease scratch;
  std::vector<const void*>& data = scratch->data;
  data.assign(inputs.begin(), inputs.end());
  auto acquire = [&](const NPUOpDesc& npu, std::vector<HostBatch>& views, int32_t batch, bool,
                     const SeqLenInfo& info) {
    return npu.acquireOutputData(outputs, views, batch, format, info.outputSeqlens);
  };
  auto deliver = [&](const std::vector<Tensor>& results) {
    outputs.resize(results.size());
    if constexpr (std::is_same_v<Out, float>) {
      for (size_t i = 0; i < results.size(); ++i) {
        const StatusCode status = tensorToVector(results[i], outputs[i]);
        if (status != StatusCode::OK) return status;
      }
      return StatusCode::OK;
    } else {
      return StatusCode::Model_DtypeMismatched;  // int8 requests never take the CPU-offload run
    }
  };
  return runRequest<In>(*this, *scratch, data, shapes, nullptr, format, cacheSize, false, acquire, deliver);
}

template <typename In, typename Out>
StatusCode ModelImpl::inferBatch(const std::vector<In*>& inputs, int batch, std::vector<std::vector<Out>>& outputs,
                                 MemoryFormat format, uint32_t cacheSize) {
  // A model that is not launched is refused before the request is looked
  // at, as the other forms do (inferPointers checks again under its scope).
  if (!isLaunched()) {
    TraceScope trace("infer");
    return StatusCode::Model_NotLaunched;
  }
  const Shapes& items = modelDescs_[0].inputShapes;
  if (inputs.size() != items.size() || batch < 1) {
    KLOG_ERROR("{} inputs of batch {} for a model of {} inputs.", inputs.size(), batch, items.size());
    return StatusCode::Model_ShapeMismatched;
  }
  Shapes shapes;
  for (const Shape& item : items) {
    if (item.size() != 3) {
      KLOG_ERROR("Input shape {} of the model is not an item of 3 dimensions.", shapeText(item));
      return StatusCode::Model_ShapeMismatched;
    }
    shapes.push_back(format == MemoryFormat::CHW ? Shape{batch, item[2], item[0], item[1]}
                                                 : Shape{batch, item[0], item[1], item[2]});
  }
  return inferPointers(inputs, shapes, outputs, format, cacheSize);
}

StatusCode ModelImpl::infer(const std::vector<NDArray<float>>& inputs, std::vector<NDArray<float>>& outputs,
                            MemoryFormat format, uint32_t cacheSize) {
  return inferArrays(inputs, outputs, format, cacheSize);
}
StatusCode ModelImpl::infer(const std::vector<NDArray<int8_t>>& inputs, std::vector<NDArray<int8_t>>& outputs,
                            MemoryFormat format, uint32_t cacheSize) {
  return inferArrays(inputs, outputs, format, cacheSize);
}
StatusCode ModelImpl::infer(const std::vector<NDArray<int8_t>>& inputs, std::vector<NDArray<float>>& outputs,
                            MemoryFormat format, uint32_t cacheSize) {
  return inferArrays(inputs, outputs, format, cacheSize);
}
StatusCode ModelImpl::infer(const std::vector<float*>& inputs, const Shapes& shapes,
                            std::vector<std::vector<float>>& outputs, MemoryFormat format, uint32_t cacheSize) {
  return inferPointers(inputs, shapes, outputs, format, cacheSize);
}
StatusCode ModelImpl::infer(const std::vector<int8_t*>& inputs, const Shapes& shapes,
                            std::vector<std::vector<int8_t>>& outputs, MemoryFormat format, uint32_t cacheSize) {
  return inferPointers(inputs, shapes, outputs, format, cacheSize);
}
StatusCode ModelImpl::infer(const std::vector<int8_t*>& inputs, const Shapes& shapes,
                            std::vector<std::vector<float>>& outputs, MemoryFormat format, uint32_t cacheSize) {
  return inferPointers(inputs, shapes, outputs, format, cacheSize);
}
StatusCode ModelImpl::infer(const std::vector<float*>& inputs, int batch, std::vector<std::vector<float>>& outputs,
                            MemoryFormat format, uint32_t cacheSize) {
  return inferBatch(inputs, batch, outputs, format, cacheSize);
}
StatusCode ModelImpl::infer(const std::vector<int8_t*>& inputs, int batch, std::vector<std::vector<int8_t>>& outputs,
                            MemoryFormat format, uint32_t cacheSize) {
  return inferBatch(inputs, batch, outputs, format, cacheSize);
}
StatusCode ModelImpl::infer(const std::vector<int8_t*>& inputs, int batch, std::vector<std::vector<float>>& outputs,
                            MemoryFormat format, uint32_t cacheSize) {
  return inferBatch(inputs, batch, outputs, format, cacheSize);
}

StatusCode ModelImpl::inferNPU(const std::vector<Tensor>& inputs, std::vector<Tensor>& outputs, int32_t npuOpIndex,
                               MemoryFormat format, const SeqLenInfo& info) {
  const StatusCode checked = checkNPUCall(npuOpIndex, inputs.size(), outputs.size(), info);
  if (checked != StatusCode::OK) return checked;
  // Always a batch: a 3-D tensor is one item.
  std::vector<Tensor> views;
  views.reserve(inputs.size());
  for (const Tensor& t : inputs) {
    if (t.ndim() == 3) views.push_back(t.reshape({1, t.size(0), t.size(1), t.size(2)}));
    else if (t.ndim() == 4) views.push_back(t);
    else {
      KLOG_ERROR("NPU input {} has {} dimensions; 3 or 4 expected.", shapeText(t.shape()), t.ndim());
      return StatusCode::Model_ShapeMismatched;
    }
    if (!views.back().defined()) return StatusCode::BadAlloc;
  }
  const ScratchLease scratch;
  return runNPUPath(inputs, views, outputs, npuOpIndex, format, info, *scratch);
}

StatusCode ModelImpl::inferNPU(const std::vector<HostBatch>& inputs, const std::vector<HostBatch>& outputs,
                               int32_t npuOpIndex, MemoryFormat format, const SeqLenInfo& info,
                               RequestScratch& scratch) {
  const StatusCode checked = checkNPUCall(npuOpIndex, inputs.size(), outputs.size(), info);
  if (checked != StatusCode::OK) return checked;
  for (const HostBatch& b : inputs) {
    if (b.ndim() != 4) {
      KLOG_ERROR("NPU input {} has {} dimensions; 3 or 4 expected.", shapeText(b.shape()), b.ndim());
      return StatusCode::Model_ShapeMismatched;
    }
  }
  return runNPUPath(inputs, inputs, outputs, npuOpIndex, format, info, scratch);
}

StatusCode ModelImpl::checkNPUCall(int32_t npuOpIndex, size_t inputs, size_t outputs, const SeqLenInfo& info) const {
  if (npuOpIndex < 0 || static_cast<size_t>(npuOpIndex) >= npuOpDescs_.size()) {
    KLOG_ERROR("No NPU operation {}; the model has {}.", npuOpIndex, npuOpDescs_.size());
    return StatusCode::InternalError;
  }
  const NPUOpDesc& op = npuOpDescs_[static_cast<size_t>(npuOpIndex)];
  if (inputs != op.inputs().size() || outputs != op.outputs().size() || info.inputSeqlens.size() != inputs ||
      info.outputSeqlens.size() != outputs) {
    KLOG_ERROR("NPU operation {} of {} inputs and {} outputs is given {} and {}.", npuOpIndex, op.inputs().size(),
               op.outputs().size(), inputs, outputs);
    return StatusCode::Model_ShapeMismatched;
  }
  return StatusCode::OK;
}

// The steps both forms share, on batches (`views`, 4-D) of tensors or host
// batches; `given` are the inputs as the caller gave them, for messages.
template <typename Batch, typename Outputs>
StatusCode ModelImpl::runNPUPath(const std::vector<Batch>& given, const std::vector<Batch>& views,
                                 Outputs& outputs, int32_t npuOpIndex, MemoryFormat format,
                                 const SeqLenInfo& info, RequestScratch& scratch) {
  const NPUOpDesc& op = npuOpDescs_[static_cast<size_t>(npuOpIndex)];
  if (views.empty()) return StatusCode::OK;
  // A shape the description admits but the operation's records do not
  // divide would size the items as nothing.
  for (size_t i = 0; i < info.inputSeqlens.size(); ++i) {
    const SeqLensHWC& m = info.inputSeqlens[i];
    if (m.size() != 3 || m[0] == 0 || m[1] == 0 || m[2] == 0) {
      KLOG_ERROR("Input {} of shape {} does not fit input {} of NPU operation {}.", i, shapeText(given[i].shape()),
                 nameAt(op.inputNames(), i), npuOpIndex);
      return StatusCode::Model_ShapeMismatched;
    }
  }
  const int64_t batch = views[0].size(0);
  if (batch > std::numeric_limits<int32_t>::max()) return StatusCode::Model_ShapeMismatched;

  std::vector<std::vector<Buffer>>& inputBuffers = scratch.inputBuffers;
  std::vector<std::vector<Buffer>>& outputBuffers = scratch.outputBuffers;
  // Back to the pool on every way out, host memory running out among them.
  const ReleasedOnExit released(pool_, inputBuffers, outputBuffers);
  StatusCode status = acquireBufferss(pool_, op, static_cast<int>(batch), info.inputSeqlens, true, inputBuffers);
  if (status == StatusCode::OK)
    status = acquireBufferss(pool_, op, static_cast<int>(batch), info.outputSeqlens, false, outputBuffers);
  for (size_t i = 0; i < views.size() && status == StatusCode::OK; ++i)
    status = tensorToBuffers(inputBuffers[i], views[i], nameAt(op.inputNames(), i), op.inputs()[i], format,
                             info.inputSeqlens[i]);
  if (status == StatusCode::OK) status = runTasks(inputBuffers, outputBuffers, npuOpIndex, info, scratch.answers);
  for (size_t o = 0; o < outputs.size() && status == StatusCode::OK; ++o)
    status = buffersToTensor(outputs[o], outputBuffers[o], nameAt(op.outputNames(), o), op.outputs()[o], format,
                             info.outputSeqlens[o]);
  return status;
}

StatusCode ModelImpl::runBatched(const std::vector<std::vector<Buffer>>& inputs,
                                 const std::vector<std::vector<Buffer>>& outputs, int32_t npuOpIndex,
                                 const SeqLenInfo& info) {
  const ScratchLease scratch;
  return runTasks(inputs, outputs, npuOpIndex, info, scratch->answers);
}

StatusCode ModelImpl::runTasks(const std::vector<std::vector<Buffer>>& inputs,
                               const std::vector<std::vector<Buffer>>& outputs, int32_t npuOpIndex,
                               const SeqLenInfo& info, std::vector<std::unique_ptr<TaskAnswer>>& answers) {
  const size_t perTask = config_.getCoreMode() == CoreMode::Multi ? 4 : 1;
  const size_t n = inputs.empty() ? 0 : inputs[0].size();
  auto short_ = [n](const std::vector<Buffer>& list) { return list.size() < n; };
  if (std::any_of(inputs.begin(), inputs.end(), short_) || std::any_of(outputs.begin(), outputs.end(), short_)) {
    KLOG_ERROR("Every input and output needs a buffer for each of the {} items.", n);
    return StatusCode::Model_ShapeMismatched;
  }
  const NPUOpDesc& op = npuOpDescs_[static_cast<size_t>(npuOpIndex)];
  uint64_t seqProduct = 1;
  const uint32_t kind = op.bundle().bundle_word;
  if (kind == 1 || kind == 2 || kind == 5 || kind == 6) {
    for (const SeqLensHWC& s : info.inputSeqlens)
      if (s.size() == 3) seqProduct = std::max<uint64_t>(seqProduct, uint64_t{s[0]} * s[1] * s[2]);
  }

  // Every list is assigned into a record that came back from the engine,
  // so that a steady stream of requests allocates no task lists.
  auto slice = [](std::vector<std::vector<Buffer>>& to, const std::vector<std::vector<Buffer>>& from, size_t offset,
                  size_t k) {
    to.resize(from.size());
    for (size_t i = 0; i < from.size(); ++i)
      to[i].assign(from[i].begin() + static_cast<long>(offset), from[i].begin() + static_cast<long>(offset + k));
  };
  size_t queuedTasks = 0;
  StatusCode queued = StatusCode::OK;
  // A task that cannot be made ends the queueing, not the wait below: the
  // tasks already queued still write into the buffers and answer records,
  // which the next request would otherwise take while they run.
  try {
    for (size_t offset = 0; offset < n; offset += perTask) {
      const size_t k = std::min(perTask, n - offset);
      if (answers.size() == queuedTasks) answers.push_back(std::make_unique<TaskAnswer>());
      TaskAnswer& answer = *answers[queuedTasks];
      answer.reset();
      NPUTask task = taskQueue_->takeRecord();
      slice(task.inputs, inputs, offset, k);
      slice(task.outputs, outputs, offset, k);
      task.result = TaskPromise(answer);
      task.seqProduct = seqProduct;
      task.npuOpIndex = npuOpIndex;
      task.inputSeqlens = info.inputSeqlens;
      task.outputSeqlens = info.outputSeqlens;
      task.rmemValues = info.rmemValues;
      task.memoryFormat = static_cast<uint8_t>(info.format);
      task.coreMode = config_.getCoreMode();
      task.cores = targetCores_;
      if (!taskQueue_->push(std::move(task))) {
        queued = StatusCode::Model_NotLaunched;
        break;  // the task answers its own answer as it goes; nobody waits for it
      }
      ++queuedTasks;
    }
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("Out of host memory while queueing the tasks of NPU operation {}; {} of them queued.", npuOpIndex,
               queuedTasks);
    queued = StatusCode::BadAlloc;
  }
  // Every queued task is waited for, failed or not: until it reports, the
  // engine may still write into its buffers.
  StatusCode status = StatusCode::OK;
  for (size_t t = 0; t < queuedTasks; ++t) {
    const StatusCode result = answers[t]->wait()              ? StatusCode::OK
                              : answers[t]->outOfMemory() ? StatusCode::BadAlloc  // the engine logged it
                                                          : StatusCode::Model_NotAlive;
    if (status == StatusCode::OK) status = result;
  }
  return status != StatusCode::OK ? status : queued;
}

}  // namespace kestrane
