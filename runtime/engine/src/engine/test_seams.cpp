#include "engine/test_seams.h"

#include <atomic>

namespace kestrane::seams {

namespace {

std::atomic<uint64_t> gFloorNs{WatchdogTimes{}.floorNs};
std::atomic<uint64_t> gUnknownNs{WatchdogTimes{}.unknownNs};
std::atomic<uint64_t> gInitWaitNs{WatchdogTimes{}.initWaitNs};

std::mutex gFamilyMutex;
std::optional<std::string> gFamily;

}  // namespace

WatchdogTimes watchdogTimes() {
  return {gFloorNs.load(std::memory_order_relaxed), gUnknownNs.load(std::memory_order_relaxed),
          gInitWaitNs.load(std::memory_order_relaxed)};
}

void setWatchdogTimes(const WatchdogTimes& times) {
  gFloorNs = times.floorNs;
  gUnknownNs = times.unknownNs;
  gInitWaitNs = times.initWaitNs;
}

void setDeviceFamily(std::optional<std::string> family) {
  std::lock_guard lock(gFamilyMutex);
  gFamily = std::move(family);
}

std::optional<std::string> deviceFamily() {
  std::lock_guard lock(gFamilyMutex);
  return gFamily;
}

std::mutex& resetGate() {
  static std::mutex gate;
  return gate;
}

}  // namespace kestrane::seams
