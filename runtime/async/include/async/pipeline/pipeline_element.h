#pragma once

// A link of the asynchronous pipeline: it processes a job and hands it to
// the next element. Elements are owned by their pipeline; prev and next
// point at their neighbours and own nothing.

#include <string>

#include "async/pipeline/pipeline_job.h"

namespace kestrane {

class PipelineElement {
 public:
  explicit PipelineElement(std::string name) : name_(std::move(name)) {}
  virtual ~PipelineElement() = default;
  PipelineElement(const PipelineElement&) = delete;
  PipelineElement& operator=(const PipelineElement&) = delete;

  // Processes the job and hands it on; a failed job is handed on untouched
  // (only the last element acts on it).
  virtual void chain(PipelineJob& job) = 0;
  // Whether the element's place in the chain suits it (logs when not).
  virtual bool check() const { return true; }

  const std::string& name() const { return name_; }
  PipelineElement* prev() const { return prev_; }
  PipelineElement* next() const { return next_; }

  // a -> b.
  friend void link(PipelineElement& a, PipelineElement& b) {
    a.next_ = &b;
    b.prev_ = &a;
  }

 protected:
  void passOn(PipelineJob& job) {
    if (next_ != nullptr) next_->chain(job);
  }

 private:
  const std::string name_;
  PipelineElement* prev_ = nullptr;
  PipelineElement* next_ = nullptr;
};

}  // namespace kestrane
