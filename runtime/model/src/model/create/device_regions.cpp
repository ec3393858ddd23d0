#include "model/device_regions.h"

#include <algorithm>
#include <iterator>
#include <map>

#include "config/globals.h"
#include "hwdep/memory_type.h"
#include "hwdep/platform.h"

namespace kestrane {

namespace {

constexpr uint64_t kMaxDdr = 2ull << 30;
constexpr uint64_t kMaxLocal = 8ull << 20;

void build(std::vector<DeviceRegions::Span>& spans) {
  const hwdep::Platform& platform = processPlatform();
  std::map<uint64_t, uint64_t> starts;  // start -> largest size allowed
  for (const auto& [clusterId, cluster] : platform.clusters()) {
    for (const auto& [coreId, entry] : cluster.cores) {
      for (const auto& [type, start] : entry.addresses) {
        const auto t = static_cast<hwdep::MemoryType>(type);
        if (t == hwdep::MemoryType::StatusRegister || t == hwdep::MemoryType::ControlRegister || start == 0) continue;
        uint64_t& cap = starts[start];
        cap = std::max(cap, t == hwdep::MemoryType::DDR ? kMaxDdr : kMaxLocal);
      }
    }
  }
  for (auto it = starts.begin(); it != starts.end(); ++it) {
    const auto next = std::next(it);
    uint64_t size = it->second;
    if (next != starts.end()) size = std::min(size, next->first - it->first);
    const uint64_t end = it->first + size;
    if (!spans.empty() && spans.back().end >= it->first) {
      spans.back().end = std::max(spans.back().end, end);
    } else {
      spans.push_back({it->first, end});
    }
  }
}

}  // namespace

const DeviceRegions& DeviceRegions::card() {
  static const DeviceRegions regions = [] {
    DeviceRegions r;
    build(r.spans_);
    return r;
  }();
  return regions;
}

uint64_t DeviceRegions::largest() const {
  uint64_t size = 0;
  for (const Span& s : spans_) size = std::max(size, s.end - s.begin);
  return size;
}

uint64_t DeviceRegions::total() const {
  uint64_t size = 0;
  for (const Span& s : spans_) size += s.end - s.begin;
  return size;
}

bool DeviceRegions::contains(uint64_t address, uint64_t size) const {
  if (size == 0) return true;
  if (address + size < address) return false;
  auto it = std::upper_bound(spans_.begin(), spans_.end(), address,
                             [](uint64_t a, const Span& s) { return a < s.begin; });
  if (it == spans_.begin()) return false;
  --it;
  return address >= it->begin && address + size <= it->end;
}

}  // namespace kestrane
