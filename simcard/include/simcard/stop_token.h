#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kestrane::simcard {

// Lets a run's waits end early when the card abandons the run.
class StopToken {
 public:
  void stop();
  // Ready for another run; only while nothing waits on the token.
  void reset();
  bool stopped() const;
  // False when stopped before the time was up.
  bool sleepFor(uint64_t microseconds) const;
  void waitUntilStopped() const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  bool stopped_ = false;
};

}  // namespace kestrane::simcard
