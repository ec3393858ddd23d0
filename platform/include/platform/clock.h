#pragma once

#include <cstdint>

namespace kestrane::platform {

// Monotonic time in 100-nanosecond ticks.
uint64_t ticks100ns();

// Timer-resolution requests; Linux timers are fine-grained already, so the
// pair does nothing but keeps callers symmetric.
void beginTimerPeriod(uint32_t ms);
void endTimerPeriod(uint32_t ms);

void sleepMs(uint32_t ms);

}  // namespace kestrane::platform
