#include "engine/spin_wait.h"

#include <sched.h>

#include <thread>

namespace kestrane {

bool multipleCpus() {
  static const bool many = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return true;
    return CPU_COUNT(&set) > 1;
  }();
  return many;
}

void yieldCpu() { std::this_thread::yield(); }

}  // namespace kestrane
