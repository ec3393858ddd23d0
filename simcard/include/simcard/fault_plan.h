#pragma once

#include <cstdint>
#include <map>
#include <mutex>

namespace kestrane::simcard {

// Failures a test asks the card for.
enum class FaultOp {
  Post,           // a post is refused
  Claim,          // a claim is refused
  Unclaim,        // an unclaim is refused
  Query,          // a query of free cores is refused
  MapCall,        // a map call fails outright
  MapZeroHandle,  // a map call answers with handle 0
  Unmap,          // an unmap call fails
  Transfer,       // a DMA transfer fails
  DeviceInfo,     // a device-information call fails
};

// What the card does with the next run it starts on a core.
enum class RunFault { None, Hang, Fail };

// What a test has asked the card to get wrong, consumed as the card meets it.
// Cores are named by their core key (cluster | core).
class FaultPlan {
 public:
  // The next `count` operations of the kind fail.
  void failNext(FaultOp op, int count = 1);
  // Only the `nth` operation of the kind from now on fails (1: the next).
  void failAt(FaultOp op, int nth);
  bool take(FaultOp op);

  // The next `count` runs on the core hang (until a reset of the core or a
  // new post ends them) or fail at once.
  void hangRuns(uint32_t coreKey, int count = 1);
  void failRuns(uint32_t coreKey, int count = 1);
  RunFault takeRunFault(uint32_t coreKey);
  // Every run on the core hangs while set, also after resets and fresh
  // programs: a hang that no re-upload cures.
  void hangCore(uint32_t coreKey, bool hang = true);
  bool hangs(uint32_t coreKey) const;
  // Every run on the core takes `ms` longer.
  void delayCore(uint32_t coreKey, uint32_t ms);
  uint32_t delayMs(uint32_t coreKey) const;

  // The cores of the two masks are claimed by another owner right after the
  // `nth` query from now answers (1: the next), as if another process were
  // quicker.
  void stealAfterQuery(int nth, uint8_t cluster0Mask, uint8_t cluster1Mask);
  void stealAfterNextQuery(uint8_t cluster0Mask, uint8_t cluster1Mask) { stealAfterQuery(1, cluster0Mask, cluster1Mask); }
  // Counts one query; the masks to steal now, when this is the planned one.
  bool takeSteal(uint8_t& cluster0Mask, uint8_t& cluster1Mask);

  // Makes the next `count` aligned host allocations of the process fail.
  void failNextHostAllocations(int count);

  void clear();

 private:
  // Operations to let pass before `fail` ones fail.
  struct Schedule {
    int skip = 0;
    int fail = 0;
  };
  struct RunFaults {
    int hang = 0;
    int fail = 0;
  };

  mutable std::mutex mutex_;
  std::map<FaultOp, Schedule> pending_;
  std::map<uint32_t, RunFaults> runFaults_;
  std::map<uint32_t, bool> hung_;
  std::map<uint32_t, uint32_t> delays_;
  int stealAt_ = 0;  // queries until the steal, 0: none planned
  uint8_t steal0_ = 0, steal1_ = 0;
};

}  // namespace kestrane::simcard
