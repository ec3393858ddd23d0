#pragma once

// A short busy wait before a blocking one, where it pays. A hand-off between
// threads that blocks costs the waker a system call and the waiter a kernel
// wake-up of a few microseconds; a wait that ends within a couple of
// microseconds is cheaper spent looking. Each waiting place keeps its own
// record of whether its looks succeed and stops looking (but for a probe
// now and then) while they mostly fail, so a place whose waits are long
// costs no CPU beyond the odd probe. With a single CPU to run on, looking
// means giving way: the thread that ends the wait runs meanwhile, and the
// hand-off costs a switch instead of a sleep and a wake-up.

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
// Offers the CPU to another thread that can run.
void yieldCpu();

class AdaptiveSpin {
 public:
  // About the cost of a blocking hand-off on a virtual machine.
  static constexpr std::chrono::nanoseconds kBudget{2000};
  // With a single CPU: giving way to the threads that have work, about the
  // time of a short request's whole road.
  static constexpr std::chrono::nanoseconds kYieldBudget{100000};
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
    if (score_.load(std::memory_order_relaxed) < 0 &&
        probe_.fetch_add(1, std::memory_order_relaxed) % kProbeEvery != 0)
      return false;
    const bool many = multipleCpus();
    const auto end = std::chrono::steady_clock::now() + (many ? kBudget : kYieldBudget);
    for (;;) {
      if (many) {
        for (int i = 0; i < 16; ++i) {
          cpuRelax();
          if (ready()) return record(true);
        }
      } else {
        // On one CPU the answer can only come while this thread gives way:
        // handing the CPU over costs less than sleeping and being woken,
        // and nothing while another thread has work.
        yieldCpu();
        if (ready()) return record(true);
      }
      if (std::chrono::steady_clock::now() >= end) return record(false);
    }
  }

 private:
  // A success pays for about one failed look (a blocking hand-off costs
  // about the budget): the score stays at or above zero while at least
  // half of the looks succeed.
  bool record(bool success) {
    const int score = score_.load(std::memory_order_relaxed);
    const int next = success ? (score < kLimit ? score + 1 : score) : (score > -kLimit ? score - 1 : score);
    score_.store(next, std::memory_order_relaxed);  // a lost update only blurs the record
    return success;
  }

  static constexpr int kLimit = 8;
  std::atomic<int> score_{0};
  std::atomic<uint32_t> probe_{0};
};

}  // namespace kestrane
