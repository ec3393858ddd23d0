#include "async/pipeline/async_pipeline.h"

#include <new>
#include <utility>

#include "async/future_impl.h"
#include "async/pipeline/queue_element.h"
#include "core/log.h"

namespace kestrane {

namespace {

template <typename T>
constexpr halvex::DType dtypeOf() {
  return std::is_same<T, float>::value ? halvex::DType::Float32 : halvex::DType::Int8;
}

void keepInputs(PipelineJob& job, std::vector<NDArray<float>>&& inputs) { job.floatInputs = std::move(inputs); }
void keepInputs(PipelineJob& job, std::vector<NDArray<int8_t>>&& inputs) { job.int8Inputs = std::move(inputs); }

}  // namespace

AsyncPipeline::AsyncPipeline() : manager_(std::make_shared<AsyncInferJobManager>()) {}

AsyncPipeline::~AsyncPipeline() { close(); }

std::unique_ptr<AsyncPipeline> AsyncPipeline::create(const PipelineModel& model,
                                                     std::shared_ptr<TaskQueue> taskQueue, PipelinePool& pool,
                                                     CoreMode coreMode, const std::vector<CoreId>& cores,
                                                     StatusCode& status) {
  std::unique_ptr<AsyncPipeline> pipeline(new AsyncPipeline());
  auto& elements = pipeline->elements_;
  // A job the queues cannot hand on is answered by the manager itself, which
  // allocates nothing for it.
  auto answer = [manager = pipeline->manager_](uint32_t jobId, StatusCode failure) {
    if (manager->setError(jobId, failure) != StatusCode::OK)
      KLOG_ERROR("Failed to set error for job_id {}. Maybe AsyncModel was disposed prematurely.", jobId);
  };
  elements.push_back(std::make_unique<QueueElement>("queue_elem_0", answer));
  elements.push_back(std::make_unique<InputRepositionElement>("input_repos_elem"));
  elements.push_back(
      std::make_unique<NPUOpElement>("npu_op_elem", model, std::move(taskQueue), pool, coreMode, cores));
  elements.push_back(std::make_unique<QueueElement>("queue_elem_1", answer));
  elements.push_back(std::make_unique<OutputRepositionElement>("output_repos_elem"));
  elements.push_back(std::make_unique<LastElement>("last_elem", pipeline->manager_));
  for (size_t i = 0; i + 1 < elements.size(); ++i) link(*elements[i], *elements[i + 1]);
  for (const auto& element : elements) {
    if (!element->check()) {
      KLOG_ERROR("Check for AsyncPipeline failed.");
      status = StatusCode::Model_AsyncPipelineCheckFailed;
      return nullptr;  // the destructor stops the queues
    }
  }
  status = StatusCode::OK;
  return pipeline;
}

void AsyncPipeline::setQueueCapacity(uint64_t capacity) {
  for (const auto& element : elements_)
    if (auto* queue = dynamic_cast<QueueElement*>(element.get())) queue->setCapacity(capacity);
}

template <typename In, typename Out>
Future<Out> AsyncPipeline::inferAsync(std::vector<NDArray<In>> inputs, std::vector<halvex::Tensor> views,
                                      MemoryFormat format, bool inputIs4D, int32_t npuOpIndex, StatusCode& status) {
  uint32_t jobId = 0;
  status = manager_->createJob(jobId);
  if (status != StatusCode::OK) {
    KLOG_ERROR(
        "Failed to generate a future and an invalid future is returned. Maybe AsyncModel was disposed prematurely.");
    return Future<Out>();
  }
  // The future is made before the job is queued, so that a queued job
  // always has one; a job that cannot be queued ends here, failed and
  // released, instead of staying in the manager uncollected.
  std::unique_ptr<FutureImpl<Out>> future;
  try {
    future = std::make_unique<FutureImpl<Out>>(jobId, manager_);
    PipelineJob job;
    job.jobId = jobId;
    job.memoryFormat = format;
    job.inputIs4D = inputIs4D;
    job.outputDtype = dtypeOf<Out>();
    job.npuOpIndex = npuOpIndex;
    job.tensors = std::move(views);
    keepInputs(job, std::move(inputs));
    // Returns once the job is queued; later failures reach the caller through
    // the future (a queue closed meanwhile leaves the job to the closed
    // manager, which answers Model_AsyncPipelineNotAlive).
    elements_.front()->chain(job);
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("No host memory to queue an asynchronous request; an invalid future is returned.");
    manager_->setError(jobId, StatusCode::BadAlloc);
    manager_->release(jobId);  // its done future is ready: nothing to note
    status = StatusCode::BadAlloc;
    return Future<Out>();
  }
  return Future<Out>(std::move(future));
}

void AsyncPipeline::close() {
  manager_->close();
  for (const auto& element : elements_)
    if (auto* queue = dynamic_cast<QueueElement*>(element.get())) queue->stop();
}

template Future<float> AsyncPipeline::inferAsync<float, float>(std::vector<NDArray<float>>, std::vector<halvex::Tensor>,
                                                               MemoryFormat, bool, int32_t, StatusCode&);
template Future<int8_t> AsyncPipeline::inferAsync<int8_t, int8_t>(std::vector<NDArray<int8_t>>,
                                                                  std::vector<halvex::Tensor>, MemoryFormat, bool,
                                                                  int32_t, StatusCode&);
template Future<float> AsyncPipeline::inferAsync<int8_t, float>(std::vector<NDArray<int8_t>>,
                                                                std::vector<halvex::Tensor>, MemoryFormat, bool,
                                                                int32_t, StatusCode&);

}  // namespace kestrane
