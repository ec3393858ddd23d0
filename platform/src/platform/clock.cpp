#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace kestrane::platform {

uint64_t ticks100ns() {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<uint64_t>(ns.count()) / 100;
}

void beginTimerPeriod(uint32_t) {}
void endTimerPeriod(uint32_t) {}

void sleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace kestrane::platform
