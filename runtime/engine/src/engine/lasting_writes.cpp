#include "engine/lasting_writes.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <unordered_map>
#include <utility>

#include "driver/device_memory_access.h"
#include "engine/core_key.h"

namespace kestrane {

namespace {

constexpr int kChannels = 4;
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

// The bytes of one core (or of one channel window of a core) that later
// writes reach: disjoint spans, start -> end, that join when they touch.
class Covered {
 public:
  // Covers [begin, end) and returns the stretches of it not covered before,
  // each as {address, size}.
  std::vector<WritePart> add(uint64_t begin, uint64_t end) {
    std::vector<WritePart> gaps;
    if (begin >= end) return gaps;
    auto it = spans_.upper_bound(begin);
    if (it != spans_.begin() && std::prev(it)->second >= begin) --it;
    uint64_t cursor = begin, low = begin, high = end;
    // Every span met is merged away, so adding stays amortised logarithmic.
    while (it != spans_.end() && it->first <= end) {
      if (it->first > cursor) gaps.push_back({cursor, it->first - cursor});
      cursor = std::max(cursor, it->second);
      low = std::min(low, it->first);
      high = std::max(high, it->second);
      it = spans_.erase(it);
    }
    if (cursor < end) gaps.push_back({cursor, end - cursor});
    spans_.emplace(low, high);
    return gaps;
  }

  // Takes [begin, end), which lies inside one span, out of it again.
  void remove(uint64_t begin, uint64_t end) {
    auto it = spans_.upper_bound(begin);
    if (begin >= end || it == spans_.begin()) return;
    --it;
    const uint64_t low = it->first, high = it->second;
    if (high < end) return;
    spans_.erase(it);
    if (low < begin) spans_.emplace(low, begin);
    if (end < high) spans_.emplace(end, high);
  }

 private:
  std::map<uint64_t, uint64_t> spans_;
};

// Periods of a write, counted from its start, that a part keeps: first and
// last, both included.
using Periods = std::pair<uint64_t, uint64_t>;

// A write outside the interleave: the periods holding its bytes [from, to).
Periods bytePeriods(uint64_t from, uint64_t to) {
  return {from / kInterleavePeriod, (to - 1) / kInterleavePeriod};
}

// Positions [x, y) of channel window c that a write from position `start`
// reaches and no later write does: the periods of the write a part must hold
// to reach the ones programs read (the first 256 bytes of each window
// period). A granule position holds one byte of the write; a gap position
// is reached only by sending the channel's next granule too.
bool windowPeriods(int c, uint64_t start, uint64_t x, uint64_t y, Periods& out) {
  uint64_t first = x;
  if (x % kInterleavePeriod >= kInterleaveGranule) {
    const uint64_t skip = kInterleavePeriod - x % kInterleavePeriod;
    if (skip >= y - x) return false;
    first = x + skip;
  }
  const uint64_t end = y - 1;
  const uint64_t last = end % kInterleavePeriod < kInterleaveGranule
                            ? end
                            : end - end % kInterleavePeriod + (kInterleaveGranule - 1);
  const uint64_t r = last - start;
  const bool gap = c > 0 && r % kInterleavePeriod >= kInterleaveGranule;
  out = {(first - start) / kInterleavePeriod, r / kInterleavePeriod + (gap ? 1 : 0)};
  return true;
}

// Whole periods, joined where they touch, as parts of a write of `size` bytes.
std::vector<WritePart> partsOf(std::vector<Periods>& periods, uint64_t size) {
  std::sort(periods.begin(), periods.end());
  std::vector<WritePart> parts;
  uint64_t begin = 0, last = 0;
  for (size_t k = 0; k < periods.size(); ++k) {
    if (k == 0 || periods[k].first > last + 1) {
      if (k > 0) parts.push_back({begin, std::min((last + 1) * kInterleavePeriod, size) - begin});
      begin = periods[k].first * kInterleavePeriod;
      last = periods[k].second;
    } else {
      last = std::max(last, periods[k].second);
    }
  }
  if (!periods.empty()) parts.push_back({begin, std::min((last + 1) * kInterleavePeriod, size) - begin});
  return parts;
}

}  // namespace

std::vector<std::vector<WritePart>> lastingParts(const std::vector<DevicePlacement>& writes, bool interleave,
                                                 uint64_t chunk) {
  std::vector<std::vector<WritePart>> parts(writes.size());
  std::unordered_map<uint32_t, Covered> plain;
  std::unordered_map<uint32_t, std::array<Covered, kChannels>> windows;
  std::vector<Periods> periods;
  for (size_t i = writes.size(); i-- > 0;) {
    const DevicePlacement& w = writes[i];
    periods.clear();
    if (!interleave || w.address < kInterleaveFirst || w.address > kInterleaveLast) {
      const uint64_t size = std::min(w.size, kMax - w.address);
      for (const WritePart& gap : plain[coreKey(w.core)].add(w.address, w.address + size))
        periods.push_back(bytePeriods(gap.offset - w.address, gap.offset - w.address + gap.size));
      parts[i] = partsOf(periods, size);
      continue;
    }
    // Interleaved writes meet in the channel windows, at the low 32 bits of
    // their addresses, whatever the rest.
    const uint64_t start = w.address & 0xFFFFFFFF;
    const uint64_t size = std::min(w.size, kMax - start);
    std::array<Covered, kChannels>& window = windows[coreKey(w.core)];
    for (int c = 0; c < kChannels; ++c) {
      const uint64_t reach = c == 0 ? size : channelBytes(c, size);
      const uint64_t skipped = chunk > 0 ? channelBytes(c, chunk) : chunk;
      for (const WritePart& gap : window[c].add(start, start + reach)) {
        Periods p;
        if (windowPeriods(c, start, gap.offset, gap.offset + gap.size, p)) periods.push_back(p);
        if (c == 0 || chunk == 0) continue;
        // Sent in chunks, the write leaves the end of each full chunk's last
        // period of this window as it was: what lay there stays uncovered.
        const uint64_t from = gap.offset - start, to = from + gap.size;
        for (uint64_t k = from / chunk; k * chunk < to && size - k * chunk > chunk; ++k) {
          const uint64_t holeFrom = std::max(from, k * chunk + skipped), holeTo = std::min(to, (k + 1) * chunk);
          if (holeFrom < holeTo) window[c].remove(start + holeFrom, start + holeTo);
        }
      }
    }
    parts[i] = partsOf(periods, size);
  }
  return parts;
}

}  // namespace kestrane
