#include "core/trace_event_recorder.h"

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <new>

#include "core/log.h"
#include "kestrane/trace.h"
#include "platform/system_error.h"
#include "platform/thread_start.h"

namespace kestrane {

namespace {
int64_t nowMicros() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count() /
         1000;
}
}  // namespace

TraceEventRecorder::~TraceEventRecorder() {
  stop();
  if (writer_.joinable()) std::terminate();
}

bool TraceEventRecorder::start(const char* path) {
  std::lock_guard control(control_);
  if (enabled_.load()) return true;
  std::FILE* file = std::fopen(path, "w");
  if (file == nullptr) return false;
  if (std::fputs("[\n", file) < 0) {
    std::fclose(file);
    return false;
  }
  std::lock_guard lock(mutex_);
  file_ = file;
  buffers_[0].accepting = true;
  buffers_[1].accepting = true;
  active_ = 0;
  swapAllowed_ = true;
  enabled_.store(true);
  return true;
}

bool TraceEventRecorder::record(std::string name, std::string cat, char ph) {
  if (!enabled_.load(std::memory_order_relaxed)) return false;
  std::unique_lock lock(mutex_);
  if (!enabled_.load(std::memory_order_relaxed)) return false;
  Buffer& buffer = buffers_[active_];
  if (!buffer.accepting) return false;
  try {
    buffer.events.push_back(TraceEvent{std::move(name), std::move(cat), static_cast<int32_t>(::getpid()),
                                       static_cast<int32_t>(::gettid()), nowMicros(), ph});
  } catch (const std::bad_alloc&) {
    return false;  // an event lost; the scopes that end in destructors must not throw
  }
  if (buffer.events.size() > kSwapThreshold && swapAllowed_) {
    const int full = active_;
    active_ = 1 - active_;
    swapAllowed_ = false;
    // The previous writer has set swapAllowed_ as its last act, so this join
    // returns at once; doing it under the lock keeps stop() from racing it.
    if (writer_.joinable()) writer_.join();
    if (!platform::startThread(writer_, &TraceEventRecorder::writeEvents, this, full)) {
      // No thread to be had: this one writes the full buffer, without the
      // lock, so that the other threads go on recording meanwhile.
      KLOG_WARN("Failed to start the trace writer thread ({}); the recording thread writes the events.",
                platform::systemErrorText(platform::lastError()));
      lock.unlock();
      writeEvents(full);
    }
  }
  return true;
}

void TraceEventRecorder::writeEvents(int index) {
  Buffer& buffer = buffers_[index];
  char text[256];
  for (const TraceEvent& e : buffer.events) {
    const int n = std::snprintf(text, sizeof text,
                                "{\"name\":\"%s\",\"cat\":\"%s\",\"ph\":\"%c\",\"pid\":%d,\"tid\":%d,\"ts\":%lld}",
                                e.name.c_str(), e.cat.c_str(), e.ph, e.pid, e.tid,
                                static_cast<long long>(e.ts));
    const char* out = (n < 0 || n >= static_cast<int>(sizeof text)) ? "{\"err\": \"Too long\"}" : text;
    if (std::ftell(file_) > 3) std::fputs(",\n", file_);
    std::fputs(out, file_);
    std::fflush(file_);
  }
  buffer.events.clear();
  {
    std::lock_guard lock(mutex_);
    swapAllowed_ = true;
  }
  written_.notify_all();
}

void TraceEventRecorder::stop() {
  std::lock_guard control(control_);
  std::thread writer;
  {
    std::unique_lock lock(mutex_);
    enabled_.store(false);
    buffers_[0].accepting = false;
    buffers_[1].accepting = false;
    // The full buffer's writer, a thread of its own or a recording thread
    // that found none, allows the next swap as its last act.
    written_.wait(lock, [&] { return swapAllowed_; });
    writer = std::move(writer_);
  }
  if (writer.joinable()) writer.join();
  if (file_ != nullptr) {
    // The inactive buffer holds the older events, if any are left.
    writeEvents(1 - active_);
    writeEvents(active_);
    std::fputs("\n]\n", file_);
    std::fclose(file_);
    file_ = nullptr;
  }
  std::lock_guard lock(mutex_);
  buffers_[0].events.clear();
  buffers_[1].events.clear();
  active_ = 0;
  swapAllowed_ = true;
}

TraceEventRecorder& traceRecorder() {
  // Made on first use, which the library's start-up makes after the other
  // process-wide objects (config/globals.cpp), so that it goes first at
  // exit; an unstopped recording is completed then.
  static TraceEventRecorder recorder;
  return recorder;
}

bool startTracingEvents(const char* path) { return path != nullptr && traceRecorder().start(path); }

void stopTracingEvents() { traceRecorder().stop(); }

}  // namespace kestrane
