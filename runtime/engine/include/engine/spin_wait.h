#pragma once

// A short busy wait before a blocking one, where it pays. A hand-off between
// threads that blocks costs the waker a system call and the waiter a kernel
// wake-up of a few microseconds; a wait that ends within a couple of
// microseconds is cheaper spent looking. Each waiting place keeps its own
// record of whether its looks succeed and stops looking (but for a probe
// now and then) while they mostly fail, so a place whose waits are long
// costs no CPU beyond the odd probe. With a single CPU to run on nothing is
// gained by looking: the thread that would end the wait cannot run.

#include <atomic>
#include <chrono>
#include <cstdint>

namespace kestrane {

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Whether this process may run on more than one CPU (read once).
bool multipleCpus();

class AdaptiveSpin {
 public:
  // About the cost of a blocking hand-off on a virtual machine.
  static constexpr std::chrono::nanoseconds kBudget{2000};
  // While looks mostly fail, one wait in kProbeEvery still looks.
  static constexpr uint32_t kProbeEvery = 64;

  AdaptiveSpin() = default;
  AdaptiveSpin(const AdaptiveSpin&) = delete;
  AdaptiveSpin& operator=(const AdaptiveSpin&) = delete;

  // True as soon as `ready()` is, false when the budget passed first or
  // looking does not pay here (the caller then blocks).
  template <typename Ready>
  bool spin(Ready ready) {
    if (ready()) return true;
    if (!multipleCpus()) return false;
    if (score_.load(std::memory_order_relaxed) < 0 &&
        probe_.fetch_add(1, std::memory_order_relaxed) % kProbeEvery != 0)
      return false;
    const auto end = std::chrono::steady_clock::now() + kBudget;
    for (;;) {
      for (int i = 0; i < 16; ++i) {
        cpuRelax();
        if (ready()) {
          record(true);
          return true;
        }
      }
      if (std::chrono::steady_clock::now() >= end) {
        record(false);
        return false;
      }
    }
  }

 private:
  // A success pays for about one failed look (a blocking hand-off costs
  // about the budget): the score stays at or above zero while at least
  // half of the looks succeed.
  void record(bool success) {
    int score = score_.load(std::memory_order_relaxed);
    const int next = success ? (score < kLimit ? score + 1 : score) : (score > -kLimit ? score - 1 : score);
    score_.store(next, std::memory_order_relaxed);  // a lost update only blurs the record
  }

  static constexpr int kLimit = 8;
  std::atomic<int> score_{0};
  std::atomic<uint32_t> probe_{0};
};

}  // namespace kestrane
