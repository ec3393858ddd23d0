#include "simcard/card_layout.h"

#include <algorithm>
#include <iterator>
#include <map>

#include "config/globals.h"
#include "hwdep/platform.h"

namespace kestrane::simcard {

namespace {

constexpr uint32_t kDdr = static_cast<uint32_t>(hwdep::MemoryType::DDR);
constexpr uint32_t kImem = static_cast<uint32_t>(hwdep::MemoryType::IMEM);
constexpr uint32_t kRmem = static_cast<uint32_t>(hwdep::MemoryType::RMEM);
constexpr uint32_t kStatusRegister = static_cast<uint32_t>(hwdep::MemoryType::StatusRegister);
constexpr uint32_t kControlRegister = static_cast<uint32_t>(hwdep::MemoryType::ControlRegister);

// The description gives where regions start, not how long they are: a region
// reaches to the next start, at most 2 GiB for DDR and 8 MiB for the others.
constexpr uint64_t kMaxDdr = 2ull << 30;
constexpr uint64_t kMaxLocal = 8ull << 20;

uint64_t address(const std::map<uint32_t, uint64_t>& addresses, uint32_t type) {
  auto it = addresses.find(type);
  return it == addresses.end() ? 0 : it->second;
}

}  // namespace

int CardLayout::find(int cluster, int core) const {
  for (size_t i = 0; i < cores.size(); ++i)
    if (cores[i].cluster == cluster && cores[i].core == core) return static_cast<int>(i);
  return -1;
}

MemoryRegion CardLayout::regionAt(uint64_t base) const {
  for (const auto& r : regions)
    if (r.base == base) return r;
  return {base, 0};
}

CardLayout builtinLayout(bool interleaved) {
  const hwdep::Platform& platform = processPlatform();
  CardLayout layout;
  std::map<uint64_t, uint64_t> starts;  // start -> largest size allowed
  for (const auto& [clusterId, cluster] : platform.clusters()) {
    const int c = static_cast<int>(clusterId / 0x10000) - 1;
    if (c < 0 || c > 1) continue;
    for (const auto& [coreId, entry] : cluster.cores) {
      const int n = coreId == 0xFFFE ? 4 : static_cast<int>(coreId) - 1;
      if (n < 0 || n > 4) continue;
      std::map<uint32_t, uint64_t> addresses(entry.addresses.begin(), entry.addresses.end());
      layout.cores.push_back({c, n, address(addresses, kDdr), address(addresses, kImem), address(addresses, kRmem)});
      for (const auto& [type, start] : addresses) {
        if (type == kStatusRegister || type == kControlRegister || start == 0) continue;
        if (interleaved && type == kDdr) continue;
        uint64_t& cap = starts[start];
        cap = std::max(cap, type == kDdr ? kMaxDdr : kMaxLocal);
      }
    }
  }
  for (auto it = starts.begin(); it != starts.end(); ++it) {
    auto next = std::next(it);
    uint64_t size = it->second;
    if (next != starts.end()) size = std::min(size, next->first - it->first);
    layout.regions.push_back({it->first, size});
  }
  if (interleaved) layout.regions.push_back(kChannelWindows);
  return layout;
}

}  // namespace kestrane::simcard
