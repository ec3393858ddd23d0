// Copy runs stored in a model file may write one destination element more
// than once; applied in order, the later run wins. A file of a few bytes per
// run could so make every request copy its slice many times over: the runs
// are reduced once, at model creation, to runs that write each element once.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <queue>
#include <vector>

#include "dataplane/reposition.h"

namespace kestrane {

namespace {

// Whether two runs write one destination element (empty runs write none).
bool overlapping(const CopyRuns& runs) {
  std::vector<size_t> order;
  order.reserve(runs.lengths.size());
  for (size_t k = 0; k < runs.lengths.size(); ++k)
    if (runs.lengths[k] != 0) order.push_back(k);
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return runs.dstOffsets[a] < runs.dstOffsets[b]; });
  uint64_t end = 0;
  for (size_t k : order) {
    if (runs.dstOffsets[k] < end) return true;
    end = uint64_t{runs.dstOffsets[k]} + runs.lengths[k];
  }
  return false;
}

// Appends destination [from, to) taken from run k, joined to the run before
// when both sides continue it.
void append(CopyRuns& out, const CopyRuns& runs, size_t k, uint64_t from, uint64_t to) {
  const auto src = static_cast<uint32_t>(runs.srcOffsets[k] + (from - runs.dstOffsets[k]));
  const auto length = static_cast<uint32_t>(to - from);
  if (!out.lengths.empty()) {
    const uint64_t last = out.lengths.back();
    if (out.dstOffsets.back() + last == from && out.srcOffsets.back() + last == src &&
        last + length <= std::numeric_limits<uint32_t>::max()) {
      out.lengths.back() += length;
      return;
    }
  }
  out.srcOffsets.push_back(src);
  out.lengths.push_back(length);
  out.dstOffsets.push_back(static_cast<uint32_t>(from));
}

}  // namespace

CopyRuns disjointRuns(const CopyRuns& runs) {
  if (!overlapping(runs)) return {};
  // A sweep over the runs' ends in destination order: between two ends the
  // latest run still open writes the element.
  struct End {
    uint64_t at;
    size_t run;
    bool opens;
  };
  std::vector<End> ends;
  ends.reserve(2 * runs.lengths.size());
  for (size_t k = 0; k < runs.lengths.size(); ++k) {
    if (runs.lengths[k] == 0) continue;
    ends.push_back({runs.dstOffsets[k], k, true});
    ends.push_back({uint64_t{runs.dstOffsets[k]} + runs.lengths[k], k, false});
  }
  std::sort(ends.begin(), ends.end(), [](const End& a, const End& b) { return a.at < b.at; });
  std::priority_queue<size_t> open;  // the latest run on top; closed ones leave when they reach it
  std::vector<bool> closed(runs.lengths.size(), false);
  CopyRuns out;
  uint64_t from = 0;
  for (size_t e = 0; e < ends.size();) {
    const uint64_t at = ends[e].at;
    while (!open.empty() && closed[open.top()]) open.pop();
    if (!open.empty() && at > from) append(out, runs, open.top(), from, at);
    for (; e < ends.size() && ends[e].at == at; ++e) {
      if (ends[e].opens) open.push(ends[e].run);
      else closed[ends[e].run] = true;
    }
    from = at;
  }
  return out;
}

}  // namespace kestrane
