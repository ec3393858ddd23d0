#include "simcard/fault_plan.h"

#include "platform/aligned_memory.h"

namespace kestrane::simcard {

void FaultPlan::failNext(FaultOp op, int count) {
  std::lock_guard lock(mutex_);
  pending_[op] = count;
}

bool FaultPlan::take(FaultOp op) {
  std::lock_guard lock(mutex_);
  auto it = pending_.find(op);
  if (it == pending_.end() || it->second <= 0) return false;
  --it->second;
  return true;
}

void FaultPlan::hangCore(uint32_t coreKey, bool hang) {
  std::lock_guard lock(mutex_);
  hung_[coreKey] = hang;
}

bool FaultPlan::hangs(uint32_t coreKey) const {
  std::lock_guard lock(mutex_);
  auto it = hung_.find(coreKey);
  return it != hung_.end() && it->second;
}

void FaultPlan::delayCore(uint32_t coreKey, uint32_t ms) {
  std::lock_guard lock(mutex_);
  delays_[coreKey] = ms;
}

uint32_t FaultPlan::delayMs(uint32_t coreKey) const {
  std::lock_guard lock(mutex_);
  auto it = delays_.find(coreKey);
  return it == delays_.end() ? 0 : it->second;
}

void FaultPlan::stealAfterNextQuery(uint8_t cluster0Mask, uint8_t cluster1Mask) {
  std::lock_guard lock(mutex_);
  steal_ = true;
  steal0_ = cluster0Mask;
  steal1_ = cluster1Mask;
}

bool FaultPlan::takeSteal(uint8_t& cluster0Mask, uint8_t& cluster1Mask) {
  std::lock_guard lock(mutex_);
  if (!steal_) return false;
  steal_ = false;
  cluster0Mask = steal0_;
  cluster1Mask = steal1_;
  return true;
}

void FaultPlan::failNextHostAllocations(int count) { platform::failNextAlignedAllocations(count); }

void FaultPlan::clear() {
  std::lock_guard lock(mutex_);
  pending_.clear();
  hung_.clear();
  delays_.clear();
  steal_ = false;
  platform::failNextAlignedAllocations(0);
}

}  // namespace kestrane::simcard
