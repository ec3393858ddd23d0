#pragma once

#include <mutex>
#include <vector>

#include "engine/flag_queue.h"
#include "engine/npu_task.h"

namespace kestrane {

// The per-model FIFO of NPU tasks between the model runtime (producers: the
// synchronous path, the asynchronous pipeline, supplementary runs) and the
// model's scheduler (its dispatcher pops).
//
// Ownership: shared between the accelerator, which creates it when the model
// registers and closes it when the model leaves, and the model and its
// producers, so a push after the close finds a live, closed queue and fails
// instead of touching freed memory.
//
// push(task) is false once the queue is closed (producers then report
// Model_NotLaunched); a queue paused by a device reset still takes tasks,
// which run after the reset in queue order.
//
// It also keeps the records of finished tasks for reuse: a producer that
// takes one fills lists that kept their capacity instead of allocating them
// anew (recycle: the scheduler's workers; takeRecord: producers). The
// records sit under a mutex of their own, taken alone.
class TaskQueue : public FlagQueue<NPUTask> {
 public:
  static constexpr size_t kKeptRecords = 32;

  // A task record to fill: a finished task's, its fields back at their
  // defaults but for the lists of lists, which keep their (empty) lists, or
  // a new one. A producer sizes those lists itself.
  NPUTask takeRecord();
  // Keeps the record of a finished task (its promise fulfilled) for
  // takeRecord, up to kKeptRecords; the others are let go.
  void recycle(NPUTask&& task);

 private:
  std::mutex recordMutex_;
  std::vector<NPUTask> records_;
};

}  // namespace kestrane
