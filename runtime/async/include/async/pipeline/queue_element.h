#pragma once

// A bounded job queue with a worker thread of its own: chain() queues a job
// (blocking while the queue is full), the worker hands each job to the next
// element. So the elements before and after a queue run on different threads.
// A job whose handing on throws is handed on as a failed job (BadAlloc when
// host memory ran out, else InternalError); when even that throws, the
// queue's `answer` gives the job its failure at once, so that its caller
// does not wait for a time-out.
//
// Threads: the constructor starts the worker; chain() and stop() wake it;
// stop() (or the destructor) joins it after the worker has drained what is
// still queued. Producers block in chain() while the queue holds `capacity`
// jobs (0: unbounded) and are woken by the worker taking one out, by
// setCapacity() and by stop(). One mutex guards the deque, the open flag and
// the capacity; the next element is always called without it. stop() takes
// its own mutex first, then that one (briefly), and joins holding only its
// own.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "async/pipeline/pipeline_element.h"

namespace kestrane {

class QueueElement : public PipelineElement {
 public:
  // answer(jobId, status): fulfils a job that cannot be handed on; null:
  // such a job is only logged.
  explicit QueueElement(std::string name, std::function<void(uint32_t, StatusCode)> answer = nullptr);
  ~QueueElement() override;

  // Queues the job (moved from). A stopped queue drops it with an error line.
  void chain(PipelineJob& job) override;
  // False (with a line) when the worker could not be started.
  bool check() const override;

  // Refuses further jobs and joins the worker once it has drained the queue.
  // Idempotent; never called from the worker itself.
  void stop();
  void setCapacity(uint64_t capacity);

  // For inspection: jobs waiting in the queue.
  size_t size() const;

 private:
  void run();
  // Hands on a failed job in place of the job `jobId`, or answers it.
  void fail(uint32_t jobId, StatusCode status);

  mutable std::mutex mutex_;
  std::condition_variable notFull_;
  std::condition_variable notEmpty_;
  std::deque<PipelineJob> queue_;
  bool open_ = true;
  uint64_t capacity_ = 0;
  std::mutex stopMutex_;  // serialises stop()
  const std::function<void(uint32_t, StatusCode)> answer_;
  std::thread worker_;
};

}  // namespace kestrane
