#pragma once

#include <cstdint>
#include <vector>

#include "hwdep/byte_reader.h"
#include "hwdep/platform.h"

namespace kestrane::hwdep {

// The system block of format versions 2 and 3: clusters with their core ids,
// and the core and cluster indices that place each core's memory regions on
// the address templates.
class SystemBlock {
 public:
  // Reads the whole block before anything is stored; false when it does not
  // fit its bytes.
  bool read(ByteReader& reader);
  // Makes the clusters and cores and stores, for each memory type of
  // `types` in that order, base + cluster index * cluster step + core index
  // * core step (wrapping at 64 bits).
  bool apply(Platform& platform, const std::vector<uint32_t>& types) const;

 private:
  struct Cluster {
    uint32_t id;
    std::vector<uint32_t> cores;
  };
  std::vector<Cluster> clusters_;
  KeyMap<int32_t> coreIndex_;
  KeyMap<int32_t> clusterIndex_;
};

}  // namespace kestrane::hwdep
