#pragma once

// The working elements of the asynchronous pipeline, in chain order:
//   InputRepositionElement  inputs into pool buffers in NPU layout
//   NPUOpElement            output buffers, the NPU task queued (no wait)
//   OutputRepositionElement waits for the task, outputs into new tensors
//   LastElement             outputs or failure to the job manager
// The first two run on the first queue's worker, the last two on the
// second's. Every element returns the buffers of a job it fails before it
// hands the failed job on.

#include <cstdint>
#include <memory>
#include <vector>

#include "async/async_infer_job_manager.h"
#include "async/pipeline/pipeline_element.h"
#include "async/pipeline/pipeline_model.h"
#include "engine/task_queue.h"
#include "kestrane/type.h"

namespace kestrane {

class NPUOpElement : public PipelineElement {
 public:
  // Everything belongs to the model and outlives the pipeline's threads.
  NPUOpElement(std::string name, const PipelineModel& model, std::shared_ptr<TaskQueue> taskQueue,
               PipelinePool& pool, CoreMode coreMode, std::vector<CoreId> cores);

  void chain(PipelineJob& job) override;

  // The model whose NPU operations the jobs name.
  const PipelineModel& model() const { return model_; }
  PipelinePool& pool() const { return pool_; }

 private:
  const PipelineModel& model_;
  const std::shared_ptr<TaskQueue> taskQueue_;
  PipelinePool& pool_;
  const CoreMode coreMode_;
  const std::vector<CoreId> cores_;
};

class InputRepositionElement : public PipelineElement {
 public:
  using PipelineElement::PipelineElement;
  void chain(PipelineJob& job) override;
  // The next element must be the NPU element (whose operations and pool it uses).
  bool check() const override;
};

class OutputRepositionElement : public PipelineElement {
 public:
  using PipelineElement::PipelineElement;
  void chain(PipelineJob& job) override;
  // The element two places back must be the NPU element.
  bool check() const override;

 private:
  const NPUOpElement& npu() const;
};

class LastElement : public PipelineElement {
 public:
  LastElement(std::string name, std::shared_ptr<AsyncInferJobManager> manager)
      : PipelineElement(std::move(name)), manager_(std::move(manager)) {}
  void chain(PipelineJob& job) override;

 private:
  const std::shared_ptr<AsyncInferJobManager> manager_;
};

}  // namespace kestrane
