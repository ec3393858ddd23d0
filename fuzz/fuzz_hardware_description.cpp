// libFuzzer target: a hardware description of any format version, parsed
// into a Platform whose clusters, cores and addresses are then walked through
// the lookups the engine uses (a core refers back to its cluster entry).

#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "hwdep/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestrane::fuzz::quietLogs();
  const kestrane::hwdep::Platform platform(data, size);
  uint64_t sum = platform.getVendor().size() + platform.getProduct().size() + platform.getDeviceFamily().size();
  for (uint32_t clusterId : platform.getClusterIds()) {
    const auto& cluster = platform.getCluster(static_cast<int32_t>(clusterId));
    // Every stored entry (the const lookup reads 0xFFFD as 0xFFFE, which a
    // description need not hold).
    for (const auto& [coreId, core] : cluster.cores) {
      sum += coreId;
      if (core.cluster != nullptr) sum += core.cluster->id;
      for (const auto& [type, address] : core.addresses) {
        sum += platform.lookupU64ById(core, static_cast<int32_t>(type)) ^ address;
      }
    }
  }
  return sum == 42 ? 0 : 0;  // keeps the walk from being optimised away
}
