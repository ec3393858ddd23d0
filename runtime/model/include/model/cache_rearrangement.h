#pragma once

// The arguments of the cache-rearrangement program of a sequence model, and
// the checks of the caller's request that decide them. The program takes
// eight 32-bit values a0..a7 (its rmem entries of types 3 to 10):
//   a0 tail size, a1 start of the tail, a2 keep mask of the tail (filter);
//   a3 move source, a4 move destination, a5 moved length, a6 and a7 the
//   region behind the moved block (move); a7 alone: clear that many
//   positions from 0 (reset).
// Pure functions: the model checks launch state and runs the program.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrane/status.h"

namespace kestrane {

using RearrangeArgs = std::array<uint32_t, 8>;

// A filter or move as the device should do it.
struct CacheRearrangement {
  // Not OK: refused, after its error line; the cache size stays.
  StatusCode status = StatusCode::OK;
  // With OK: whether the program must run (false: nothing to move).
  bool run = false;
  RearrangeArgs args{};
  // The cache size once the run (if any) has succeeded.
  uint32_t newCacheSize = 0;
};

// Drops the positions of the last `tailSize` (at most 32) whose mask entry
// is false. Sizes are taken as signed 32-bit values, as callers pass them.
CacheRearrangement planFilterCacheTail(uint32_t cacheSize, int32_t tailSize, const std::vector<bool>& mask,
                                       uint32_t maxCacheSize);
// Moves the last `numTail` positions behind the first `numHead`, on
// `granule` boundaries (0 counts as 1).
CacheRearrangement planMoveCacheTail(uint32_t numHead, int32_t numTail, uint32_t cacheSize, uint32_t maxCacheSize,
                                     uint32_t granule);
// Clears `maxCacheSize` positions from 0.
RearrangeArgs resetArguments(uint32_t maxCacheSize);

// The dump file of a cache area: directory, "/" unless it ends in one, then
// "cache_" + layer hash + ".bin".
std::string cacheFilePath(const std::string& directory, const std::string& layerHash);

}  // namespace kestrane
