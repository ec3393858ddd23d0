#include "hwdep/system_block.h"

namespace kestrane::hwdep {

namespace {

int64_t indexOf(const KeyMap<int32_t>& indices, uint32_t id) {
  const auto it = indices.find(id);
  return it == indices.end() ? 0 : it->second;
}

}  // namespace

bool SystemBlock::read(ByteReader& reader) {
  uint32_t items = 0;
  if (!reader.u32(items)) return false;
  // Each item takes at least eight bytes: a larger count cannot fit.
  if (!reader.need(uint64_t{8} * items)) return false;
  for (uint32_t i = 0; i < items; ++i) {
    uint32_t id = 0;
    int32_t index = 0;
    if (!reader.u32(id) || !reader.i32(index)) return false;
    if (id < 0x10000) {
      coreIndex_[id] = index;
      continue;
    }
    clusterIndex_[id] = index;
    uint32_t count = 0;
    if (!reader.u32(count) || !reader.need(uint64_t{4} * count)) return false;
    Cluster cluster{id, std::vector<uint32_t>(count)};
    for (uint32_t& core : cluster.cores) reader.u32(core);
    clusters_.push_back(std::move(cluster));
  }
  return true;
}

bool SystemBlock::apply(Platform& platform, const std::vector<uint32_t>& types) const {
  for (const Cluster& item : clusters_) {
    ClusterEntry& cluster = platform.resetCluster(item.id);
    for (uint32_t coreId : item.cores) {
      CoreEntry core;
      core.id = coreId;
      core.cluster = &cluster;
      cluster.putCore(core);
    }
  }
  for (uint32_t clusterId : platform.getClusterIds()) {
    ClusterEntry& cluster = platform.getCluster(static_cast<int32_t>(clusterId));
    const uint64_t clusterIndex = static_cast<uint64_t>(indexOf(clusterIndex_, clusterId));
    for (uint32_t coreId : platform.getCoreIdsOfCluster(cluster)) {
      const uint64_t coreIndex = static_cast<uint64_t>(indexOf(coreIndex_, coreId));
      CoreEntry& core = platform.getCoreEntry(cluster, coreId);
      for (uint32_t type : types) {
        const auto t = static_cast<int32_t>(type);
        core.setAddress(type, platform.getMemoryAddress(0, t) + clusterIndex * platform.getMemoryAddress(2, t) +
                                  coreIndex * platform.getMemoryAddress(1, t));
      }
    }
  }
  return true;
}

}  // namespace kestrane::hwdep
