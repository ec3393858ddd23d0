#include "platform/event.h"

#include "platform/clock.h"
#include "platform/futex.h"

namespace kestrane::platform {

const void* Event::signal() {
  const void* address = &word_;  // taken first: the event may be gone once signalled
  const uint32_t before = word_.fetch_or(kSignalled, std::memory_order_acq_rel);
  return (before & kSignalled) == 0 && before >= kWaiter ? address : nullptr;
}

void Event::set() {
  if (const void* address = signal()) futexWakeAll(address);
}

void Event::reset() { word_.fetch_and(~kSignalled, std::memory_order_acq_rel); }

bool Event::isSet() const { return (word_.load(std::memory_order_acquire) & kSignalled) != 0; }

uint32_t Event::wait(uint32_t ms) const {
  if (isSet()) return kWaitObject0;
  if (ms == 0) return kWaitTimeout;
  const uint64_t deadline = ms == kInfinite ? 0 : ticks100ns() + uint64_t{ms} * 10000;
  // Counted as a waiter before looking again, so a set either is seen here
  // or sees the waiter and wakes it.
  uint32_t word = word_.fetch_add(kWaiter, std::memory_order_acq_rel) + kWaiter;
  while ((word & kSignalled) == 0) {
    const bool inTime = futexWait(word_, word, deadline);
    word = word_.load(std::memory_order_acquire);
    if (!inTime) break;
  }
  word_.fetch_sub(kWaiter, std::memory_order_acq_rel);
  return (word & kSignalled) != 0 ? kWaitObject0 : kWaitTimeout;
}

}  // namespace kestrane::platform
