#include "hwdep/platform.h"

#include <limits>
#include <stdexcept>

#include "core/log.h"
#include "hwdep/builtin_description.h"
#include "hwdep/parser.h"

namespace kestrane::hwdep {

namespace {

// Memory types that get a template entry in each of the three rows.
constexpr uint32_t kTemplateTypes[] = {12, 13, 14, 15, 16, 17, 7, 0, 2, 1, 3, 4, 5, 6, 18, 20, 21, 22, 24, 25, 23, 26};

template <typename Map>
auto& at(Map& map, uint32_t key) {
  auto it = map.find(key);
  if (it == map.end()) throw std::out_of_range("invalid map<K, T> key");
  return it->second;
}

uint32_t canonicalCoreId(uint32_t coreId) { return coreId == 0xFFFD ? 0xFFFE : coreId; }

}  // namespace

Platform::Platform() : Platform(kBuiltinDescription, kBuiltinDescriptionLength) {}

Platform::Platform(const uint8_t* data, size_t length) {
  systemValues_.fill(kUnset64);
  generalValues_.fill(kUnset64);
  for (uint32_t row = 0; row < 3; ++row) {
    for (uint32_t type : kTemplateTypes) addressTemplates_[row][type] = kUnset64;
  }
  if (!parse(data, length)) KLOG_ERROR("Hardware information could not be retrieved.");
}

bool Platform::parse(const uint8_t* data, size_t length) {
  if (length > std::numeric_limits<uint32_t>::max()) return false;
  formatLength_ = static_cast<uint32_t>(length);
  ByteReader reader(data, length);
  uint32_t version = 0;
  if (!reader.u32(version)) return false;
  formatVersion_ = version;
  auto parser = createParser(version);
  return parser && parser->populate(*this, data, formatLength_);
}

std::vector<uint32_t> Platform::getClusterIds() const {
  std::vector<uint32_t> ids;
  ids.reserve(clusters_.size());
  for (const auto& entry : clusters_) ids.push_back(entry.first);
  return ids;
}

ClusterEntry& Platform::getCluster(int32_t clusterId) { return clusters_[static_cast<uint32_t>(clusterId)]; }

const ClusterEntry& Platform::getCluster(int32_t clusterId) const {
  return at(clusters_, static_cast<uint32_t>(clusterId));
}

std::vector<uint32_t> Platform::getCoreIdsOfCluster(const ClusterEntry& cluster) const {
  std::vector<uint32_t> ids;
  ids.reserve(cluster.cores.size());
  for (const auto& entry : cluster.cores) ids.push_back(entry.first);
  return ids;
}

CoreEntry& Platform::getCoreEntry(ClusterEntry& cluster, uint32_t coreId) {
  return cluster.cores[canonicalCoreId(coreId)];
}

const CoreEntry& Platform::getCoreEntry(const ClusterEntry& cluster, uint32_t coreId) const {
  return at(cluster.cores, canonicalCoreId(coreId));
}

uint64_t Platform::lookupU64ById(const CoreEntry& core, int32_t memoryType) const {
  return at(core.addresses, static_cast<uint32_t>(memoryType));
}

uint64_t Platform::getMemoryAddress(int32_t row, int32_t memoryType) const {
  return at(at(addressTemplates_, static_cast<uint32_t>(row)), static_cast<uint32_t>(memoryType));
}

bool Platform::setAddressTemplate(uint32_t row, uint32_t memoryType, uint64_t value) {
  addressTemplates_[row][memoryType] = value;
  return true;
}

bool Platform::setEntryOffset(int32_t id, uint32_t offset) {
  entryOffsets_[id] = offset;
  return true;
}

ClusterEntry& Platform::resetCluster(uint32_t id) {
  ClusterEntry& cluster = clusters_[id];
  cluster.id = id;
  cluster.cores.clear();
  return cluster;
}

}  // namespace kestrane::hwdep
