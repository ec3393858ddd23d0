#include "config/globals.h"

#include <mutex>

#include "core/log.h"
#include "hwdep/platform.h"
#include "platform/semaphore.h"

namespace kestrane {

namespace {

// Built in this order at load and destroyed in reverse at exit.
const hwdep::Platform gPlatform;
const bool gLoggingReady = (setUpLogging(), true);
platform::Semaphore gDmaSemaphore(1, 0x7FFFFFFF);
std::mutex gDriverTextMutex;
std::string gDriverText;

}  // namespace

const hwdep::Platform& processPlatform() { return gPlatform; }

platform::Semaphore& dmaSemaphore() { return gDmaSemaphore; }

void appendDriverText(const std::string& text) {
  std::lock_guard lock(gDriverTextMutex);
  if (gDriverText.find(text) == std::string::npos) gDriverText += text;
}

std::string driverText() {
  std::lock_guard lock(gDriverTextMutex);
  return gDriverText;
}

}  // namespace kestrane
