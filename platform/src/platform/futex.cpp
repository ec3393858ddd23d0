#include "platform/futex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

namespace kestrane::platform {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word is 32 bits");

bool futexWait(const std::atomic<uint32_t>& word, uint32_t expected, uint64_t deadline) {
  timespec at{};
  at.tv_sec = static_cast<time_t>(deadline / 10000000);
  at.tv_nsec = static_cast<long>(deadline % 10000000 * 100);
  // The bitset form takes an absolute time on the monotonic clock, the one
  // ticks100ns() reads.
  const long r = syscall(SYS_futex, reinterpret_cast<const uint32_t*>(&word), FUTEX_WAIT_BITSET_PRIVATE, expected,
                         deadline != 0 ? &at : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
  return r == 0 || errno != ETIMEDOUT;
}

void futexWakeAll(const void* word) {
  syscall(SYS_futex, static_cast<const uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace kestrane::platform
