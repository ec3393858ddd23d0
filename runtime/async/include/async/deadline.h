#pragma once

// Deadlines of the asynchronous side's bounded waits, on the monotonic clock.
// Callers pass time-outs straight from the public API, so the arithmetic
// saturates instead of overflowing.

#include <chrono>
#include <cstdint>
#include <limits>

namespace kestrane {

using AsyncClock = std::chrono::steady_clock;

// now + timeoutMs, saturating at the clock's largest value; now when the
// time-out is zero or negative.
inline AsyncClock::time_point deadlineAfter(int64_t timeoutMs) {
  using std::chrono::nanoseconds;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  const AsyncClock::time_point now = AsyncClock::now();
  if (timeoutMs <= 0) return now;
  const int64_t since = std::chrono::duration_cast<nanoseconds>(now.time_since_epoch()).count();
  const int64_t wait = timeoutMs > kMax / 1000000 ? kMax : timeoutMs * 1000000;
  const int64_t at = since > kMax - wait ? kMax : since + wait;
  return AsyncClock::time_point(std::chrono::duration_cast<AsyncClock::duration>(nanoseconds(at)));
}

}  // namespace kestrane
