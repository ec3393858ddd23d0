#pragma once

#include <atomic>
#include <cstdint>

namespace kestrane::platform {

inline constexpr uint32_t kWaitObject0 = 0;
inline constexpr uint32_t kWaitTimeout = 258;
inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

// Manual-reset event: once set it stays signalled until reset, and every
// waiter passes.
//
// One futex word holds the signal and the count of blocked waiters, so a
// setter touches the event only in one atomic step: a waiter that sees the
// signal may let the event go at once, and it is never woken only to block
// again on a lock the setter still holds.
class Event {
 public:
  explicit Event(bool signalled = false) : word_(signalled ? kSignalled : 0) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  void reset();
  bool isSet() const;
  // kWaitObject0 when signalled within `ms` milliseconds (kInfinite: no
  // limit), else kWaitTimeout.
  uint32_t wait(uint32_t ms = kInfinite) const;

 private:
  friend class IoCompletion;
  // set() in two steps, for a setter that signals under a lock of its own
  // and wakes once it let the lock go: signals, and returns the address to
  // wake (futexWakeAll) or null when nobody waits. The wake touches nothing
  // of the event, which its owner may have let go by then.
  const void* signal();

  static constexpr uint32_t kSignalled = 1, kWaiter = 2;
  mutable std::atomic<uint32_t> word_;
};

}  // namespace kestrane::platform
