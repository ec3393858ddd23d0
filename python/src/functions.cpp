// The module's free functions: log level, trace-event recording and the
// model summary.
#include <string>

#include "bindings.h"
#include "kestrane/log.h"
#include "kestrane/summary.h"
#include "kestrane/trace.h"

namespace ophel {

void bindSetLogLevel(py::module_& m) { m.def("set_log_level", &kestrane::setLogLevel); }

void bindTracingFunctions(py::module_& m) {
  // A std::string argument refuses None with TypeError instead of handing the
  // recorder a null path.
  m.def("start_tracing_events", [](const std::string& path) {
    if (path.find('\0') != std::string::npos) throw py::value_error("path contains a NUL character");
    return kestrane::startTracingEvents(path.c_str());
  });
  m.def("stop_tracing_events", &kestrane::stopTracingEvents);
}

// An empty text when the file cannot be read or described; the reason is logged.
void bindModelSummary(py::module_& m) { m.def("get_model_summary", &kestrane::getModelSummary); }

}  // namespace ophel
