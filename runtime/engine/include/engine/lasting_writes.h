#pragma once

// Device writes made one after another, as registration uploads sections and
// runs reload program pieces: a later write to the same device bytes replaces
// an earlier one, so of each write only what no later write of its core
// reaches lasts. Writing just that leaves every byte a program reads as
// writing everything would, and keeps the bytes written within the union of
// the writes in each channel window (plus a few interleave periods for each
// stretch that later writes leave uncovered), however often a file places
// its sections over each other.
//
// With the interleave on, a write inside the interleaved range reaches the
// four channel windows as writeDeviceMemory sends it: all its bytes to
// window 0, and to window c its channel's granules, one per 1 KiB period,
// with zeros between them up to the last one. Programs read only the first
// 256 bytes of each period of a window; the other 768 (the gaps) may end
// differently from writing everything.

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
// A part starts at a whole interleave period counted from its write's start
// and ends at one (or at the write's end), so that its transfer, made at the
// write's address with the part's offset, puts each byte where the write's
// own transfer would. `interleave` is the flag the transfers are made with;
// `chunk` (0: none; else whole periods) is the size in which each write is
// sent from its start: a part must then be sent in pieces that do not cross
// those boundaries.
std::vector<std::vector<WritePart>> lastingParts(const std::vector<DevicePlacement>& writes, bool interleave,
                                                 uint64_t chunk = 0);

}  // namespace kestrane
