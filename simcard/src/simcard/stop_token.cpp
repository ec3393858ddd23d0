#include "simcard/stop_token.h"

#include <chrono>

namespace kestrane::simcard {

void StopToken::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  cv_.notify_all();
}

void StopToken::reset() {
  std::lock_guard lock(mutex_);
  stopped_ = false;
}

bool StopToken::stopped() const {
  std::lock_guard lock(mutex_);
  return stopped_;
}

bool StopToken::sleepFor(uint64_t microseconds) const {
  std::unique_lock lock(mutex_);
  return !cv_.wait_for(lock, std::chrono::microseconds(microseconds), [this] { return stopped_; });
}

void StopToken::waitUntilStopped() const {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return stopped_; });
}

}  // namespace kestrane::simcard
