#include "engine/npu_task_scheduler.h"

#include <algorithm>
#include <new>

#include "core/log.h"
#include "engine/acc_impl.h"
#include "engine/core_key.h"
#include "platform/system_error.h"
#include "platform/thread_start.h"

namespace kestrane {

namespace {

bool isGlobal(CoreId c) { return c.core == Core::GlobalCore; }
bool isRealCore(CoreId c) { return c.cluster != Cluster::Error && c.core != Core::Error; }

}  // namespace

std::unique_ptr<NPUTaskScheduler> NPUTaskScheduler::create(EngineModel& model, AcceleratorImpl& acc,
                                                           std::shared_ptr<TaskQueue> queue, StatusCode& status) {
  if (!queue || model.variantCount() == 0) {
    KLOG_ERROR("A scheduler needs a task queue and a model with variants.");
    status = StatusCode::InternalError;
    return nullptr;
  }
  const uint32_t slots = static_cast<uint32_t>(std::max<size_t>(1, model.ioSlotOffsets(0).size()));
  std::unique_ptr<NPUTaskScheduler> scheduler(new NPUTaskScheduler(std::move(queue), slots));

  const CoreMode mode = model.coreMode();
  const std::vector<CoreId>& targets = model.targetCores();
  std::vector<std::vector<CoreId>> groups;
  switch (mode) {
    case CoreMode::Single:
      for (CoreId c : targets) groups.push_back({c});
      break;
    case CoreMode::Multi:
    case CoreMode::Global4:
      for (CoreId c : targets)
        if (isGlobal(c)) groups.push_back({c});
      break;
    case CoreMode::Global:
    case CoreMode::Global8: {
      std::vector<CoreId> globals;
      for (CoreId c : targets)
        if (isGlobal(c)) globals.push_back(c);
      std::sort(globals.begin(), globals.end());
      if (!globals.empty()) groups.push_back(std::move(globals));
      break;
    }
    default:
      break;
  }
  for (auto& group : groups) {
    auto dog = NPUWatchdog::create(model, acc, std::move(group), status);
    if (!dog) return nullptr;
    scheduler->watchdogs_.push_back(std::move(dog));
  }
  for (CoreId c : targets) scheduler->usage_[c] = 0;

  size_t perSlot = 0;
  if (mode == CoreMode::Single) perSlot = targets.size();
  if (mode == CoreMode::Multi || mode == CoreMode::Global4) perSlot = targets.size() == 10 ? 2 : 1;
  if (mode == CoreMode::Global || mode == CoreMode::Global8) perSlot = 1;
  const size_t workers = slots * perSlot;
  try {
    scheduler->workers_.reserve(workers);
  } catch (const std::bad_alloc&) {  // memory, before any thread is asked for
    KLOG_ERROR("No host memory for the scheduler's {} workers.", workers);
    status = StatusCode::BadAlloc;
    return nullptr;
  }
  int error = 0;
  for (size_t i = 0; i < workers; ++i) {
    std::thread worker;
    if (!platform::startThread(worker, &NPUTaskScheduler::workerMain, scheduler.get())) {
      error = platform::lastError();
      break;
    }
    scheduler->workers_.push_back(std::move(worker));  // reserved: cannot throw
  }
  if (error == 0 && !platform::startThread(scheduler->dispatcher_, &NPUTaskScheduler::dispatcherMain, scheduler.get()))
    error = platform::lastError();
  if (error != 0) {  // no thread to be had: the destructor joins those started
    KLOG_ERROR("Failed to start the scheduler's threads: {}", platform::systemErrorText(error));
    status = StatusCode::InternalError;
    return nullptr;
  }
  status = StatusCode::OK;
  return scheduler;
}

NPUTaskScheduler::NPUTaskScheduler(std::shared_ptr<TaskQueue> queue, uint32_t slots)
    : queue_(std::move(queue)), slots_(slots) {}

NPUTaskScheduler::~NPUTaskScheduler() {
  stop();
  workQueue_.close();
  for (auto& worker : workers_) worker.join();
  for (WorkItem item; workQueue_.takeFront(item);) item.task.result.set_value(false);  // none without workers
  // Handed back for the reset: in front of what the dispatcher put back,
  // the last dispatched first so that the first ends up in front.
  std::sort(handedBack_.begin(), handedBack_.end(),
            [](const WorkItem& a, const WorkItem& b) { return a.order > b.order; });
  for (WorkItem& item : handedBack_) {
    bool queued = false;
    try {
      queued = queue_->pushFront(std::move(item.task));
    } catch (const std::bad_alloc&) {  // no room in the queue: the task fails instead
      KLOG_ERROR("No host memory to queue a task again after the reset; it fails.");
      item.task.result.failForMemory();
    }
    if (!queued) item.task.result.set_value(false);
  }
}

void NPUTaskScheduler::stop() {
  stopping_ = true;
  queue_->wakeAll();
  wakeDispatcher();
  if (dispatcher_.joinable()) dispatcher_.join();
}

void NPUTaskScheduler::wakeDispatcher() {
  {
    std::lock_guard lock(coreMutex_);
    coreEvents_.fetch_add(1, std::memory_order_release);
  }
  coresFreed_.notify_all();
}

void NPUTaskScheduler::dispatcherMain() {
  for (uint64_t order = 0;; ++order) {
    try {
      if (!dispatchNext(order)) return;
    } catch (const std::exception& e) {
      // No host memory on the way: the task in hand has failed (its record
      // reports so as it goes), and the next one is tried.
      KLOG_ERROR("Failed to dispatch a task: {}", e.what());
    }
  }
}

bool NPUTaskScheduler::dispatchNext(uint64_t order) {
  NPUTask task;
  if (queue_->pop(task, &stopping_) != TaskQueue::Pop::Item) return false;
  CoreId core;
  switch (waitEmptyCores(task, core)) {
    case Placement::Placed: {
      NPUWatchdog* dog = watchdogFor(core, task.coreMode);
      const CoreMode mode = task.coreMode;
      WorkItem item{std::move(task), core, order, dog};
      bool handed = false;
      try {
        if (dog) dog->expectTask(order);
        handed = workQueue_.push(std::move(item));  // untouched when it throws
      } catch (const std::bad_alloc&) {
        KLOG_ERROR("No host memory to hand a task to a worker; it fails.");
        item.task.result.failForMemory();
      } catch (const std::exception& e) {
        KLOG_ERROR("Failed to hand a task to a worker: {}", e.what());
      }
      if (!handed) {
        // A task that found no worker fails when it is destroyed.
        if (dog) dog->forgetTask(order);
        std::lock_guard lock(coreMutex_);
        updateCoreUsage(-1, core, mode);
      }
      return true;
    }
    case Placement::Paused:
      // It goes back where it was and runs after the reset, in order.
      queue_->pushFront(std::move(task));
      return false;
    case Placement::Closed:
      task.result.set_value(false);
      return false;
    case Placement::Unplaceable:
      // Nothing later can be placed either: stop taking tasks instead of leaving them to hang.
      KLOG_ERROR("Failed to find available cores.");
      task.result.set_value(false);
      queue_->close();
      for (NPUTask left; queue_->takeFront(left);) left.result.set_value(false);
      return false;
  }
  return true;
}

NPUTaskScheduler::Placement NPUTaskScheduler::waitEmptyCores(const NPUTask& task, CoreId& core) {
  std::unique_lock lock(coreMutex_);
  if (!findAvailableCores(task, core, true) || !isRealCore(core)) return Placement::Unplaceable;
  for (;;) {
    if (stopping_) return Placement::Paused;
    const auto [open, active] = queue_->flags();
    if (!open) return Placement::Closed;
    if (!active) return Placement::Paused;
    if (findAvailableCores(task, core, false)) break;
    // The worker that frees the core releases it just after the task's
    // answer, which often brings the next task here at once: look a moment
    // before blocking, where that pays.
    const uint64_t seen = coreEvents_.load(std::memory_order_relaxed);
    lock.unlock();
    coreSpin_.spin([&] { return coreEvents_.load(std::memory_order_acquire) != seen; });
    lock.lock();
    if (coreEvents_.load(std::memory_order_relaxed) == seen) coresFreed_.wait(lock);
  }
  updateCoreUsage(+1, core, task.coreMode);
  return Placement::Placed;
}

bool NPUTaskScheduler::findAvailableCores(const NPUTask& task, CoreId& core, bool assumeIdle) const {
  core = CoreId{};
  const std::vector<CoreId>& list = task.cores;
  // A core the model was not given is never free.
  auto usage = [&](CoreId c) -> uint32_t {
    auto it = usage_.find(c);
    if (it == usage_.end()) return UINT32_MAX;
    return assumeIdle ? 0 : it->second;
  };
  auto clusterFits = [&](CoreId g, uint32_t level) {
    return std::all_of(list.begin(), list.end(),
                       [&](CoreId c) { return c.cluster != g.cluster || usage(c) <= level; });
  };
  switch (task.coreMode) {
    case CoreMode::Single:
      for (uint32_t level = 0; level < slots_; ++level)
        for (CoreId c : list)
          if (usage(c) == level) {
            core = c;
            return true;
          }
      return false;
    case CoreMode::Multi:
    case CoreMode::Global4:
      for (uint32_t level = 0; level < slots_; ++level)
        for (CoreId g : list)
          if (isGlobal(g) && clusterFits(g, level)) {
            core = g;
            return true;
          }
      return false;
    case CoreMode::Global:
    case CoreMode::Global8: {
      if (list.empty()) return true;
      auto global = std::find_if(list.begin(), list.end(), isGlobal);
      for (uint32_t level = 0; level < slots_; ++level) {
        if (std::all_of(list.begin(), list.end(), [&](CoreId c) { return usage(c) <= level; })) {
          if (global != list.end()) core = *global;
          return true;
        }
      }
      return false;
    }
    default:
      return true;
  }
}

void NPUTaskScheduler::updateCoreUsage(int delta, CoreId core, CoreMode mode) {
  auto update = [&](uint32_t& value) {
    const int64_t next = std::min<int64_t>(int64_t{value} + delta, slots_);
    value = static_cast<uint32_t>(std::max<int64_t>(next, 0));
  };
  switch (mode) {
    case CoreMode::Single: {
      auto it = usage_.find(core);
      if (it != usage_.end()) update(it->second);
      break;
    }
    case CoreMode::Multi:
    case CoreMode::Global4:
      for (auto& [c, value] : usage_)
        if (c.cluster == core.cluster) update(value);
      break;
    case CoreMode::Global:
    case CoreMode::Global8:
      for (auto& entry : usage_) update(entry.second);
      break;
    default:
      break;
  }
}

void NPUTaskScheduler::workerMain() {
  for (;;) {
    WorkItem item;
    if (workQueue_.pop(item) != FlagQueue<WorkItem>::Pop::Item) return;
    // The caller learns the answer as the run sets it, but one that blocked
    // is woken only once this worker is through with the task: its next
    // task then finds the core room back, and its wake-up does not stop
    // the worker on the way.
    const HeldAnswerWakes heldWakes;
    try {
      if (runTask(item)) queue_->recycle(std::move(item.task));
    } catch (const std::exception& e) {  // no host memory to keep the record: it goes
      KLOG_ERROR("Failed to keep a task's record: {}", e.what());
    }
  }
}

NPUWatchdog* NPUTaskScheduler::watchdogFor(CoreId core, CoreMode mode) const {
  auto dog = std::find_if(watchdogs_.begin(), watchdogs_.end(),
                          [&](const auto& w) { return w->mainCore() == core && w->coreMode() == mode; });
  return dog == watchdogs_.end() ? nullptr : dog->get();
}

bool NPUTaskScheduler::runTask(WorkItem& item) {
  NPUTask& task = item.task;
  const CoreId core = item.core;
  const CoreMode mode = task.coreMode;
  StatusCode status = StatusCode::InternalError;
  bool deferred = false;
  if (item.dog == nullptr) {
    KLOG_ERROR("No watchdog runs core {:x} in core mode {}.", coreKey(core), static_cast<int>(mode));
    task.result.set_value(false);
  } else {
    try {
      status = item.dog->run(task, item.order, deferred);
    } catch (const std::bad_alloc&) {
      KLOG_ERROR("[{:x}] The task failed: out of host memory.", coreKey(core));
      task.result.failForMemory();
      deferred = false;
    } catch (const std::exception& e) {
      KLOG_ERROR("[{:x}] The task failed: {}", coreKey(core), e.what());
      task.result.set_value(false);
      deferred = false;
    }
  }
  {
    std::lock_guard lock(coreMutex_);
    if (deferred) {
      try {
        handedBack_.push_back(std::move(item));
      } catch (const std::bad_alloc&) {
        KLOG_ERROR("[{:x}] No host memory to keep a task for after the reset; it fails.", coreKey(core));
        task.result.failForMemory();
        deferred = false;
      }
    }
    // A core group that timed out stays busy until the reset rebuilds the
    // scheduler: nothing more is placed on the core the card has just reset.
    updateCoreUsage(status == StatusCode::Acc_NPUTimeout ? static_cast<int>(slots_) : -1, core, mode);
    coreEvents_.fetch_add(1, std::memory_order_release);
  }
  coresFreed_.notify_all();
  return !deferred;
}

}  // namespace kestrane
