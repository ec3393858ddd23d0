#include "kestrane/model_variant_handle.h"

#include "core/guarded_call.h"
#include "core/log.h"
#include "model/model_impl.h"

namespace kestrane {

namespace {

std::vector<std::vector<Buffer>> oneItemEach(const std::vector<Buffer>& buffers) {
  std::vector<std::vector<Buffer>> lists;
  lists.reserve(buffers.size());
  for (const Buffer& buf : buffers) lists.push_back({buf});
  return lists;
}

}  // namespace

std::unique_ptr<ModelVariantHandle> ModelImpl::getModelVariantHandle(int variant, StatusCode& status) const {
  if (variant < 0 || variant >= getNumModelVariants()) {
    KLOG_ERROR("The specified model variant index ({}) is out of range. Please use a value between 0 and {} "
               "(inclusive).",
               variant, getNumModelVariants() - 1);
    status = StatusCode::Model_InvalidVariantIdx;
    return nullptr;
  }
  status = StatusCode::OK;
  return std::unique_ptr<ModelVariantHandle>(new ModelVariantHandle(variant, *this));
}

const std::vector<std::vector<int64_t>>& ModelVariantHandle::getModelInputShape() const {
  return model_->getModelInputShape(variant_);
}
const std::vector<std::vector<int64_t>>& ModelVariantHandle::getModelOutputShape() const {
  return model_->getModelOutputShape(variant_);
}
const std::vector<BufferInfo>& ModelVariantHandle::getInputBufferInfo() const {
  return model_->getInputBufferInfo(variant_);
}
const std::vector<BufferInfo>& ModelVariantHandle::getOutputBufferInfo() const {
  return model_->getOutputBufferInfo(variant_);
}
std::vector<Scale> ModelVariantHandle::getInputScale() { return model_->getInputScale(static_cast<size_t>(variant_)); }
std::vector<Scale> ModelVariantHandle::getOutputScale() {
  return model_->getOutputScale(static_cast<size_t>(variant_));
}

std::vector<Buffer> ModelVariantHandle::acquireInputBuffer(const std::vector<std::vector<int>>& seqlens) const {
  return model_->acquireInputBuffer(variant_, seqlens);
}
std::vector<std::vector<Buffer>> ModelVariantHandle::acquireInputBuffers(
    int batch, const std::vector<std::vector<int>>& seqlens) const {
  return model_->acquireInputBuffers(variant_, batch, seqlens);
}
std::vector<Buffer> ModelVariantHandle::acquireOutputBuffer(const std::vector<std::vector<int>>& seqlens) const {
  return model_->acquireOutputBuffer(variant_, seqlens);
}
std::vector<std::vector<Buffer>> ModelVariantHandle::acquireOutputBuffers(
    int batch, const std::vector<std::vector<int>>& seqlens) const {
  return model_->acquireOutputBuffers(variant_, batch, seqlens);
}
StatusCode ModelVariantHandle::releaseBuffer(std::vector<Buffer>& buffers) const {
  return guardedCall("ModelVariantHandle::releaseBuffer", [&] { return model_->releaseBuffer(buffers); });
}
StatusCode ModelVariantHandle::releaseBuffers(std::vector<std::vector<Buffer>>& buffers) const {
  return guardedCall("ModelVariantHandle::releaseBuffers", [&] { return model_->releaseBuffers(buffers); });
}

StatusCode ModelVariantHandle::repositionInputs(const std::vector<float*>& inputs, std::vector<Buffer>& input_bufs,
                                                const std::vector<std::vector<int>>& seqlens) const {
  return guardedCall("ModelVariantHandle::repositionInputs", [&] {
    std::vector<std::vector<Buffer>> lists = oneItemEach(input_bufs);
    return model_->repositionInputs(variant_, inputs, lists, seqlens);
  });
}
StatusCode ModelVariantHandle::repositionInputs(const std::vector<float*>& inputs,
                                                std::vector<std::vector<Buffer>>& input_bufss,
                                                const std::vector<std::vector<int>>& seqlens) const {
  return guardedCall("ModelVariantHandle::repositionInputs",
                     [&] { return model_->repositionInputs(variant_, inputs, input_bufss, seqlens); });
}
StatusCode ModelVariantHandle::repositionOutputs(const std::vector<Buffer>& output_bufs, std::vector<float*>& outputs,
                                                 const std::vector<std::vector<int>>& seqlens) const {
  return guardedCall("ModelVariantHandle::repositionOutputs",
                     [&] { return model_->repositionOutputs(variant_, oneItemEach(output_bufs), outputs, seqlens); });
}
StatusCode ModelVariantHandle::repositionOutputs(const std::vector<Buffer>& output_bufs,
                                                 std::vector<std::vector<float>>& outputs,
                                                 const std::vector<std::vector<int>>& seqlens) const {
  return guardedCall("ModelVariantHandle::repositionOutputs",
                     [&] { return model_->repositionOutputs(variant_, oneItemEach(output_bufs), outputs, seqlens); });
}
StatusCode ModelVariantHandle::repositionOutputs(const std::vector<std::vector<Buffer>>& output_bufss,
                                                 std::vector<float*>& outputs,
                                                 const std::vector<std::vector<int>>& seqlens) const {
  return guardedCall("ModelVariantHandle::repositionOutputs",
                     [&] { return model_->repositionOutputs(variant_, output_bufss, outputs, seqlens); });
}
StatusCode ModelVariantHandle::repositionOutputs(const std::vector<std::vector<Buffer>>& output_bufss,
                                                 std::vector<std::vector<float>>& outputs,
                                                 const std::vector<std::vector<int>>& seqlens) const {
  return guardedCall("ModelVariantHandle::repositionOutputs",
                     [&] { return model_->repositionOutputs(variant_, output_bufss, outputs, seqlens); });
}

}  // namespace kestrane
