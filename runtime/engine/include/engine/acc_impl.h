#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "engine/engine_model.h"
#include "engine/reset_request_queue.h"
#include "engine/task_queue.h"
#include "kestrane/status.h"
#include "kestrane/type.h"

namespace kestrane {

class NPUTaskScheduler;

// Everything of one opened card: its Driver, the models launched on it with
// their task queues and schedulers, the per-core device-memory footprint and
// the reset thread that resets the card after an NPU time-out.
//
// Threads: the reset thread is started by create() and woken by
// requestReset(); the destructor closes the request queue and joins it.
// Locks: the accelerator's recursive mutex (the same thread re-enters it, and
// a model's dispose called under it calls back dispose(model)) guards the
// model list, the queue and scheduler maps and the footprint map; a reset
// holds it throughout. The reset-request queue's mutex is never held with it.
// Order when nested: accelerator mutex, then a scheduler's locks, then a
// task queue's mutex.
class AcceleratorImpl {
 public:
  // Opens card `card`; null with the driver's status when it does not open.
  static std::unique_ptr<AcceleratorImpl> create(int card, StatusCode& status);
  // Disposes every model still registered (each once, through the model),
  // stops the reset thread, has the models a failed reset dropped dispose
  // themselves (so that none keeps the gone accelerator) and closes the
  // device.
  ~AcceleratorImpl();
  AcceleratorImpl(const AcceleratorImpl&) = delete;
  AcceleratorImpl& operator=(const AcceleratorImpl&) = delete;

  // The cores no one has claimed; empty when the query fails.
  std::vector<CoreId> getAvailableCores();
  // Host DMA memory for memory pools and model launch.
  StatusCode allocateHostMemory(void*& address, uint64_t size);
  StatusCode freeHostMemory(void* address);

  // Registers a model: claims its cores, uploads its binaries, creates its
  // task queue and scheduler. The queue, or null with the status; a failure
  // leaves nothing claimed or registered.
  std::shared_ptr<TaskQueue> setModel(EngineModel* model, StatusCode& status);
  // Closes the model's queue (its waiting tasks fail), stops its scheduler
  // and unclaims its cores. Allocates nothing, so it completes short of host
  // memory too.
  StatusCode dispose(EngineModel* model);
  // The first step of dispose on its own, for a model that closes its queue
  // before it waits for its requests: the tasks still queued fail at once
  // and later pushes are refused. Acc_TaskQueueNotFound without a queue.
  StatusCode closeTaskQueue(EngineModel* model);
  // After a failed reset: disposes every model on the engine's side; each
  // keeps its launched state until it disposes itself or the accelerator goes.
  void disposeAll();
  StatusCode createScheduler(EngineModel* model);
  StatusCode removeScheduler(EngineModel* model);
  // Writes the model's section binaries on its target cores (a reset-time
  // upload, `initial` false, leaves sections at 0x800000000 and above).
  StatusCode uploadBinaries(EngineModel* model, bool initial);
  // Device memory the registered models take, over all cores.
  uint64_t getTotalBinarySize() const { return totalFootprint_.load(std::memory_order_relaxed); }

  // Asks the reset thread to reset the card (from a watchdog after a time-out);
  // false when there was no host memory to ask.
  bool requestReset(uint32_t coreKey);
  uint32_t resetCount() const { return resetCount_.load(); }

  // Bulk transfers of cache memory through a 1 MiB staging buffer: device
  // base + offset + q <-> host + offset + q. `host` is any host memory.
  StatusCode dumpFromNPU(void* host, uint64_t base, uint64_t offset, uint64_t size);
  StatusCode loadToNPU(const void* host, uint64_t base, uint64_t offset, uint64_t size);
  // Zero-fills every placement on the model's target cores of every cache
  // area of the variant; fails when the variant has cache placements but
  // none on those cores.
  StatusCode resetCacheMemory(EngineModel* model, size_t variant);

  Driver& driver() { return *driver_; }
  bool interleave() const { return interleave_; }
  bool isRegistered(const EngineModel* model) const;

 private:
  explicit AcceleratorImpl(std::unique_ptr<Driver> driver);
  void resetMain();
  // One reset of every registered model; false when a step failed.
  bool resetModels(uint32_t key, uint32_t count);
  // Sets the footprint of `core`; under the lock.
  void setFootprint(CoreId core, uint64_t bytes);
  void removeModel(EngineModel* model);
  // Under the lock: the engine's side of a model's dispose (its queue closed,
  // its scheduler stopped and, when `registered`, its footprint cleared and
  // its cores unclaimed), leaving the model lists alone.
  StatusCode release(EngineModel* model, bool registered);
  // The model's own dispose; what it throws is logged.
  static void disposeModel(EngineModel& model);

  std::unique_ptr<Driver> driver_;
  mutable std::recursive_mutex mutex_;
  // Lists, so that a model moves from one to the other, and either is read
  // on the way out, without allocating.
  std::list<EngineModel*> models_;
  // Models disposeAll dropped that have not called dispose(model) since.
  std::list<EngineModel*> dropped_;
  std::map<EngineModel*, std::shared_ptr<TaskQueue>> queues_;
  std::map<EngineModel*, std::unique_ptr<NPUTaskScheduler>> schedulers_;
  std::thread resetThread_;
  ResetRequestQueue resetRequests_;
  std::atomic<uint32_t> resetCount_{0};
  bool interleave_ = true;
  std::map<CoreId, uint64_t> footprint_;
  // The sum of footprint_, read by workers without the lock (a reset holds
  // the lock while it joins them).
  std::atomic<uint64_t> totalFootprint_{0};
};

}  // namespace kestrane
