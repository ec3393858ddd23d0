#pragma once

// The host memory behind a simulated card's device memory: 64 KiB pages cut
// from slabs of 32 (2 MiB) that the heap maps itself, outside the C heap and
// never in huge pages, so that a page counts in the resident set only once
// it is touched. A page given back gives its memory back at once (it reads
// zero when it is handed out again), and a slab whose last page goes is
// unmapped: what the card gives up leaves the process's address space, and
// a launch that failed for want of memory leaves room for the next one's
// threads. At the card's 1 GiB cap a heap holds at most 512 slabs, one
// mapping each, so even 64 cards stay far under the system's limit on a
// process's mappings (vm.max_map_count, 65530 by default).
//
// Threads: any thread may take and give back pages (the heap has a lock of
// its own); giving back allocates nothing and never fails.
//
// Lifetime: a Page points into its heap. Every Page (those in a
// DeviceMemory's page map and those in its journals) must be given back or
// destroyed before its heap is; the heap's destructor unmaps every slab.

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>

namespace kestrane::simcard {

class PageHeap {
  // A slab's record, apart from the slab so that its pages stay untouched
  // until used.
  struct Slab {
    uint8_t* base = nullptr;
    uint32_t free = 0;  // bit i: page i is free
  };
  using Slabs = std::list<Slab>;

 public:
  static constexpr uint64_t kPageSize = 64 * 1024;
  static constexpr uint32_t kSlabPages = 32;
  static constexpr uint64_t kSlabSize = kPageSize * kSlabPages;

  // Owns one page of a heap, or none. Moving hands the page over;
  // destroying (or reset) gives it back to its heap.
  class Page {
   public:
    Page() = default;
    Page(Page&& other) noexcept;
    Page& operator=(Page&& other) noexcept;
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;
    ~Page() { reset(); }
    uint8_t* get() const { return bytes_; }
    explicit operator bool() const { return bytes_ != nullptr; }
    void reset() noexcept;

   private:
    friend class PageHeap;
    Page(PageHeap* heap, Slabs::iterator slab, uint8_t* bytes) : heap_(heap), slab_(slab), bytes_(bytes) {}
    PageHeap* heap_ = nullptr;
    Slabs::iterator slab_{};
    uint8_t* bytes_ = nullptr;
  };

  struct Usage {
    uint64_t pages = 0;  // handed out
    uint64_t slabs = 0;  // mapped
    uint64_t mappedBytes() const { return slabs * kSlabSize; }
  };

  PageHeap() = default;
  ~PageHeap();
  PageHeap(const PageHeap&) = delete;
  PageHeap& operator=(const PageHeap&) = delete;

  // A page that reads zero; none when the host has no memory for it: the
  // test-only host allowance (platform/host_allowance.h, a page counts 64
  // KiB against it) is spent, a slab cannot be mapped, or its record cannot
  // be allocated. Never throws.
  Page allocate() noexcept;
  Usage usage() const;

  // For tests: the next `count` slabs this heap would map fail to map, as
  // when the process's address space is full.
  void failNextMaps(int count);

 private:
  void giveBack(Slabs::iterator slab, uint8_t* bytes) noexcept;

  mutable std::mutex mutex_;
  // A record moves between the lists by splicing, which keeps the pages'
  // iterators valid and allocates nothing.
  Slabs partial_;  // slabs with a free page, newest first
  Slabs full_;     // slabs without one
  Usage usage_;
  int failMaps_ = 0;
};

}  // namespace kestrane::simcard
