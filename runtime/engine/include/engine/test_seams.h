#pragma once

// Seams for the engine's tests. Nothing of the public API reaches them; the
// product never changes them, so the product uses the defaults below.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace kestrane::seams {

// The watchdog's time-out rule: 10 x the variant's expected run time,
// `unknownNs` when none is known, never below `floorNs`; `initWaitNs` bounds
// the wait for an instruction-memory init run.
struct WatchdogTimes {
  uint64_t floorNs = 1000000000ull;
  uint64_t unknownNs = 10000000000ull;
  uint64_t initWaitNs = 10000000000ull;
};
WatchdogTimes watchdogTimes();
void setWatchdogTimes(const WatchdogTimes& times);

// The device family accelerators created from now on read in place of the
// compiled-in hardware description's (its interleave flag follows from it);
// nullopt restores the description's.
void setDeviceFamily(std::optional<std::string> family);
std::optional<std::string> deviceFamily();

// Every reset thread passes this mutex after it woke up for a request and
// before it takes the requests: a test that holds it lets requests gather.
std::mutex& resetGate();

}  // namespace kestrane::seams
