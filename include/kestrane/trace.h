#pragma once

#include "kestrane/export.h"

namespace kestrane {

// Starts recording trace events into a Chrome trace-event file at `path`.
// True when recording (already, or from now on); false when the file cannot
// be opened or written.
KESTRANE_API bool startTracingEvents(const char* path);

// Stops recording, writes the remaining events and closes the file.
KESTRANE_API void stopTracingEvents();

}  // namespace kestrane
