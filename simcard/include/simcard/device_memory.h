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
// access outside the regions or past the cap fails as a whole, and so does
// a write whose pages (host memory) the host cannot give.
class DeviceMemory {
 public:
  static constexpr uint64_t kPageSize = 64 * 1024;

  DeviceMemory(const std::vector<MemoryRegion>& regions, uint64_t capBytes);

  // What a run of writes changed: the pages it touched as they were before
  // (null: not committed then), and whether one of its writes was refused
  // for want of memory (past the cap, or no host memory for its pages).
  // Restoring it undoes the run.
  struct Journal {
    std::map<uint64_t, std::unique_ptr<uint8_t[]>> before;
    bool refusedForMemory = false;
  };

  // True when [address, address + size) lies inside the regions.
  bool contains(uint64_t address, uint64_t size) const;
  bool read(uint64_t address, void* dst, uint64_t size) const;
  // With a journal, records in it what the write changes. Every page the
  // write commits and every copy it keeps is had before anything changes:
  // a write the host has no memory for logs a line, changes nothing and
  // leaves errno ENOMEM.
  bool write(uint64_t address, const void* src, uint64_t size, Journal* journal = nullptr);
  // Puts the journal's pages back as they were, handing its copies over;
  // uncommitted ones are given up. A page the host has no memory to bring
  // back stays uncommitted (reads zero), after a line. Never throws.
  void restore(Journal& journal);
  uint64_t committedBytes() const;
  // Overwrites every committed byte of [address, address + size) with
  // `value`; pages never written stay uncommitted and keep reading zero.
  void scramble(uint64_t address, uint64_t size, uint8_t value);

 private:
  std::vector<MemoryRegion> regions_;  // sorted, adjacent ones merged
  uint64_t cap_;
  mutable std::mutex mutex_;
  using Pages = std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>>;
  Pages pages_;  // never holds a null page
};

}  // namespace kestrane::simcard
