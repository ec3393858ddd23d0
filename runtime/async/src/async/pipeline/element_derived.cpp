#include "async/pipeline/element_derived.h"

#include <algorithm>
#include <array>
#include <future>
#include <initializer_list>
#include <utility>

#include "core/log.h"
#include "dataplane/buffer_tensor_conversion.h"

namespace kestrane {

namespace {

// Asynchronous requests carry no sequence lengths: every multiplier is 1.
const SeqLensHWC kNoSequence = {1, 1, 1};

const std::string& nameAt(const std::vector<std::string>& names, size_t i) {
  static const std::string none;
  return i < names.size() ? names[i] : none;
}

// Hands on a failed job in place of `job`, whose buffers went back already.
void failInto(PipelineJob& job, StatusCode status) { job = PipelineJob::failed(job.jobId, status); }

using BufferLists = std::vector<std::vector<Buffer>>;

// The buffer lists an element's call holds. Whatever is still in them when
// the call ends goes back to the pool, after the task that may still write
// into them has ended: so an exception on the way (memory, a broken promise)
// loses no buffer. The ordinary ways out hand the lists on, or return them
// before a failed job is passed on, and leave them empty.
class HeldBuffers {
 public:
  // Up to four lists, kept in place: making the guard allocates nothing, so
  // it holds the buffers a job brought in from the start.
  HeldBuffers(PipelinePool& pool, std::initializer_list<BufferLists*> lists, std::future<bool>* task = nullptr)
      : pool_(pool), task_(task) {
    for (BufferLists* list : lists)
      if (count_ < lists_.size()) lists_[count_++] = list;
  }
  ~HeldBuffers() {
    const auto held = [](const BufferLists* l) { return !l->empty(); };
    if (!std::any_of(lists_.begin(), lists_.begin() + count_, held)) return;
    if (task_ != nullptr && task_->valid()) task_->wait();
    for (size_t i = 0; i < count_; ++i) pool_.freeHostMemory(*lists_[i]);
  }
  HeldBuffers(const HeldBuffers&) = delete;
  HeldBuffers& operator=(const HeldBuffers&) = delete;

 private:
  PipelinePool& pool_;
  std::array<BufferLists*, 4> lists_{};
  size_t count_ = 0;
  std::future<bool>* task_;
};

}  // namespace

// ---- NPUOpElement ----

NPUOpElement::NPUOpElement(std::string name, const PipelineModel& model, std::shared_ptr<TaskQueue> taskQueue,
                           PipelinePool& pool, CoreMode coreMode, std::vector<CoreId> cores)
    : PipelineElement(std::move(name)),
      model_(model),
      taskQueue_(std::move(taskQueue)),
      pool_(pool),
      coreMode_(coreMode),
      cores_(std::move(cores)) {}

void NPUOpElement::chain(PipelineJob& job) {
  if (job.status != StatusCode::OK) return passOn(job);
  BufferLists outputs;
  PipelineJob queued;
  HeldBuffers held(pool_, {&job.inputBuffers, &outputs, &queued.inputBuffers, &queued.outputBuffers},
                   &queued.taskFuture);
  StatusCode status = StatusCode::InternalError;
  if (model_.hasNpuOp(job.npuOpIndex)) outputs = model_.acquireNpuBuffers(pool_, job.npuOpIndex, false, status);
  if (status != StatusCode::OK) {
    pool_.freeHostMemory(job.inputBuffers);
    failInto(job, status);
    return passOn(job);
  }
  NPUTask task;
  task.inputs = job.inputBuffers;
  task.outputs = outputs;
  task.npuOpIndex = job.npuOpIndex;
  task.itemCount = 1;
  task.coreMode = coreMode_;
  task.cores = cores_;
  // No wait here: the next queue carries the job while the NPU works.
  queued.jobId = job.jobId;
  queued.memoryFormat = job.memoryFormat;
  queued.inputIs4D = job.inputIs4D;
  queued.outputDtype = job.outputDtype;
  queued.npuOpIndex = job.npuOpIndex;
  queued.taskFuture = task.result.get_future();
  if (!taskQueue_ || !taskQueue_->push(std::move(task))) {
    pool_.freeHostMemory(job.inputBuffers);
    pool_.freeHostMemory(outputs);
    failInto(job, StatusCode::Model_NotLaunched);
    return passOn(job);
  }
  queued.inputBuffers = std::exchange(job.inputBuffers, {});
  queued.outputBuffers = std::exchange(outputs, {});
  passOn(queued);
}

// ---- InputRepositionElement ----

bool InputRepositionElement::check() const {
  if (dynamic_cast<const NPUOpElement*>(next()) != nullptr) return true;
  KLOG_ERROR("Next element of input reposition element must be NPUOpElement type. But it is not.");
  return false;
}

void InputRepositionElement::chain(PipelineJob& job) {
  if (job.status != StatusCode::OK) return passOn(job);
  auto& npu = static_cast<NPUOpElement&>(*next());
  const PipelineModel& model = npu.model();
  const int32_t op = job.npuOpIndex;
  if (!model.hasNpuOp(op) || job.tensors.size() != model.npuInputs(op).size()) {
    KLOG_ERROR("Job {} does not fit NPU operation {}.", job.jobId, job.npuOpIndex);
    failInto(job, StatusCode::InternalError);
    return passOn(job);
  }
  StatusCode status = StatusCode::OK;
  BufferLists inputs;
  PipelineJob repositioned;
  HeldBuffers held(npu.pool(), {&inputs, &repositioned.inputBuffers});
  inputs = model.acquireNpuBuffers(npu.pool(), op, true, status);
  for (size_t i = 0; status == StatusCode::OK && i < inputs.size(); ++i)
    status = tensorToBuffers(inputs[i], job.tensors[i], nameAt(model.npuInputNames(op), i), model.npuInputs(op)[i],
                             job.memoryFormat, kNoSequence);
  if (status != StatusCode::OK) {
    npu.pool().freeHostMemory(inputs);
    failInto(job, status);
    return passOn(job);
  }
  // The data now lives in the buffers; the views and arrays stay with the
  // incoming job until this call returns.
  repositioned.jobId = job.jobId;
  repositioned.memoryFormat = job.memoryFormat;
  repositioned.inputIs4D = job.inputIs4D;
  repositioned.outputDtype = job.outputDtype;
  repositioned.npuOpIndex = job.npuOpIndex;
  repositioned.inputBuffers = std::exchange(inputs, {});
  passOn(repositioned);
}

// ---- OutputRepositionElement ----

bool OutputRepositionElement::check() const {
  if (prev() != nullptr && dynamic_cast<const NPUOpElement*>(prev()->prev()) != nullptr) return true;
  KLOG_ERROR(
      "Previous element of previous element of output reposition element must be NPUOpElement type. But it is not.");
  return false;
}

const NPUOpElement& OutputRepositionElement::npu() const { return static_cast<const NPUOpElement&>(*prev()->prev()); }

void OutputRepositionElement::chain(PipelineJob& job) {
  if (job.status != StatusCode::OK) return passOn(job);
  PipelinePool& pool = npu().pool();
  std::future<bool> done = std::move(job.taskFuture);
  HeldBuffers held(pool, {&job.inputBuffers, &job.outputBuffers}, &done);
  if (!done.valid()) {
    pool.freeHostMemory(job.inputBuffers);
    pool.freeHostMemory(job.outputBuffers);
    failInto(job, StatusCode::InternalError);
    return passOn(job);
  }
  // Unbounded here: the engine's watchdog bounds every task, and a task
  // dropped anywhere reports false.
  const bool ran = awaitTask(done);
  pool.freeHostMemory(job.inputBuffers);
  if (!ran) {
    pool.freeHostMemory(job.outputBuffers);
    failInto(job, StatusCode::Model_AsyncPipelineNotAlive);
    return passOn(job);
  }
  const PipelineModel& model = npu().model();
  const int32_t op = job.npuOpIndex;
  StatusCode status = model.hasNpuOp(op) ? StatusCode::OK : StatusCode::InternalError;
  std::vector<halvex::Tensor> tensors;
  if (status == StatusCode::OK) tensors = model.makeNpuOutputTensors(op, job.outputDtype, job.memoryFormat);
  for (size_t o = 0; status == StatusCode::OK && o < tensors.size(); ++o) {
    if (!tensors[o].defined() || o >= job.outputBuffers.size()) {
      status = tensors[o].defined() ? StatusCode::InternalError : StatusCode::BadAlloc;
      break;
    }
    status = buffersToTensor(tensors[o], job.outputBuffers[o], nameAt(model.npuOutputNames(op), o),
                             model.npuOutputs(op)[o], job.memoryFormat, kNoSequence);
  }
  pool.freeHostMemory(job.outputBuffers);
  if (status != StatusCode::OK) {
    failInto(job, status);
    return passOn(job);
  }
  PipelineJob converted;
  converted.jobId = job.jobId;
  converted.memoryFormat = job.memoryFormat;
  converted.inputIs4D = job.inputIs4D;
  converted.outputDtype = job.outputDtype;
  converted.tensors = std::move(tensors);
  passOn(converted);
}

// ---- LastElement ----

void LastElement::chain(PipelineJob& job) {
  if (job.status != StatusCode::OK) {
    if (manager_->setError(job.jobId, job.status) != StatusCode::OK)
      KLOG_ERROR("Failed to set error for job_id {}. Maybe AsyncModel was disposed prematurely.", job.jobId);
    return;
  }
  if (!job.inputIs4D) {
    // A 3-D request gets its outputs without the batch of one.
    for (halvex::Tensor& t : job.tensors) {
      if (t.shape().empty()) continue;
      const std::vector<int64_t> item(t.shape().begin() + 1, t.shape().end());
      t = t.reshape(item);
    }
  }
  if (manager_->setOutputs(job.jobId, std::move(job.tensors)) != StatusCode::OK)
    KLOG_ERROR("Failed to set outputs for job_id {}. Maybe AsyncModel was disposed prematurely.", job.jobId);
}

}  // namespace kestrane
