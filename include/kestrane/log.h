#pragma once

#include "kestrane/export.h"
#include "kestrane/type.h"

namespace kestrane {

// Sets the level of every logger and of loggers made later. A value outside
// DEBUG..OFF changes nothing.
KESTRANE_API void setLogLevel(LogLevel level);

}  // namespace kestrane
