#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrane {

struct TraceEvent {
  std::string name;
  std::string cat;
  int32_t pid = 0;
  int32_t tid = 0;
  int64_t ts = 0;  // steady clock, microseconds
  char ph = 'B';
};

// Records begin/end events into two alternating buffers; a writer thread
// empties a full one (more than 100000 events) into the file while the other
// fills, so recording threads never wait for the disk. When no writer thread
// can be started, the recording thread whose event filled the buffer writes
// it instead, outside the lock: nothing held is lost and no request fails.
//
// Threads: record() starts a writer at each swap, after joining the one
// before (which has ended by then); stop() waits for the full buffer's
// writer, whichever thread it is (written_), and joins the writer thread.
// Locks: control_ (start/stop) is taken before mutex_; mutex_ guards the
// flags, the active index, appends and the writer thread object. A writer
// takes only mutex_, and only to allow the next swap.
class TraceEventRecorder {
 public:
  static constexpr size_t kSwapThreshold = 100000;

  TraceEventRecorder() = default;
  ~TraceEventRecorder();
  TraceEventRecorder(const TraceEventRecorder&) = delete;
  TraceEventRecorder& operator=(const TraceEventRecorder&) = delete;

  bool start(const char* path);
  void stop();
  // True when the event was stored; false, not an exception, when there was
  // no host memory to store it.
  bool record(std::string name, std::string cat, char ph);
  // Cheap check for callers that want to skip building labels.
  bool enabled() const { return enabled_.load(std::memory_order_relaxed); }

 private:
  struct Buffer {
    std::vector<TraceEvent> events;
    bool accepting = false;
  };

  void writeEvents(int index);

  std::mutex control_;
  std::mutex mutex_;
  std::condition_variable written_;  // swapAllowed_ became true
  Buffer buffers_[2];
  std::thread writer_;
  std::FILE* file_ = nullptr;
  std::atomic<bool> enabled_{false};
  int active_ = 0;
  bool swapAllowed_ = true;
};

// The process-wide recorder behind startTracingEvents and TraceScope.
TraceEventRecorder& traceRecorder();

}  // namespace kestrane
