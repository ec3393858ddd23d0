#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kestrane::platform {

inline constexpr uint32_t kWaitObject0 = 0;
inline constexpr uint32_t kWaitTimeout = 258;
inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

// Manual-reset event: once set it stays signalled until reset, and every
// waiter passes.
class Event {
 public:
  explicit Event(bool signalled = false) : signalled_(signalled) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  void reset();
  bool isSet() const;
  // kWaitObject0 when signalled within `ms` milliseconds (kInfinite: no
  // limit), else kWaitTimeout.
  uint32_t wait(uint32_t ms = kInfinite) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  bool signalled_;
};

}  // namespace kestrane::platform
