#pragma once

// Device writes made one after another, as registration uploads sections and
// runs reload program pieces: a later write to the same bytes of the same
// core replaces an earlier one, so of each write only what no later write of
// its core covers lasts. Writing just that leaves the device as writing
// everything would, and keeps the bytes written within the union of the
// writes (plus at most two interleave periods per part), however often a
// file places its sections over each other.

#include <cstdint>
#include <vector>

#include "engine/engine_model.h"

namespace kestrane {

// A stretch of one write: `offset` bytes from its start.
struct WritePart {
  uint64_t offset = 0;
  uint64_t size = 0;
};

// For each write, in order, the parts of it that last, ascending and apart.
// Parts start and end at whole interleave periods counted from the write's
// start (or at its end), so that an interleaved transfer of a part puts each
// byte where the transfer of the whole write would.
std::vector<std::vector<WritePart>> lastingParts(const std::vector<DevicePlacement>& writes);

}  // namespace kestrane
