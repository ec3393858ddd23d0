#pragma once

// What every fuzz target shares.

#include <spdlog/spdlog.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrane::fuzz {

// The library logs one line per refusal; at fuzzing speed that is noise.
inline void quietLogs() {
  static const bool quiet = (spdlog::set_level(spdlog::level::off), true);
  (void)quiet;
}

// Versions 2 to 6 store the byte sum of the file at offset 16 (20 in version
// 6): a mutated file would nearly always stop there. The sum is rewritten so
// that mutations reach the readers; the check itself has its own tests.
inline void fixChecksum(std::vector<uint8_t>& b) {
  if (b.size() < 24) return;
  const uint32_t major = (static_cast<uint32_t>(b[6]) | static_cast<uint32_t>(b[7]) << 8);
  if (major < 2 || major > 6) return;
  const size_t at = major == 6 ? 20 : 16;
  uint32_t sum = 0;
  for (size_t i = 0; i < b.size(); ++i) sum += (i >= at && i < at + 4) ? 0 : b[i];
  for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(sum >> (8 * i));
}

}  // namespace kestrane::fuzz
