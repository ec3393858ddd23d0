#include "platform/event.h"

#include <chrono>

namespace kestrane::platform {

void Event::set() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  cv_.notify_all();
}

void Event::reset() {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

bool Event::isSet() const {
  std::lock_guard lock(mutex_);
  return signalled_;
}

uint32_t Event::wait(uint32_t ms) const {
  std::unique_lock lock(mutex_);
  if (ms == kInfinite) {
    cv_.wait(lock, [this] { return signalled_; });
    return kWaitObject0;
  }
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return signalled_; }) ? kWaitObject0
                                                                                          : kWaitTimeout;
}

}  // namespace kestrane::platform
