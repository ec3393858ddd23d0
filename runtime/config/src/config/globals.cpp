#include "config/globals.h"

#include <mutex>

#include "core/log.h"
#include "core/trace_event_recorder.h"
#include "hwdep/platform.h"
#include "platform/semaphore.h"

namespace kestrane {

namespace {

// Built in this order at load and destroyed in reverse at exit: the trace
// recorder, made last, completes a recording still open while everything
// else is there.
const hwdep::Platform gPlatform;
const bool gLoggingReady = (setUpLogging(), true);
platform::Semaphore gDmaSemaphore(1, 0x7FFFFFFF);
std::mutex gDriverTextMutex;
std::string gDriverText;
[[maybe_unused]] TraceEventRecorder& gTraceRecorder = traceRecorder();

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
