#pragma once

#include <cstdint>
#include <map>
#include <mutex>

namespace kestrane::simcard {

// Failures a test asks the card for.
enum class FaultOp {
  Post,           // the next post is refused
  Claim,          // the next claim is refused
  Unclaim,        // the next unclaim is refused
  Query,          // the next query of free cores is refused
  MapCall,        // the next map call fails outright
  MapZeroHandle,  // the next map call answers with handle 0
  Unmap,          // the next unmap call fails
  Transfer,       // the next DMA transfer fails
  DeviceInfo,     // the next device-information call fails
};

// What a test has asked the card to get wrong, consumed as the card meets it.
// Cores are named by their core key (cluster | core).
class FaultPlan {
 public:
  void failNext(FaultOp op, int count = 1);
  bool take(FaultOp op);

  // Runs on the core never end while set.
  void hangCore(uint32_t coreKey, bool hang = true);
  bool hangs(uint32_t coreKey) const;
  // Every run on the core takes `ms` longer.
  void delayCore(uint32_t coreKey, uint32_t ms);
  uint32_t delayMs(uint32_t coreKey) const;

  // The cores of the two masks are claimed by another owner right after the
  // next query answers, as if another process were quicker.
  void stealAfterNextQuery(uint8_t cluster0Mask, uint8_t cluster1Mask);
  // The masks to steal now (zero when nothing is planned); clears the plan.
  bool takeSteal(uint8_t& cluster0Mask, uint8_t& cluster1Mask);

  // Makes the next `count` aligned host allocations of the process fail.
  void failNextHostAllocations(int count);

  void clear();

 private:
  mutable std::mutex mutex_;
  std::map<FaultOp, int> pending_;
  std::map<uint32_t, bool> hung_;
  std::map<uint32_t, uint32_t> delays_;
  bool steal_ = false;
  uint8_t steal0_ = 0, steal1_ = 0;
};

}  // namespace kestrane::simcard
