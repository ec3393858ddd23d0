#pragma once

#include <cstdint>

namespace kestrane::hwdep {

// The hardware description compiled into the library (format version 4) and
// its length word. Constant-initialised, so it is ready before any static
// initialiser runs.
extern const uint8_t kBuiltinDescription[];
extern const uint32_t kBuiltinDescriptionLength;

}  // namespace kestrane::hwdep
