#include "async/pipeline/queue_element.h"

#include <exception>
#include <new>
#include <utility>

#include "core/log.h"
#include "platform/system_error.h"
#include "platform/thread_start.h"

namespace kestrane {

QueueElement::QueueElement(std::string name, std::function<void(uint32_t, StatusCode)> answer)
    : PipelineElement(std::move(name)), answer_(std::move(answer)) {
  if (!platform::startThread(worker_, [this] { run(); })) {
    // check() reports it, and the pipeline is not created.
    KLOG_ERROR("{}: failed to start the worker thread: {}", this->name(),
               platform::systemErrorText(platform::lastError()));
  }
}

QueueElement::~QueueElement() { stop(); }

bool QueueElement::check() const {
  if (worker_.joinable()) return true;
  KLOG_ERROR("{}: the worker thread is not running.", name());
  return false;
}

void QueueElement::chain(PipelineJob& job) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    notFull_.wait(lock, [&] { return !open_ || capacity_ == 0 || queue_.size() < capacity_; });
    if (open_) {
      queue_.push_back(std::move(job));
      lock.unlock();
      notEmpty_.notify_one();
      return;
    }
  }
  KLOG_ERROR("{}: mQueue is closed but tried to push to it.", name());
}

void QueueElement::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    notEmpty_.wait(lock, [&] { return !queue_.empty() || !open_; });
    // Closed: leave only once everything queued has been handed on.
    if (queue_.empty()) return;
    PipelineJob job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    notFull_.notify_one();
    try {
      if (next() != nullptr) next()->chain(job);
    } catch (const std::exception& e) {
      // Nothing may end the worker early; the job's caller learns of the
      // failure through the elements that pass failed jobs on.
      const bool memory = dynamic_cast<const std::bad_alloc*>(&e) != nullptr;
      KLOG_ERROR("{}: job {} failed: {}", name(), job.jobId, memory ? "out of host memory" : e.what());
      fail(job.jobId, memory ? StatusCode::BadAlloc : StatusCode::InternalError);
    }
    // What is left of the job goes before the lock is taken again.
    job = PipelineJob{};
    lock.lock();
  }
}

void QueueElement::fail(uint32_t jobId, StatusCode status) {
  try {
    PipelineJob failed = PipelineJob::failed(jobId, status);
    if (next() != nullptr) next()->chain(failed);
    return;
  } catch (const std::exception&) {
    // No memory to queue it further on either.
  }
  if (answer_) answer_(jobId, status);
}

void QueueElement::stop() {
  std::lock_guard<std::mutex> stopping(stopMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
  }
  notEmpty_.notify_all();
  notFull_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void QueueElement::setCapacity(uint64_t capacity) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    capacity_ = capacity;
  }
  notFull_.notify_all();
}

size_t QueueElement::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

}  // namespace kestrane
