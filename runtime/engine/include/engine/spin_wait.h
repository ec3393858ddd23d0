#pragma once

// A short busy wait before a blocking one. A hand-off between threads that
// blocks costs a kernel wake-up (several microseconds, far more on a busy
// machine); the answers the engine waits for often come within tens of
// microseconds, so its threads look for them a little while first.

#include <chrono>
#include <thread>

namespace kestrane {

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// True as soon as `ready()` is, false when `budget` passed first. The CPU is
// offered to other threads between looks: the thread that makes `ready()`
// true was often just woken on this very CPU.
template <typename Ready>
bool spinUntil(Ready ready, std::chrono::nanoseconds budget) {
  if (ready()) return true;
  const auto end = std::chrono::steady_clock::now() + budget;
  for (;;) {
    for (int i = 0; i < 16; ++i) {
      cpuRelax();
      if (ready()) return true;
    }
    std::this_thread::yield();
    if (ready()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
  }
}

}  // namespace kestrane
