#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "simcard/card_layout.h"
#include "simcard/page_heap.h"

namespace kestrane::simcard {

// Sparse device memory: 64 KiB pages that read as zero until first written,
// inside the card's regions only, with a cap on the bytes committed. An
// access outside the regions or past the cap fails as a whole, and so does
// a write whose pages (host memory) the host cannot give. The pages come
// from a page heap of the memory's own (simcard/page_heap.h), the journals'
// copies from another: a page given up gives its memory back at once, and
// leaves the process's address space with the last page of its slab.
class DeviceMemory {
 public:
  static constexpr uint64_t kPageSize = PageHeap::kPageSize;

  DeviceMemory(const std::vector<MemoryRegion>& regions, uint64_t capBytes);

  // What a run of writes changed: the pages it changed as they were before
  // (empty: not committed then), and whether one of its writes was refused
  // for want of memory (past the cap, or no host memory for its pages).
  // Restoring it undoes the run. A committed page gets a copy only when a
  // write changes its bytes, once per journal. Clearing `before` drops the
  // copies (allocating nothing). Its pages are the memory's: a journal must
  // be cleared or destroyed before its memory is.
  struct Journal {
    std::map<uint64_t, PageHeap::Page> before;
    bool refusedForMemory = false;
    // Bytes of the copies it holds.
    uint64_t copiedBytes() const;
  };

  // True when [address, address + size) lies inside the regions.
  bool contains(uint64_t address, uint64_t size) const;
  bool read(uint64_t address, void* dst, uint64_t size) const;
  // With a journal, records in it what the write changes. Every page the
  // write commits and every copy it keeps is had before anything changes:
  // a write the host has no memory for logs a line, changes nothing and
  // leaves errno ENOMEM. Only the bytes that differ from what a page holds
  // are written into it, so zeros over a fresh page leave its memory
  // untouched.
  bool write(uint64_t address, const void* src, uint64_t size, Journal* journal = nullptr);
  // Puts the journal's pages back as they were (the copies' bytes into the
  // pages, or a copy itself where its page was given up since); the pages
  // it found uncommitted are given up. A page the host has no memory to
  // bring back stays uncommitted (reads zero), after a line. Leaves the
  // journal empty. Never throws.
  void restore(Journal& journal);
  uint64_t committedBytes() const;
  // The host memory behind the pages and the journals' copies.
  PageHeap::Usage hostUsage() const;
  // Overwrites every committed byte of [address, address + size) with
  // `value`; pages never written stay uncommitted and keep reading zero.
  void scramble(uint64_t address, uint64_t size, uint8_t value);

 private:
  std::vector<MemoryRegion> regions_;  // sorted, adjacent ones merged
  uint64_t cap_;
  mutable std::mutex mutex_;
  // Before the pages: destroyed after them. The journals' copies have slabs
  // of their own, so that those empty, and go, when a launch drops them.
  PageHeap heap_, copies_;
  using Pages = std::unordered_map<uint64_t, PageHeap::Page>;
  Pages pages_;  // never holds an empty page
};

}  // namespace kestrane::simcard
