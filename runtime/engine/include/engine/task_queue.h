#pragma once

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
class TaskQueue : public FlagQueue<NPUTask> {};

}  // namespace kestrane
