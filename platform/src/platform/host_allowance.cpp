#include "platform/host_allowance.h"

#include <atomic>
#include <new>

namespace kestrane::platform {

namespace {
std::atomic<bool> gBounded{false};
std::atomic<uint64_t> gLeft{0};
}  // namespace

void setHostAllowance(std::optional<uint64_t> bytes) {
  gLeft.store(bytes.value_or(0));
  gBounded.store(bytes.has_value());
}

bool takeHostAllowance(uint64_t bytes) {
  if (!gBounded.load(std::memory_order_relaxed)) return true;
  uint64_t left = gLeft.load();
  while (left >= bytes) {
    if (gLeft.compare_exchange_weak(left, left - bytes)) return true;
  }
  return false;
}

void takeHostAllowanceOrThrow(uint64_t bytes) {
  if (!takeHostAllowance(bytes)) throw std::bad_alloc();
}

}  // namespace kestrane::platform
