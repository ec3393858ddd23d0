#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "simcard/card_layout.h"

namespace kestrane::simcard {

// Sparse device memory: 64 KiB pages that read as zero until first written,
// inside the card's regions only, with a cap on the bytes committed. An
// access outside the regions or past the cap fails as a whole.
class DeviceMemory {
 public:
  static constexpr uint64_t kPageSize = 64 * 1024;

  DeviceMemory(const std::vector<MemoryRegion>& regions, uint64_t capBytes);

  // What a run of writes changed: the pages it touched as they were before
  // (null: not committed then), and whether one of its writes was refused
  // for the cap. Restoring it undoes the run.
  struct Journal {
    std::map<uint64_t, std::unique_ptr<uint8_t[]>> before;
    bool refusedForCap = false;
  };

  // True when [address, address + size) lies inside the regions.
  bool contains(uint64_t address, uint64_t size) const;
  bool read(uint64_t address, void* dst, uint64_t size) const;
  // With a journal, records in it what the write changes.
  bool write(uint64_t address, const void* src, uint64_t size, Journal* journal = nullptr);
  // Puts the journal's pages back as they were; uncommitted ones are given up.
  void restore(const Journal& journal);
  uint64_t committedBytes() const;
  // Overwrites every committed byte of [address, address + size) with
  // `value`; pages never written stay uncommitted and keep reading zero.
  void scramble(uint64_t address, uint64_t size, uint8_t value);

 private:
  std::vector<MemoryRegion> regions_;  // sorted, adjacent ones merged
  uint64_t cap_;
  mutable std::mutex mutex_;
  std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>> pages_;
};

}  // namespace kestrane::simcard
