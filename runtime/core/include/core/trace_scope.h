#pragma once

#include <new>
#include <string>

#include "core/trace_event_recorder.h"

namespace kestrane {

// Records "B" on construction and "E" on destruction under one label and
// category; costs one atomic load while tracing is off.
class TraceScope {
 public:
  // On the process-wide recorder, with an empty category.
  explicit TraceScope(const char* name) : TraceScope(traceRecorder(), "", name) {}
  TraceScope(TraceEventRecorder& recorder, const char* cat, const char* name)
      : recorder_(recorder), name_(name), cat_(cat) {
    if (recorder_.enabled()) recorder_.record(name_, cat_, 'B');
  }
  // The end is recorded whenever tracing is on, also for a scope opened
  // before tracing started.
  ~TraceScope() {
    if (!recorder_.enabled()) return;
    try {
      recorder_.record(name_, cat_, 'E');
    } catch (const std::bad_alloc&) {  // no memory for the label: the event is lost
    }
  }
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

 private:
  TraceEventRecorder& recorder_;
  const char* name_;
  const char* cat_;
};

}  // namespace kestrane
