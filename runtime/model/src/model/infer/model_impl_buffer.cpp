// Buffer-level inference and the buffer API: callers take NPU-layout
// buffers from the model's pool, fill and read them themselves or through
// the reposition calls, and run the model on them.

#include <algorithm>
#include <cstring>
#include <future>
#include <limits>

#include "core/log.h"
#include "core/trace_scope.h"
#include "dataplane/buffer_tensor_conversion.h"
#include "dataplane/reposition.h"
#include "model/buffer_allocation.h"
#include "model/model_impl.h"
#include "platform/host_allowance.h"

namespace kestrane {

namespace {

using Lists = std::vector<std::vector<Buffer>>;

// The caller's buffers of one side: a list per record, `items` buffers
// each, every one handed out by the pool at exactly the size of one item.
// The engine moves `size` bytes of each to or from the device, so a buffer
// of another size would spill into the neighbouring device areas (or past
// the host block).
StatusCode checkCallerBuffers(const ModelMemoryPool& pool, const Lists& lists, const std::vector<IORecord>& records,
                              const std::vector<SeqLensHWC>& seqlens, size_t items, const char* side) {
  if (lists.size() != records.size()) {
    KLOG_ERROR("{} buffer lists for {} {}s.", lists.size(), records.size(), side);
    return StatusCode::Model_ShapeMismatched;
  }
  for (size_t i = 0; i < lists.size(); ++i) {
    if (lists[i].size() != items) {
      KLOG_ERROR("{} {} has {} buffers; input 0 has {}.", side, i, lists[i].size(), items);
      return StatusCode::Model_ShapeMismatched;
    }
    const uint64_t bytes = npuBufferBytes(records[i], i < seqlens.size() ? seqlens[i] : SeqLensHWC{});
    for (size_t j = 0; j < items; ++j) {
      const Buffer& buf = lists[i][j];
      const uint64_t pooled = pool.handedOutSize(buf.data);
      if (pooled == 0) {
        KLOG_ERROR("Buffer {} of {} {} was not handed out by the model's memory pool.", j, side, i);
        return StatusCode::MemoryPool_BufNotFound;
      }
      if (buf.size != bytes || pooled != bytes) {
        KLOG_ERROR("Buffer {} of {} {} holds {} bytes; one item takes {}.", j, side, i, buf.size, bytes);
        return StatusCode::Model_BufferSizeMismatched;
      }
    }
  }
  return StatusCode::OK;
}

// Multipliers of a caller's reposition request: `seqlens` is empty or has
// one entry of three positive counts per record, within what the
// operation's areas were sized for.
StatusCode repositionSeqLens(const std::vector<std::vector<int>>& seqlens, const NPUOpDesc& op, bool isInput,
                             std::vector<SeqLensHWC>& out) {
  const size_t records = isInput ? op.inputs().size() : op.outputs().size();
  const char* what = isInput ? "input" : "output";
  out.assign(records, SeqLensHWC{1, 1, 1});
  if (seqlens.empty()) return StatusCode::OK;
  if (seqlens.size() != records) {
    KLOG_ERROR("Size of {}s and seqlens is mismatched ({}s.size(): {}, seqlens.size(): {}", what, what, records,
               seqlens.size());
    return StatusCode::Model_ShapeMismatched;
  }
  for (size_t i = 0; i < records; ++i) {
    const std::vector<int>& s = seqlens[i];
    if (s.size() != 3) return StatusCode::Model_ShapeMismatched;
    if (s[0] < 1 || s[1] < 1 || s[2] < 1) {
      KLOG_ERROR("seqlens[{}] = [{}, {}, {}] holds a count below 1.", i, s[0], s[1], s[2]);
      return StatusCode::Model_ShapeMismatched;
    }
    out[i] = {static_cast<uint32_t>(s[0]), static_cast<uint32_t>(s[1]), static_cast<uint32_t>(s[2])};
  }
  return op.checkMultipliers(out, isInput);
}

// A batch of no items runs nothing, so the output side is not looked at.
bool noItems(const Lists& inputs) {
  return std::all_of(inputs.begin(), inputs.end(), [](const std::vector<Buffer>& list) { return list.empty(); });
}

uint64_t itemElements(const IORecord& record, const SeqLensHWC& m) {
  return record.info.original_size() * m[0] * m[1] * m[2];
}

// Each buffer must hold one item in NPU layout: nothing is read or written
// past its end. It must also be a block the pool has handed out: a buffer
// kept after its release (or from before a dispose) may have been freed.
StatusCode checkItemBuffers(const ModelMemoryPool& pool, const std::vector<Buffer>& list, const IORecord& record,
                            const SeqLensHWC& m, size_t index, const char* what) {
  const uint64_t bytes = npuBufferBytes(record, m);
  for (size_t j = 0; j < list.size(); ++j) {
    if (list[j].data == nullptr || list[j].size < bytes) {
      KLOG_ERROR("Buffer {} of {} {} holds {} bytes; one item takes {}.", j, what, index, list[j].size, bytes);
      return StatusCode::Model_BufferSizeMismatched;
    }
    const uint64_t pooled = pool.handedOutSize(list[j].data);
    if (pooled == 0) {
      KLOG_ERROR("Buffer {} of {} {} was not handed out by the model's memory pool.", j, what, index);
      return StatusCode::MemoryPool_BufNotFound;
    }
    if (pooled < bytes) {
      KLOG_ERROR("Buffer {} of {} {} is a block of {} bytes; one item takes {}.", j, what, index, pooled, bytes);
      return StatusCode::Model_BufferSizeMismatched;
    }
  }
  return StatusCode::OK;
}

}  // namespace

StatusCode ModelImpl::prepareBufferRequest(const Shapes& given, uint32_t cacheSize, const char* name,
                                           int32_t& npuOpIndex, SeqLenInfo& info) const {
  StatusCode status = StatusCode::OK;
  int v = 0;
  if (!given.empty()) {
    v = checkInputShapesAndfindMatchingVariantIndex(given, MemoryFormat::HWC, status);
    if (status != StatusCode::OK) return status;
  }
  const ModelDesc& desc = modelDescs_[static_cast<size_t>(v)];
  if (!desc.isNpuOnly) {
    KLOG_ERROR("{} is not supported for a model with CPU-offload.", name);
    return StatusCode::Model_DtypeMismatched;
  }
  if (cacheSize > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
    KLOG_ERROR("Cache size {} is out of range.", cacheSize);
    return StatusCode::Model_CacheOverflow;
  }
  npuOpIndex = desc.opDescs[0].bundleIndex;
  const NPUOpDesc& op = npuOpDescs_[static_cast<size_t>(npuOpIndex)];
  info = op.acquireSeqLenInfo(given.empty() ? desc.inputShapes : given, MemoryFormat::HWC,
                              static_cast<int32_t>(cacheSize), status);
  return status;
}

StatusCode ModelImpl::inferBuffer(const std::vector<std::vector<Buffer>>& inputs,
                                  std::vector<std::vector<Buffer>>& outputs, const Shapes& shapes,
                                  uint32_t cacheSize) {
  TraceScope trace("infer");
  const CallScope scope(*this);
  if (!scope) return StatusCode::Model_NotLaunched;
  int32_t op = 0;
  SeqLenInfo info;
  StatusCode status = prepareBufferRequest(shapes, cacheSize, "inferBuffer", op, info);
  if (status != StatusCode::OK) return status;
  const NPUOpDesc& npu = npuOpDescs_[static_cast<size_t>(op)];
  if (inputs.empty()) {
    KLOG_ERROR("inferBuffer needs a buffer list per input.");
    return StatusCode::Model_ShapeMismatched;
  }
  if (noItems(inputs)) return StatusCode::OK;
  const size_t items = inputs[0].size();
  status = checkCallerBuffers(pool_, inputs, npu.inputs(), info.inputSeqlens, items, "input");
  if (status == StatusCode::OK)
    status = checkCallerBuffers(pool_, outputs, npu.outputs(), info.outputSeqlens, items, "output");
  if (status != StatusCode::OK) return status;
  return runBatched(inputs, outputs, op, info);
}

template <typename Out>
StatusCode ModelImpl::inferBufferToFloatOf(const std::vector<std::vector<Buffer>>& inputs, Out& outputs,
                                           const Shapes& shapes, uint32_t cacheSize, const char* name) {
  TraceScope trace("infer");
  const CallScope scope(*this);
  if (!scope) return StatusCode::Model_NotLaunched;
  int32_t op = 0;
  SeqLenInfo info;
  StatusCode status = prepareBufferRequest(shapes, cacheSize, name, op, info);
  if (status != StatusCode::OK) return status;
  const NPUOpDesc& npu = npuOpDescs_[static_cast<size_t>(op)];
  if (inputs.empty()) {
    KLOG_ERROR("{} needs a buffer list per input.", name);
    return StatusCode::Model_ShapeMismatched;
  }
  if (noItems(inputs)) return StatusCode::OK;
  const size_t items = inputs[0].size();
  status = checkCallerBuffers(pool_, inputs, npu.inputs(), info.inputSeqlens, items, "input");
  if (status != StatusCode::OK) return status;
  const auto batch = static_cast<int32_t>(items);
  std::vector<halvex::Tensor> tensors;
  if constexpr (std::is_same_v<Out, std::vector<NDArray<float>>>)
    status = npu.acquireOutputData(outputs, tensors, batch, batch > 1, MemoryFormat::HWC, info.outputSeqlens);
  else
    status = npu.acquireOutputData(outputs, tensors, batch, MemoryFormat::HWC, info.outputSeqlens);
  if (status != StatusCode::OK) return status;
  std::vector<std::vector<Buffer>> buffers = acquireBufferss(pool_, npu, batch, info.outputSeqlens, false, status);
  if (status == StatusCode::OK) status = runBatched(inputs, buffers, op, info);
  for (size_t o = 0; o < tensors.size() && status == StatusCode::OK; ++o)
    status = buffersToTensor(tensors[o], buffers[o], o < npu.outputNames().size() ? npu.outputNames()[o] : "",
                             npu.outputs()[o], MemoryFormat::HWC, info.outputSeqlens[o]);
  pool_.freeHostMemory(buffers);
  return status;
}

StatusCode ModelImpl::inferBufferToFloat(const std::vector<std::vector<Buffer>>& inputs,
                                         std::vector<NDArray<float>>& outputs, const Shapes& shapes,
                                         uint32_t cacheSize) {
  return inferBufferToFloatOf(inputs, outputs, shapes, cacheSize, "inferBufferToFloat");
}

StatusCode ModelImpl::inferBufferToFloat(const std::vector<std::vector<Buffer>>& inputs,
                                         std::vector<std::vector<float>>& outputs, const Shapes& shapes,
                                         uint32_t cacheSize) {
  return inferBufferToFloatOf(inputs, outputs, shapes, cacheSize, "inferBufferToFloat");
}

StatusCode ModelImpl::runNPUModelTest(int variant, const std::vector<Buffer>& outputs) {
  TraceScope trace("infer");
  const CallScope scope(*this);
  if (!scope) return StatusCode::Model_NotLaunched;
  if (variant < 0 || variant >= getNumModelVariants()) {
    KLOG_ERROR("The specified model variant index ({}) is out of range. Please use a value between 0 and {} "
               "(inclusive).",
               variant, getNumModelVariants() - 1);
    return StatusCode::Model_InvalidVariantIdx;
  }
  const ModelDesc& desc = modelDescs_[static_cast<size_t>(variant)];
  if (!desc.isNpuOnly) {
    KLOG_ERROR("inferSpeedrun is not supported for a model with CPU-offload.");
    return StatusCode::Model_DtypeMismatched;
  }
  const int32_t op = desc.firstNpuOpIndex();
  const NPUOpDesc& npu = npuOpDescs_[static_cast<size_t>(op)];
  // The engine reads each output's whole buffer into it: only pool buffers,
  // for outputs the variant has.
  if (outputs.size() > npu.outputs().size()) {
    KLOG_ERROR("{} output buffers for {} outputs.", outputs.size(), npu.outputs().size());
    return StatusCode::Model_ShapeMismatched;
  }
  for (size_t o = 0; o < outputs.size(); ++o) {
    const uint64_t pooled = pool_.handedOutSize(outputs[o].data);
    if (pooled == 0) {
      KLOG_ERROR("Output buffer {} was not handed out by the model's memory pool.", o);
      return StatusCode::MemoryPool_BufNotFound;
    }
    if (outputs[o].size > pooled) {
      KLOG_ERROR("Output buffer {} claims {} bytes of a {}-byte block.", o, outputs[o].size, pooled);
      return StatusCode::Model_BufferSizeMismatched;
    }
  }
  NPUTask task;
  for (const Buffer& buf : outputs) task.outputs.push_back({buf});
  task.npuOpIndex = op;
  task.seqProduct = 1;
  task.memoryFormat = static_cast<uint8_t>(MemoryFormat::None);
  task.coreMode = config_.getCoreMode();
  task.cores = targetCores_;
  std::future<bool> done = task.result.get_future();
  if (!taskQueue_->push(std::move(task))) return StatusCode::Model_NotLaunched;
  return awaitTask(done) ? StatusCode::OK : StatusCode::Model_NotAlive;
}

std::vector<std::vector<Buffer>> ModelImpl::acquireInputBuffers(int variant, int batch,
                                                                const std::vector<std::vector<int>>& seqlens) const {
  const CallScope scope(*this);
  if (!scope || variant < 0 || variant >= getNumModelVariants()) return {};
  const NPUOpDesc& op = npuOpDescs_[static_cast<size_t>(modelDescs_[static_cast<size_t>(variant)].firstNpuOpIndex())];
  StatusCode status = StatusCode::OK;
  std::vector<std::vector<Buffer>> lists = acquireBufferss(pool_, op, batch, seqlens, true, status);
  if (status != StatusCode::OK) return {};
  for (const auto& list : lists)
    for (const Buffer& buf : list)
      if (buf.size > 0) std::memset(buf.data, 0, buf.size);
  return lists;
}

std::vector<Buffer> ModelImpl::acquireInputBuffer(int variant, const std::vector<std::vector<int>>& seqlens) const {
  return firstItems(acquireInputBuffers(variant, 1, seqlens));
}

std::vector<Buffer> ModelImpl::firstItems(std::vector<std::vector<Buffer>>&& lists) const {
  std::vector<Buffer> flat;
  try {
    flat.reserve(lists.size());
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("Failed to acquire a Buffer - out of host memory.");
    releaseBufferss(pool_, lists);
    return {};
  }
  for (const auto& list : lists) flat.push_back(list[0]);
  return flat;
}

std::vector<std::vector<Buffer>> ModelImpl::acquireOutputBuffers(int variant, int batch,
                                                                 const std::vector<std::vector<int>>& seqlens) const {
  const CallScope scope(*this);
  if (!scope || variant < 0 || variant >= getNumModelVariants()) return {};
  const NPUOpDesc& op = npuOpDescs_[static_cast<size_t>(modelDescs_[static_cast<size_t>(variant)].lastNpuOpIndex())];
  StatusCode status = StatusCode::OK;
  std::vector<std::vector<Buffer>> lists = acquireBufferss(pool_, op, batch, seqlens, false, status);
  if (status != StatusCode::OK) return {};
  return lists;
}

std::vector<Buffer> ModelImpl::acquireOutputBuffer(int variant, const std::vector<std::vector<int>>& seqlens) const {
  return firstItems(acquireOutputBuffers(variant, 1, seqlens));
}

StatusCode ModelImpl::releaseBuffer(std::vector<Buffer>& buffers) const {
  const CallScope scope(*this);
  if (!scope) return StatusCode::Model_NotLaunched;
  StatusCode status = StatusCode::OK;
  for (const Buffer& buf : buffers) {
    const StatusCode returned = pool_.freeHostMemory(buf);
    if (status == StatusCode::OK) status = returned;
  }
  if (status == StatusCode::OK) buffers.clear();
  return status;
}

StatusCode ModelImpl::releaseBuffers(std::vector<std::vector<Buffer>>& buffers) const {
  const CallScope scope(*this);
  if (!scope) return StatusCode::Model_NotLaunched;
  return pool_.freeHostMemory(buffers);
}

StatusCode ModelImpl::repositionInputs(int variant, const std::vector<float*>& inputs,
                                       std::vector<std::vector<Buffer>>& input_bufss,
                                       const std::vector<std::vector<int>>& seqlens) const {
  if (inputs.size() != input_bufss.size()) {
    KLOG_ERROR("Size of inputs and input_bufss is mismatched (inputs.size(): {}, input_bufss.size(): {}",
               inputs.size(), input_bufss.size());
    return StatusCode::Model_ShapeMismatched;
  }
  if (inputs.empty()) return StatusCode::OK;
  // The buffers are the pool's, which a dispose empties.
  const CallScope scope(*this);
  if (!scope) return StatusCode::Model_NotLaunched;
  if (variant < 0 || variant >= getNumModelVariants()) return StatusCode::Model_InvalidVariantIdx;
  const NPUOpDesc& op = npuOpDescs_[static_cast<size_t>(modelDescs_[static_cast<size_t>(variant)].firstNpuOpIndex())];
  const std::vector<IORecord>& records = op.inputs();
  if (inputs.size() != records.size()) {
    KLOG_ERROR("{} inputs for a variant of {} inputs.", inputs.size(), records.size());
    return StatusCode::Model_ShapeMismatched;
  }
  std::vector<SeqLensHWC> m;
  StatusCode status = repositionSeqLens(seqlens, op, true, m);
  for (size_t i = 0; i < inputs.size() && status == StatusCode::OK; ++i) {
    status = checkItemBuffers(pool_, input_bufss[i], records[i], m[i], i, "input");
    if (status == StatusCode::OK && inputs[i] == nullptr && !input_bufss[i].empty()) {
      KLOG_ERROR("Input {} has no data.", i);
      status = StatusCode::Model_ShapeMismatched;
    }
  }
  for (size_t i = 0; i < inputs.size() && status == StatusCode::OK; ++i) {
    const uint64_t count = itemElements(records[i], m[i]);
    for (size_t j = 0; j < input_bufss[i].size() && status == StatusCode::OK; ++j)
      status = repositionToNPU(input_bufss[i][j].data, inputs[i] + j * count, records[i], MemoryFormat::HWC, m[i]);
  }
  return status;
}

StatusCode ModelImpl::repositionOutputs(int variant, const std::vector<std::vector<Buffer>>& output_bufss,
                                        std::vector<float*>& outputs,
                                        const std::vector<std::vector<int>>& seqlens) const {
  if (outputs.size() != output_bufss.size()) {
    KLOG_ERROR("Size of outputs and output_bufss is mismatched (outputs.size(): {}, output_bufss.size(): {}",
               outputs.size(), output_bufss.size());
    return StatusCode::Model_ShapeMismatched;
  }
  if (outputs.empty()) return StatusCode::OK;
  const CallScope scope(*this);
  if (!scope) return StatusCode::Model_NotLaunched;
  if (variant < 0 || variant >= getNumModelVariants()) return StatusCode::Model_InvalidVariantIdx;
  const NPUOpDesc& op = npuOpDescs_[static_cast<size_t>(modelDescs_[static_cast<size_t>(variant)].lastNpuOpIndex())];
  const std::vector<IORecord>& records = op.outputs();
  if (outputs.size() != records.size()) {
    KLOG_ERROR("{} outputs for a variant of {} outputs.", outputs.size(), records.size());
    return StatusCode::Model_ShapeMismatched;
  }
  std::vector<SeqLensHWC> m;
  StatusCode status = repositionSeqLens(seqlens, op, false, m);
  for (size_t i = 0; i < outputs.size() && status == StatusCode::OK; ++i) {
    status = checkItemBuffers(pool_, output_bufss[i], records[i], m[i], i, "output");
    if (status == StatusCode::OK && outputs[i] == nullptr && !output_bufss[i].empty()) {
      KLOG_ERROR("Output {} has no room.", i);
      status = StatusCode::Model_ShapeMismatched;
    }
  }
  for (size_t i = 0; i < outputs.size() && status == StatusCode::OK; ++i) {
    const uint64_t count = itemElements(records[i], m[i]);
    for (size_t j = 0; j < output_bufss[i].size() && status == StatusCode::OK; ++j)
      status =
          repositionFromNPU(outputs[i] + j * count, output_bufss[i][j].data, records[i], MemoryFormat::HWC, m[i]);
  }
  return status;
}

StatusCode ModelImpl::repositionOutputs(int variant, const std::vector<std::vector<Buffer>>& output_bufss,
                                        std::vector<std::vector<float>>& outputs,
                                        const std::vector<std::vector<int>>& seqlens) const {
  if (variant < 0 || variant >= getNumModelVariants()) return StatusCode::Model_InvalidVariantIdx;
  const NPUOpDesc& op = npuOpDescs_[static_cast<size_t>(modelDescs_[static_cast<size_t>(variant)].lastNpuOpIndex())];
  const std::vector<IORecord>& records = op.outputs();
  if (output_bufss.size() != records.size()) {
    KLOG_ERROR("{} output buffer lists for a variant of {} outputs.", output_bufss.size(), records.size());
    return StatusCode::Model_ShapeMismatched;
  }
  std::vector<SeqLensHWC> m;
  const StatusCode status = repositionSeqLens(seqlens, op, false, m);
  if (status != StatusCode::OK) return status;
  std::vector<float*> pointers;
  try {
    outputs.resize(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
      const uint64_t elements = output_bufss[i].size() * itemElements(records[i], m[i]);
      platform::takeHostAllowanceOrThrow(elements * sizeof(float));
      outputs[i].resize(elements);
      pointers.push_back(outputs[i].data());
    }
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("Failed to allocate the output lists.");
    return StatusCode::BadAlloc;
  }
  return repositionOutputs(variant, output_bufss, pointers, seqlens);
}

}  // namespace kestrane
