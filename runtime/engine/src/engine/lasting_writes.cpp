#include "engine/lasting_writes.h"

#include <algorithm>
#include <limits>
#include <map>
#include <unordered_map>

#include "driver/device_memory_access.h"
#include "engine/core_key.h"

namespace kestrane {

namespace {

// The bytes of one core that later writes cover: disjoint spans, start ->
// end, that join when they touch.
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

 private:
  std::map<uint64_t, uint64_t> spans_;
};

}  // namespace

std::vector<std::vector<WritePart>> lastingParts(const std::vector<DevicePlacement>& writes) {
  std::vector<std::vector<WritePart>> parts(writes.size());
  std::unordered_map<uint32_t, Covered> covered;
  for (size_t i = writes.size(); i-- > 0;) {
    const DevicePlacement& w = writes[i];
    const uint64_t size = std::min(w.size, std::numeric_limits<uint64_t>::max() - w.address);
    for (const WritePart& gap : covered[coreKey(w.core)].add(w.address, w.address + size)) {
      // Widened to whole periods: what the widening adds is covered by a
      // later write, which puts it right again.
      const uint64_t from = gap.offset - w.address, to = from + gap.size;
      const uint64_t begin = from - from % kInterleavePeriod, past = to % kInterleavePeriod;
      uint64_t end = to;
      if (past != 0) end = size - to <= kInterleavePeriod - past ? size : to + (kInterleavePeriod - past);
      std::vector<WritePart>& mine = parts[i];
      if (!mine.empty() && mine.back().offset + mine.back().size >= begin)
        mine.back().size = std::max(mine.back().offset + mine.back().size, end) - mine.back().offset;
      else
        mine.push_back({begin, end - begin});
    }
  }
  return parts;
}

}  // namespace kestrane
