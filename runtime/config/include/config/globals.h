#pragma once

// The process-wide objects. They are all built in globals.cpp, in the order
// they must be built at load: hardware description, logger set-up, the DMA
// semaphore, the driver text, then the trace recorder (whose accessor lives
// with the tracing code, core/trace_event_recorder.h). Do not use them from
// the static initialisers of other translation units.

#include <string>

namespace kestrane {

namespace platform {
class Semaphore;
}
namespace hwdep {
class Platform;
}

// The hardware description built from the compiled-in description at load.
// Shared by every thread: only its const members are used, which never insert.
const hwdep::Platform& processPlatform();

// Serialises allocation and release of host DMA memory across the process.
platform::Semaphore& dmaSemaphore();

// The driver layer's process-wide text: a text is appended only when the
// string does not already hold it.
void appendDriverText(const std::string& text);
std::string driverText();

}  // namespace kestrane
