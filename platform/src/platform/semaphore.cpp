#include "platform/semaphore.h"

namespace kestrane::platform {

void Semaphore::acquire() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

bool Semaphore::tryAcquireFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, timeout, [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

bool Semaphore::release(int64_t n) {
  {
    std::lock_guard lock(mutex_);
    if (n <= 0 || count_ > max_ - n) return false;
    count_ += n;
  }
  cv_.notify_all();
  return true;
}

}  // namespace kestrane::platform
