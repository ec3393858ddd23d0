#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kestrane::platform {

// Counting semaphore with a maximum count, as the driver layer expects of the
// operating system's.
class Semaphore {
 public:
  Semaphore(int64_t initial, int64_t maximum) : count_(initial), max_(maximum) {}
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  void acquire();
  // False when the count stayed 0 for the whole time-out.
  bool tryAcquireFor(std::chrono::milliseconds timeout);
  // False (and no change) when the release would pass the maximum.
  bool release(int64_t n = 1);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int64_t count_;
  int64_t max_;
};

}  // namespace kestrane::platform
