// The public Model: every call forwards to its ModelImpl with the memory
// format its name gives (HWC, or CHW for the CHW forms).

#include "kestrane/model.h"

#include "core/guarded_call.h"
#include "kestrane/acc.h"
#include "model/model_impl.h"

namespace kestrane {

namespace {

constexpr MemoryFormat kHWC = MemoryFormat::HWC;
constexpr MemoryFormat kCHW = MemoryFormat::CHW;

// A returning form: the list the out form fills, its status in `sc`.
template <typename Out, typename Call>
Out returning(const char* name, StatusCode& sc, Call call) {
  Out out;
  sc = guardedCall(name, [&] { return call(out); });
  return out;
}

std::vector<std::vector<Buffer>> oneItemEach(const std::vector<Buffer>& buffers) {
  std::vector<std::vector<Buffer>> lists;
  lists.reserve(buffers.size());
  for (const Buffer& buf : buffers) lists.push_back({buf});
  return lists;
}

}  // namespace

using FloatArrays = std::vector<NDArray<float>>;
using Int8Arrays = std::vector<NDArray<int8_t>>;
using FloatLists = std::vector<std::vector<float>>;
using Int8Lists = std::vector<std::vector<int8_t>>;

Model::Model() = default;
Model::Model(std::unique_ptr<ModelImpl> impl) : impl_(std::move(impl)) {}
Model::Model(Model&& other) noexcept = default;
Model& Model::operator=(Model&& other) noexcept = default;
Model::~Model() = default;

std::unique_ptr<Model> Model::create(const std::string& path, StatusCode& sc) {
  std::unique_ptr<Model> model;
  sc = guardedCall("Model::create", [&] {  // the default configuration allocates too
    model = create(path, ModelConfig(), sc);
    return sc;
  });
  return model;
}

std::unique_ptr<Model> Model::create(const std::string& path, const ModelConfig& config, StatusCode& sc) {
  std::unique_ptr<Model> model;
  sc = guardedCall("Model::create", [&] {
    StatusCode status = StatusCode::InternalError;
    auto impl = ModelImpl::create(path, config, status);
    if (impl) model.reset(new Model(std::move(impl)));
    return status;
  });
  return model;
}

StatusCode Model::launch(Accelerator& acc) {
  return guardedCall("Model::launch", [&] { return impl_->launch(acc.impl()); });
}
StatusCode Model::dispose() {
  return guardedCall("Model::dispose", [&] { return impl_->dispose(); });
}

uint32_t Model::getIdentifier() const { return impl_->getIdentifier(); }
std::string Model::getModelPath() { return impl_->path(); }
CoreMode Model::getCoreMode() { return impl_->getCoreMode(); }
SchedulePolicy Model::getSchedulePolicy() { return impl_->config().schedule_policy; }
LatencySetPolicy Model::getLatencySetPolicy() { return impl_->config().latency_set_policy; }
MaintenancePolicy Model::getMaintenancePolicy() { return impl_->config().maintenance_policy; }
uint64_t Model::getLatencyConsumed(int bundle) const {
  return bundle < 0 || static_cast<size_t>(bundle) >= impl_->variantCount()
             ? 0
             : impl_->consumedLatency(static_cast<size_t>(bundle));
}
uint64_t Model::getLatencyFinished(int bundle) const {
  return bundle < 0 || static_cast<size_t>(bundle) >= impl_->variantCount()
             ? 0
             : impl_->finishedLatency(static_cast<size_t>(bundle));
}
std::vector<CoreId> Model::getTargetCores() { return impl_->targetCores(); }
bool Model::isTarget(CoreId core) const { return impl_->hasTargetCore(core); }
int Model::getNumModelVariants() const { return impl_->getNumModelVariants(); }
std::unique_ptr<ModelVariantHandle> Model::getModelVariantHandle(int variant, StatusCode& sc) {
  std::unique_ptr<ModelVariantHandle> handle;
  sc = guardedCall("Model::getModelVariantHandle", [&] {
    StatusCode status = StatusCode::InternalError;
    handle = impl_->getModelVariantHandle(variant, status);
    return status;
  });
  return handle;
}
const Model::Shapes& Model::getModelInputShape() const { return impl_->getModelInputShape(0); }
const Model::Shapes& Model::getModelOutputShape() const { return impl_->getModelOutputShape(0); }
const std::vector<BufferInfo>& Model::getInputBufferInfo() const { return impl_->getInputBufferInfo(0); }
const std::vector<BufferInfo>& Model::getOutputBufferInfo() const { return impl_->getOutputBufferInfo(0); }
std::vector<Scale> Model::getInputScale() { return impl_->getInputScale(0); }
std::vector<Scale> Model::getOutputScale() { return impl_->getOutputScale(0); }
std::vector<CacheInfo> Model::getCacheInfos() { return impl_->getCacheInfos(); }
std::shared_ptr<Statistics> Model::getStatistics() { return nullptr; }

// ---- Arrays ----

StatusCode Model::infer(const FloatArrays& in, FloatArrays& out) {
  return guardedCall("Model::infer", [&] { return impl_->infer(in, out, kHWC, 0); });
}
StatusCode Model::infer(const FloatArrays& in, FloatArrays& out, uint32_t cache) {
  return guardedCall("Model::infer", [&] { return impl_->infer(in, out, kHWC, cache); });
}
FloatArrays Model::infer(const FloatArrays& in, StatusCode& sc) {
  return returning<FloatArrays>("Model::infer", sc, [&](FloatArrays& out) { return impl_->infer(in, out, kHWC, 0); });
}
FloatArrays Model::infer(const FloatArrays& in, uint32_t cache, StatusCode& sc) {
  return returning<FloatArrays>("Model::infer", sc,
                                [&](FloatArrays& out) { return impl_->infer(in, out, kHWC, cache); });
}
StatusCode Model::inferCHW(const FloatArrays& in, FloatArrays& out) {
  return guardedCall("Model::inferCHW", [&] { return impl_->infer(in, out, kCHW, 0); });
}
StatusCode Model::inferCHW(const FloatArrays& in, FloatArrays& out, uint32_t cache) {
  return guardedCall("Model::inferCHW", [&] { return impl_->infer(in, out, kCHW, cache); });
}
FloatArrays Model::inferCHW(const FloatArrays& in, StatusCode& sc) {
  return returning<FloatArrays>("Model::inferCHW", sc,
                                [&](FloatArrays& out) { return impl_->infer(in, out, kCHW, 0); });
}
FloatArrays Model::inferCHW(const FloatArrays& in, uint32_t cache, StatusCode& sc) {
  return returning<FloatArrays>("Model::inferCHW", sc,
                                [&](FloatArrays& out) { return impl_->infer(in, out, kCHW, cache); });
}

StatusCode Model::infer(const Int8Arrays& in, Int8Arrays& out) {
  return guardedCall("Model::infer", [&] { return impl_->infer(in, out, kHWC, 0); });
}
StatusCode Model::infer(const Int8Arrays& in, Int8Arrays& out, uint32_t cache) {
  return guardedCall("Model::infer", [&] { return impl_->infer(in, out, kHWC, cache); });
}
Int8Arrays Model::infer(const Int8Arrays& in, StatusCode& sc) {
  return returning<Int8Arrays>("Model::infer", sc, [&](Int8Arrays& out) { return impl_->infer(in, out, kHWC, 0); });
}
Int8Arrays Model::infer(const Int8Arrays& in, uint32_t cache, StatusCode& sc) {
  return returning<Int8Arrays>("Model::infer", sc, [&](Int8Arrays& out) { return impl_->infer(in, out, kHWC, cache); });
}
StatusCode Model::inferCHW(const Int8Arrays& in, Int8Arrays& out) {
  return guardedCall("Model::inferCHW", [&] { return impl_->infer(in, out, kCHW, 0); });
}
StatusCode Model::inferCHW(const Int8Arrays& in, Int8Arrays& out, uint32_t cache) {
  return guardedCall("Model::inferCHW", [&] { return impl_->infer(in, out, kCHW, cache); });
}
Int8Arrays Model::inferCHW(const Int8Arrays& in, StatusCode& sc) {
  return returning<Int8Arrays>("Model::inferCHW", sc, [&](Int8Arrays& out) { return impl_->infer(in, out, kCHW, 0); });
}
Int8Arrays Model::inferCHW(const Int8Arrays& in, uint32_t cache, StatusCode& sc) {
  return returning<Int8Arrays>("Model::inferCHW", sc,
                               [&](Int8Arrays& out) { return impl_->infer(in, out, kCHW, cache); });
}

FloatArrays Model::inferToFloat(const Int8Arrays& in, StatusCode& sc) {
  return returning<FloatArrays>("Model::inferToFloat", sc,
                                [&](FloatArrays& out) { return impl_->infer(in, out, kHWC, 0); });
}
FloatArrays Model::inferToFloat(const Int8Arrays& in, uint32_t cache, StatusCode& sc) {
  return returning<FloatArrays>("Model::inferToFloat", sc,
                                [&](FloatArrays& out) { return impl_->infer(in, out, kHWC, cache); });
}
FloatArrays Model::inferCHWToFloat(const Int8Arrays& in, StatusCode& sc) {
  return returning<FloatArrays>("Model::inferCHWToFloat", sc,
                                [&](FloatArrays& out) { return impl_->infer(in, out, kCHW, 0); });
}
FloatArrays Model::inferCHWToFloat(const Int8Arrays& in, uint32_t cache, StatusCode& sc) {
  return returning<FloatArrays>("Model::inferCHWToFloat", sc,
                                [&](FloatArrays& out) { return impl_->infer(in, out, kCHW, cache); });
}

// ---- Pointers with shapes ----

using Floats = std::vector<float*>;
using Int8s = std::vector<int8_t*>;

StatusCode Model::infer(const Floats& in, const Shapes& s, FloatLists& out) {
  return guardedCall("Model::infer", [&] { return impl_->infer(in, s, out, kHWC, 0); });
}
StatusCode Model::infer(const Floats& in, const Shapes& s, FloatLists& out, uint32_t cache) {
  return guardedCall("Model::infer", [&] { return impl_->infer(in, s, out, kHWC, cache); });
}
FloatLists Model::infer(const Floats& in, const Shapes& s, StatusCode& sc) {
  return returning<FloatLists>("Model::infer", sc, [&](FloatLists& out) { return impl_->infer(in, s, out, kHWC, 0); });
}
FloatLists Model::infer(const Floats& in, const Shapes& s, uint32_t cache, StatusCode& sc) {
  return returning<FloatLists>("Model::infer", sc,
                               [&](FloatLists& out) { return impl_->infer(in, s, out, kHWC, cache); });
}
StatusCode Model::inferCHW(const Floats& in, const Shapes& s, FloatLists& out) {
  return guardedCall("Model::inferCHW", [&] { return impl_->infer(in, s, out, kCHW, 0); });
}
StatusCode Model::inferCHW(const Floats& in, const Shapes& s, FloatLists& out, uint32_t cache) {
  return guardedCall("Model::inferCHW", [&] { return impl_->infer(in, s, out, kCHW, cache); });
}
FloatLists Model::inferCHW(const Floats& in, const Shapes& s, StatusCode& sc) {
  return returning<FloatLists>("Model::inferCHW", sc,
                               [&](FloatLists& out) { return impl_->infer(in, s, out, kCHW, 0); });
}
FloatLists Model::inferCHW(const Floats& in, const Shapes& s, uint32_t cache, StatusCode& sc) {
  return returning<FloatLists>("Model::inferCHW", sc,
                               [&](FloatLists& out) { return impl_->infer(in, s, out, kCHW, cache); });
}

StatusCode Model::infer(const Int8s& in, const Shapes& s, Int8Lists& out) {
  return guardedCall("Model::infer", [&] { return impl_->infer(in, s, out, kHWC, 0); });
}
StatusCode Model::infer(const Int8s& in, const Shapes& s, Int8Lists& out, uint32_t cache) {
  return guardedCall("Model::infer", [&] { return impl_->infer(in, s, out, kHWC, cache); });
}
Int8Lists Model::infer(const Int8s& in, const Shapes& s, StatusCode& sc) {
  return returning<Int8Lists>("Model::infer", sc, [&](Int8Lists& out) { return impl_->infer(in, s, out, kHWC, 0); });
}
Int8Lists Model::infer(const Int8s& in, const Shapes& s, uint32_t cache, StatusCode& sc) {
  return returning<Int8Lists>("Model::infer", sc,
                              [&](Int8Lists& out) { return impl_->infer(in, s, out, kHWC, cache); });
}
StatusCode Model::inferCHW(const Int8s& in, const Shapes& s, Int8Lists& out) {
  return guardedCall("Model::inferCHW", [&] { return impl_->infer(in, s, out, kCHW, 0); });
}
StatusCode Model::inferCHW(const Int8s& in, const Shapes& s, Int8Lists& out, uint32_t cache) {
  return guardedCall("Model::inferCHW", [&] { return impl_->infer(in, s, out, kCHW, cache); });
}
Int8Lists Model::inferCHW(const Int8s& in, const Shapes& s, StatusCode& sc) {
  return returning<Int8Lists>("Model::inferCHW", sc, [&](Int8Lists& out) { return impl_->infer(in, s, out, kCHW, 0); });
}
Int8Lists Model::inferCHW(const Int8s& in, const Shapes& s, uint32_t cache, StatusCode& sc) {
  return returning<Int8Lists>("Model::inferCHW", sc,
                              [&](Int8Lists& out) { return impl_->infer(in, s, out, kCHW, cache); });
}

FloatLists Model::inferToFloat(const Int8s& in, const Shapes& s, StatusCode& sc) {
  return returning<FloatLists>("Model::inferToFloat", sc,
                               [&](FloatLists& out) { return impl_->infer(in, s, out, kHWC, 0); });
}
FloatLists Model::inferToFloat(const Int8s& in, const Shapes& s, uint32_t cache, StatusCode& sc) {
  return returning<FloatLists>("Model::inferToFloat", sc,
                               [&](FloatLists& out) { return impl_->infer(in, s, out, kHWC, cache); });
}
FloatLists Model::inferCHWToFloat(const Int8s& in, const Shapes& s, StatusCode& sc) {
  return returning<FloatLists>("Model::inferCHWToFloat", sc,
                               [&](FloatLists& out) { return impl_->infer(in, s, out, kCHW, 0); });
}
FloatLists Model::inferCHWToFloat(const Int8s& in, const Shapes& s, uint32_t cache, StatusCode& sc) {
  return returning<FloatLists>("Model::inferCHWToFloat", sc,
                               [&](FloatLists& out) { return impl_->infer(in, s, out, kCHW, cache); });
}

// ---- Pointers without shapes: one item, or `batch` items ----

StatusCode Model::infer(const Floats& in, FloatLists& out) {
  return guardedCall("Model::infer", [&] { return impl_->infer(in, 1, out, kHWC, 0); });
}
FloatLists Model::infer(const Floats& in, StatusCode& sc) {
  return returning<FloatLists>("Model::infer", sc, [&](FloatLists& out) { return impl_->infer(in, 1, out, kHWC, 0); });
}
StatusCode Model::inferCHW(const Floats& in, FloatLists& out) {
  return guardedCall("Model::inferCHW", [&] { return impl_->infer(in, 1, out, kCHW, 0); });
}
FloatLists Model::inferCHW(const Floats& in, StatusCode& sc) {
  return returning<FloatLists>("Model::inferCHW", sc,
                               [&](FloatLists& out) { return impl_->infer(in, 1, out, kCHW, 0); });
}
StatusCode Model::infer(const Int8s& in, Int8Lists& out) {
  return guardedCall("Model::infer", [&] { return impl_->infer(in, 1, out, kHWC, 0); });
}
Int8Lists Model::infer(const Int8s& in, StatusCode& sc) {
  return returning<Int8Lists>("Model::infer", sc, [&](Int8Lists& out) { return impl_->infer(in, 1, out, kHWC, 0); });
}
StatusCode Model::inferCHW(const Int8s& in, Int8Lists& out) {
  return guardedCall("Model::inferCHW", [&] { return impl_->infer(in, 1, out, kCHW, 0); });
}
Int8Lists Model::inferCHW(const Int8s& in, StatusCode& sc) {
  return returning<Int8Lists>("Model::inferCHW", sc, [&](Int8Lists& out) { return impl_->infer(in, 1, out, kCHW, 0); });
}
FloatLists Model::inferToFloat(const Int8s& in, StatusCode& sc) {
  return returning<FloatLists>("Model::inferToFloat", sc,
                               [&](FloatLists& out) { return impl_->infer(in, 1, out, kHWC, 0); });
}
FloatLists Model::inferCHWToFloat(const Int8s& in, StatusCode& sc) {
  return returning<FloatLists>("Model::inferCHWToFloat", sc,
                               [&](FloatLists& out) { return impl_->infer(in, 1, out, kCHW, 0); });
}
FloatLists Model::infer(const Floats& in, int batch, StatusCode& sc) {
  return returning<FloatLists>("Model::infer", sc,
                               [&](FloatLists& out) { return impl_->infer(in, batch, out, kHWC, 0); });
}
StatusCode Model::infer(const Floats& in, int batch, FloatLists& out) {
  return guardedCall("Model::infer", [&] { return impl_->infer(in, batch, out, kHWC, 0); });
}
StatusCode Model::inferHeightBatch(const Floats& in, int batch, FloatLists& out) {
  return guardedCall("Model::inferHeightBatch", [&] { return impl_->infer(in, batch, out, kHWC, 0); });
}

// ---- Buffers ----

StatusCode Model::inferBuffer(const std::vector<Buffer>& inputs, std::vector<Buffer>& outputs, const Shapes& shapes,
                              uint32_t cache) {
  return guardedCall("Model::inferBuffer", [&] {
    if (inputs.empty()) return impl_->runNPUModelTest(0, outputs);
    std::vector<std::vector<Buffer>> outs = oneItemEach(outputs);
    return impl_->inferBuffer(oneItemEach(inputs), outs, shapes, cache);
  });
}
StatusCode Model::inferBuffer(const std::vector<std::vector<Buffer>>& inputs, std::vector<std::vector<Buffer>>& outputs,
                              const Shapes& shapes, uint32_t cache) {
  return guardedCall("Model::inferBuffer", [&] { return impl_->inferBuffer(inputs, outputs, shapes, cache); });
}
StatusCode Model::inferBufferToFloat(const std::vector<Buffer>& inputs, FloatArrays& outputs, const Shapes& shapes,
                                     uint32_t cache) {
  return guardedCall("Model::inferBufferToFloat",
                     [&] { return impl_->inferBufferToFloat(oneItemEach(inputs), outputs, shapes, cache); });
}
StatusCode Model::inferBufferToFloat(const std::vector<Buffer>& inputs, FloatLists& outputs, const Shapes& shapes,
                                     uint32_t cache) {
  return guardedCall("Model::inferBufferToFloat",
                     [&] { return impl_->inferBufferToFloat(oneItemEach(inputs), outputs, shapes, cache); });
}
StatusCode Model::inferBufferToFloat(const std::vector<std::vector<Buffer>>& inputs, FloatArrays& outputs,
                                     const Shapes& shapes, uint32_t cache) {
  return guardedCall("Model::inferBufferToFloat",
                     [&] { return impl_->inferBufferToFloat(inputs, outputs, shapes, cache); });
}
StatusCode Model::inferBufferToFloat(const std::vector<std::vector<Buffer>>& inputs, FloatLists& outputs,
                                     const Shapes& shapes, uint32_t cache) {
  return guardedCall("Model::inferBufferToFloat",
                     [&] { return impl_->inferBufferToFloat(inputs, outputs, shapes, cache); });
}
StatusCode Model::inferSpeedrun(int variant) {
  return guardedCall("Model::inferSpeedrun", [&] { return impl_->inferSpeedrun(variant); });
}

std::vector<Buffer> Model::acquireInputBuffer(const std::vector<std::vector<int>>& seqlens) const {
  return impl_->acquireInputBuffer(0, seqlens);
}
std::vector<std::vector<Buffer>> Model::acquireInputBuffers(int batch,
                                                            const std::vector<std::vector<int>>& seqlens) const {
  return impl_->acquireInputBuffers(0, batch, seqlens);
}
std::vector<Buffer> Model::acquireOutputBuffer(const std::vector<std::vector<int>>& seqlens) const {
  return impl_->acquireOutputBuffer(0, seqlens);
}
std::vector<std::vector<Buffer>> Model::acquireOutputBuffers(int batch,
                                                             const std::vector<std::vector<int>>& seqlens) const {
  return impl_->acquireOutputBuffers(0, batch, seqlens);
}
StatusCode Model::releaseBuffer(std::vector<Buffer>& buffers) const {
  return guardedCall("Model::releaseBuffer", [&] { return impl_->releaseBuffer(buffers); });
}
StatusCode Model::releaseBuffers(std::vector<std::vector<Buffer>>& buffers) const {
  return guardedCall("Model::releaseBuffers", [&] { return impl_->releaseBuffers(buffers); });
}
StatusCode Model::repositionInputs(const Floats& inputs, std::vector<Buffer>& input_bufs,
                                   const std::vector<std::vector<int>>& seqlens) const {
  return guardedCall("Model::repositionInputs", [&] {
    std::vector<std::vector<Buffer>> lists = oneItemEach(input_bufs);
    return impl_->repositionInputs(0, inputs, lists, seqlens);
  });
}
StatusCode Model::repositionInputs(const Floats& inputs, std::vector<std::vector<Buffer>>& input_bufss,
                                   const std::vector<std::vector<int>>& seqlens) const {
  return guardedCall("Model::repositionInputs",
                     [&] { return impl_->repositionInputs(0, inputs, input_bufss, seqlens); });
}
StatusCode Model::repositionOutputs(const std::vector<Buffer>& output_bufs, Floats& outputs,
                                    const std::vector<std::vector<int>>& seqlens) const {
  return guardedCall("Model::repositionOutputs",
                     [&] { return impl_->repositionOutputs(0, oneItemEach(output_bufs), outputs, seqlens); });
}
StatusCode Model::repositionOutputs(const std::vector<Buffer>& output_bufs, FloatLists& outputs,
                                    const std::vector<std::vector<int>>& seqlens) const {
  return guardedCall("Model::repositionOutputs",
                     [&] { return impl_->repositionOutputs(0, oneItemEach(output_bufs), outputs, seqlens); });
}
StatusCode Model::repositionOutputs(const std::vector<std::vector<Buffer>>& output_bufss, Floats& outputs,
                                    const std::vector<std::vector<int>>& seqlens) const {
  return guardedCall("Model::repositionOutputs",
                     [&] { return impl_->repositionOutputs(0, output_bufss, outputs, seqlens); });
}
StatusCode Model::repositionOutputs(const std::vector<std::vector<Buffer>>& output_bufss, FloatLists& outputs,
                                    const std::vector<std::vector<int>>& seqlens) const {
  return guardedCall("Model::repositionOutputs",
                     [&] { return impl_->repositionOutputs(0, output_bufss, outputs, seqlens); });
}

}  // namespace kestrane
