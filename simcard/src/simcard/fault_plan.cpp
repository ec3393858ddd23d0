#include "simcard/fault_plan.h"

#include "platform/aligned_memory.h"

namespace kestrane::simcard {

void FaultPlan::failNext(FaultOp op, int count) {
  std::lock_guard lock(mutex_);
  pending_[op] = {0, count};
}

void FaultPlan::failAt(FaultOp op, int nth) {
  std::lock_guard lock(mutex_);
  pending_[op] = {nth > 1 ? nth - 1 : 0, 1};
}

bool FaultPlan::take(FaultOp op) {
  std::lock_guard lock(mutex_);
  auto it = pending_.find(op);
  if (it == pending_.end() || it->second.fail <= 0) return false;
  if (it->second.skip > 0) {
    --it->second.skip;
    return false;
  }
  --it->second.fail;
  return true;
}

void FaultPlan::hangRuns(uint32_t coreKey, int count) {
  std::lock_guard lock(mutex_);
  runFaults_[coreKey].hang = count;
}

void FaultPlan::failRuns(uint32_t coreKey, int count) {
  std::lock_guard lock(mutex_);
  runFaults_[coreKey].fail = count;
}

RunFault FaultPlan::takeRunFault(uint32_t coreKey) {
  std::lock_guard lock(mutex_);
  auto it = runFaults_.find(coreKey);
  if (it == runFaults_.end()) return RunFault::None;
  if (it->second.hang > 0) {
    --it->second.hang;
    return RunFault::Hang;
  }
  if (it->second.fail > 0) {
    --it->second.fail;
    return RunFault::Fail;
  }
  return RunFault::None;
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

void FaultPlan::stealAfterQuery(int nth, uint8_t cluster0Mask, uint8_t cluster1Mask) {
  std::lock_guard lock(mutex_);
  stealAt_ = nth < 1 ? 1 : nth;
  steal0_ = cluster0Mask;
  steal1_ = cluster1Mask;
}

bool FaultPlan::takeSteal(uint8_t& cluster0Mask, uint8_t& cluster1Mask) {
  std::lock_guard lock(mutex_);
  if (stealAt_ == 0 || --stealAt_ > 0) return false;
  cluster0Mask = steal0_;
  cluster1Mask = steal1_;
  return true;
}

void FaultPlan::failNextHostAllocations(int count) { platform::failNextAlignedAllocations(count); }

void FaultPlan::clear() {
  std::lock_guard lock(mutex_);
  pending_.clear();
  runFaults_.clear();
  hung_.clear();
  delays_.clear();
  stealAt_ = 0;
  platform::failNextAlignedAllocations(0);
}

}  // namespace kestrane::simcard
