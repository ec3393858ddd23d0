#pragma once

// What every fuzz target shares.

#include <spdlog/spdlog.h>

namespace kestrane::fuzz {

// The library logs one line per refusal; at fuzzing speed that is noise.
inline void quietLogs() {
  static const bool quiet = (spdlog::set_level(spdlog::level::off), true);
  (void)quiet;
}

}  // namespace kestrane::fuzz
