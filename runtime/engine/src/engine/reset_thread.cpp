// The accelerator's reset thread: after an NPU time-out it stops every
// registered model's scheduler (their queued tasks stay queued), resets the
// device, uploads the models' binaries again and restarts the schedulers.

#include <exception>
#include <new>

#include "core/log.h"
#include "driver/driver.h"
#include "engine/acc_impl.h"
#include "engine/npu_task_scheduler.h"
#include "engine/test_seams.h"

namespace kestrane {

bool AcceleratorImpl::requestReset(uint32_t coreKey) {
  uint32_t key = coreKey;
  try {
    resetRequests_.push(std::move(key));  // a closed queue (accelerator going) drops it
    return true;
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("No host memory to ask for a reset of core {:x}.", coreKey);
    return false;
  }
}

void AcceleratorImpl::resetMain() {
  for (;;) {
    uint32_t key = 0;
    if (resetRequests_.pop(key) != ResetRequestQueue::Pop::Item) return;
    { std::lock_guard gate(seams::resetGate()); }
    // Requests that came meanwhile are served by this pass; the last names it.
    for (uint32_t later = 0; resetRequests_.tryPop(later);) key = later;
    const uint32_t count = ++resetCount_;
    std::lock_guard lock(mutex_);
    if (models_.empty()) continue;
    bool reset = false;
    try {
      reset = resetModels(key, count);
    } catch (const std::exception& e) {  // no host memory on the way: as a failed reset
      KLOG_ERROR("The reset failed: {}", e.what());
    }
    if (reset) continue;
    KLOG_ERROR("Failed to reset the device; every model is disposed.");
    try {
      disposeAll();
    } catch (const std::exception& e) {
      KLOG_ERROR("Failed to dispose every model: {}", e.what());
    }
    return;  // later requests are no longer served
  }
}

bool AcceleratorImpl::resetModels(uint32_t key, uint32_t count) {
  KLOG_WARN("Resetting {} models for core {:x}... ({}th)", models_.size(), key, count);
  for (EngineModel* model : models_) {
    auto queue = queues_.find(model);
    if (queue == queues_.end()) return false;
    queue->second->pause();
    auto scheduler = schedulers_.find(model);
    if (scheduler != schedulers_.end()) scheduler->second->wakeDispatcher();
    if (removeScheduler(model) != StatusCode::OK) return false;
  }
  if (!driver_->resetDevice()) return false;
  for (EngineModel* model : models_)
    if (uploadBinaries(model, false) != StatusCode::OK) return false;
  for (EngineModel* model : models_) {
    auto queue = queues_.find(model);
    if (queue == queues_.end()) return false;
    queue->second->resume();
    if (createScheduler(model) != StatusCode::OK) return false;
  }
  return true;
}

}  // namespace kestrane
