#pragma once

// The device monitor: one named shared block in which every process that
// opens a card publishes the card's use for outside monitoring tools.
//
// Layout (little-endian): u32 magic at 0, then from offset 8 one 1080-byte
// slot per card 0..31: u32 flags at 0, u64 device-memory footprint at 1024,
// u32 post counters of cluster 0 at 1040 (Core0..Core3, GlobalCore) and of
// cluster 1 at 1060. Words are updated with atomic operations, as several
// threads and processes share them.

#include <cstdint>
#include <string>

#include "platform/shared_memory.h"

namespace kestrane {

class TalissMonitor {
 public:
  static constexpr const char* kBlockName = "KESTRANE_TALISS_MONITOR";
  static constexpr uint64_t kBlockSize = 34568;
  static constexpr uint32_t kMagic = 0xA8150003;
  static constexpr uint64_t kSlotsOffset = 8;
  static constexpr uint64_t kSlotSize = 1080;
  static constexpr int kSlots = 32;
  static constexpr uint64_t kFootprintOffset = 1024;
  static constexpr uint64_t kCountersOffset = 1040;
  static constexpr uint32_t kFlagOpened = 1, kFlagDeviceAlive = 2;

  // Opens the block (printing a line when that fails); a writer stores the magic.
  explicit TalissMonitor(bool writer);
  ~TalissMonitor();
  TalissMonitor(const TalissMonitor&) = delete;
  TalissMonitor& operator=(const TalissMonitor&) = delete;

  // Attaches card `card`'s slot: none for card 32 and above, without a view,
  // or when the block does not start with the magic.
  void attachSlot(int card);
  bool hasSlot() const { return slot_ != nullptr; }
  uint8_t* slot() const { return slot_; }

  void setFlags(uint32_t bits);
  void clearFlags(uint32_t bits);
  void storeFootprint(uint64_t bytes);
  // cluster 0 or 1, core 0..3 or 4 for the global core.
  void countPost(int cluster, int core);

  // The block every monitor of this process opens; tests use a name of their own.
  static void setBlockName(const std::string& name);
  static std::string blockName();

 private:
  platform::SharedMemory memory_;
  bool writer_;
  uint8_t* slot_ = nullptr;
};

}  // namespace kestrane
