#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/engine_model.h"
#include "engine/flag_queue.h"
#include "engine/npu_task.h"
#include "engine/npu_watchdog.h"
#include "engine/spin_wait.h"
#include "engine/task_queue.h"

namespace kestrane {

class AcceleratorImpl;

// Turns one model's task queue into NPU runs: a dispatcher takes tasks in
// queue order, waits until a core group the task may use has room (up to L
// tasks in flight per core, L being the model's IO slot count) and hands the
// task to a pool of workers, which run it on the watchdog of that group.
//
// A task that a watchdog hands back unrun because a reset is due (another
// task timed out on its core group) waits here; the destructor, which runs
// when the reset stops the scheduler, puts such tasks back at the front of
// the task queue in the order they were dispatched, ahead of the task the
// dispatcher held, so that they run after the reset in queue order (a
// closed queue fails them).
//
// Threads: the constructor (create) starts the workers and then the
// dispatcher. The dispatcher ends when the task queue is paused or closed and
// drained, when stop() asks it to, or when a task can never be placed (the
// queue is then closed and its tasks fail). stop() wakes and joins it; the
// destructor stops it, closes the worker queue and joins the workers, which
// first finish the tasks already handed to them. Watchdogs outlive workers.
// Neither thread ends on an exception (no host memory): the task in hand
// fails and its core room comes back.
// Locks: the core-state mutex (usage map, cores-freed condition, handed-back
// tasks) before a task queue's mutex; the worker queue's mutex alone. A
// worker gives the record of each task it finished back to the task queue
// for reuse, and holds back the wake-up of a caller blocked on the task's
// answer (HeldAnswerWakes) until it has given the task's core room back.
class NPUTaskScheduler {
 public:
  static std::unique_ptr<NPUTaskScheduler> create(EngineModel& model, AcceleratorImpl& acc,
                                                  std::shared_ptr<TaskQueue> queue, StatusCode& status);
  ~NPUTaskScheduler();
  NPUTaskScheduler(const NPUTaskScheduler&) = delete;
  NPUTaskScheduler& operator=(const NPUTaskScheduler&) = delete;

  // Makes the dispatcher end (a task it holds goes back to the front of the
  // queue, or fails when the queue is closed) and joins it.
  void stop();
  // Wakes a dispatcher that waits for cores, after the task queue was paused
  // or closed.
  void wakeDispatcher();

 private:
  struct WorkItem {
    NPUTask task;
    CoreId core;
    uint64_t order = 0;            // dispatch order
    NPUWatchdog* dog = nullptr;    // of the core group; null when none runs it
  };
  enum class Placement { Placed, Paused, Closed, Unplaceable };

  NPUTaskScheduler(std::shared_ptr<TaskQueue> queue, uint32_t slots);
  void dispatcherMain();
  // Takes the next task and hands it to a worker; false when the
  // dispatcher ends.
  bool dispatchNext(uint64_t order);
  void workerMain();
  Placement waitEmptyCores(const NPUTask& task, CoreId& core);
  // The core group for the task at the lowest usage level; `assumeIdle`
  // asks whether the task could be placed at all.
  bool findAvailableCores(const NPUTask& task, CoreId& core, bool assumeIdle) const;
  void updateCoreUsage(int delta, CoreId core, CoreMode mode);
  NPUWatchdog* watchdogFor(CoreId core, CoreMode mode) const;
  // False when the task was handed back unrun (it is kept for the reset).
  bool runTask(WorkItem& item);

  std::shared_ptr<TaskQueue> queue_;
  std::vector<std::unique_ptr<NPUWatchdog>> watchdogs_;
  const uint32_t slots_;
  std::mutex coreMutex_;
  std::map<CoreId, uint32_t> usage_;
  std::condition_variable coresFreed_;
  // Bumped under coreMutex_ with every wake of cores-freed, so that the
  // dispatcher can look for it without the lock before it blocks.
  std::atomic<uint64_t> coreEvents_{0};
  AdaptiveSpin coreSpin_;
  std::vector<WorkItem> handedBack_;  // under coreMutex_
  std::atomic<bool> stopping_{false};
  std::thread dispatcher_;
  FlagQueue<WorkItem> workQueue_;
  std::vector<std::thread> workers_;
};

}  // namespace kestrane
