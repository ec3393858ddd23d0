// The simulated card's page heap: pages given back leave the process's
// address space once their slab empties, a page handed out again reads zero,
// the pages still held keep their bytes, and the mappings stay bounded by
// the pages held (a slab of 32 each at most), also for several cards at the
// 1 GiB cap. And a heap without memory for a page hands out none.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host_allowance.h"
#include "simcard/page_heap.h"

namespace kestrane::test {
namespace {

using simcard::PageHeap;

constexpr uint64_t kPage = PageHeap::kPageSize;
constexpr uint64_t kSlabPages = PageHeap::kSlabPages;
constexpr uint64_t kPagesAtTheCap = (uint64_t{1} << 30) / kPage;

struct Range {
  uintptr_t begin, end;
};

// The process's mappings, from /proc/self/maps.
std::vector<Range> mappings() {
  std::vector<Range> ranges;
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    std::istringstream fields(line);
    uintptr_t begin = 0, end = 0;
    char dash = 0;
    fields >> std::hex >> begin >> dash >> end;
    ranges.push_back({begin, end});
  }
  return ranges;
}

// The index of the mapping that holds `page` (the maps are in address order), or -1.
long mappingOf(const std::vector<Range>& ranges, const uint8_t* page) {
  const auto at = reinterpret_cast<uintptr_t>(page);
  auto next = std::upper_bound(ranges.begin(), ranges.end(), at, [](uintptr_t a, const Range& r) { return a < r.begin; });
  if (next == ranges.begin() || at >= std::prev(next)->end) return -1;
  return std::prev(next) - ranges.begin();
}

bool readsZero(const uint8_t* page) {
  return std::all_of(page, page + kPage, [](uint8_t b) { return b == 0; });
}

// The bytes a test leaves in page i of a heap: its first, a middle and its last.
uint8_t mark(uint64_t i) { return static_cast<uint8_t>(i * 7 % 251 + 1); }
void stamp(uint8_t* page, uint64_t i) { page[0] = page[kPage / 2 + 3] = page[kPage - 1] = mark(i); }
bool stamped(const uint8_t* page, uint64_t i) {
  return page[0] == mark(i) && page[kPage / 2 + 3] == mark(i) && page[kPage - 1] == mark(i);
}

TEST(PageHeapTest, PagesGivenBackLeaveTheAddressSpaceWithTheirSlabAndReadZeroWhenReused) {
  struct Case {
    const char* name;
    int heaps;                                 // cards, each with a heap of its own
    uint64_t taken;                            // pages each heap hands out
    std::function<bool(uint64_t)> givenBack;   // which of them go back
    std::function<bool(uint64_t)> stampedOne;  // which of them the test writes to
    uint64_t slabsLeft;                        // each heap's slabs once they went back
  };
  auto all = [](uint64_t) { return true; };
  auto firstSlabs = [](uint64_t i) { return i < 128 || i % 97 == 0; };
  const std::vector<Case> cases = {
      {"AllOfOneSlab", 1, kSlabPages, all, all, 0},
      {"AllOfThreeSlabsAndAPage", 1, 3 * kSlabPages + 1, all, all, 0},
      {"EveryOtherPage", 1, 4 * kSlabPages, [](uint64_t i) { return i % 2 == 1; }, all, 4},
      {"TheFirstSlabWhole", 1, 2 * kSlabPages, [](uint64_t i) { return i < kSlabPages; }, all, 1},
      {"AllButOneEachSlab", 1, 3 * kSlabPages, [](uint64_t i) { return i % kSlabPages != 5; }, all, 3},
      // The card's cap on four cards: all but the first page of each 64th
      // slab go back. Only some pages are written, so that little is resident.
      {"TheCapOnFourCards", 4, kPagesAtTheCap, [](uint64_t i) { return i % (64 * kSlabPages) != 0; }, firstSlabs,
       kPagesAtTheCap / kSlabPages / 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::unique_ptr<PageHeap>> heaps;
    std::vector<std::vector<PageHeap::Page>> pages(static_cast<size_t>(c.heaps));
    for (int h = 0; h < c.heaps; ++h) {
      heaps.push_back(std::make_unique<PageHeap>());
      auto& held = pages[static_cast<size_t>(h)];
      held.reserve(c.taken);
      for (uint64_t i = 0; i < c.taken; ++i) {
        held.push_back(heaps.back()->allocate());
        ASSERT_TRUE(held.back()) << "heap " << h << ", page " << i;
        if (c.stampedOne(i)) {
          ASSERT_TRUE(readsZero(held.back().get())) << i;
          stamp(held.back().get(), i);
        }
      }
      const uint64_t slabs = (c.taken + kSlabPages - 1) / kSlabPages;
      EXPECT_EQ(heaps.back()->usage().slabs, slabs);
      EXPECT_EQ(heaps.back()->usage().pages, c.taken);
    }
    // The pages lie in one mapping a slab at most (the kernel may merge
    // neighbours): at the cap, 512 a card, far under vm.max_map_count
    // (65530) for 64 cards.
    {
      const std::vector<Range> ranges = mappings();
      std::vector<long> holding;
      for (auto& held : pages)
        for (auto& p : held) holding.push_back(mappingOf(ranges, p.get()));
      std::sort(holding.begin(), holding.end());
      holding.erase(std::unique(holding.begin(), holding.end()), holding.end());
      EXPECT_NE(holding.front(), -1) << "a page handed out is not mapped";
      EXPECT_LE(holding.size(), c.heaps * ((c.taken + kSlabPages - 1) / kSlabPages));
    }

    std::vector<const uint8_t*> gone;
    for (auto& held : pages)
      for (uint64_t i = 0; i < c.taken; ++i)
        if (c.givenBack(i)) {
          gone.push_back(held[i].get());
          held[i].reset();
        }
    const std::vector<Range> now = mappings();
    for (int h = 0; h < c.heaps; ++h) {
      const auto& heap = *heaps[static_cast<size_t>(h)];
      EXPECT_EQ(heap.usage().slabs, c.slabsLeft) << "heap " << h;
      const uint64_t kept = static_cast<uint64_t>(std::count_if(
          pages[static_cast<size_t>(h)].begin(), pages[static_cast<size_t>(h)].end(), [](auto& p) { return bool(p); }));
      EXPECT_EQ(heap.usage().pages, kept);
    }
    // A page given back with no held page within a slab's size of it (so
    // none of its slab) is no longer mapped.
    std::vector<uintptr_t> heldAt;
    for (auto& held : pages)
      for (auto& p : held)
        if (p) heldAt.push_back(reinterpret_cast<uintptr_t>(p.get()));
    std::sort(heldAt.begin(), heldAt.end());
    for (const uint8_t* page : gone) {
      const uintptr_t at = reinterpret_cast<uintptr_t>(page);
      auto next = std::lower_bound(heldAt.begin(), heldAt.end(), at);
      const bool near = (next != heldAt.end() && *next - at < PageHeap::kSlabSize) ||
                        (next != heldAt.begin() && at - *std::prev(next) < PageHeap::kSlabSize);
      if (!near) {
        EXPECT_EQ(mappingOf(now, page), -1) << "a page of an empty slab is still mapped";
      }
      if (HasFailure()) break;
    }
    // Taken again: they read zero; the pages held kept their bytes.
    for (int h = 0; h < c.heaps && !HasFailure(); ++h) {
      auto& held = pages[static_cast<size_t>(h)];
      for (uint64_t i = 0; i < c.taken; ++i) {
        if (held[i]) {
          if (c.stampedOne(i)) {
            EXPECT_TRUE(stamped(held[i].get(), i)) << i;
          }
          continue;
        }
        held[i] = heaps[static_cast<size_t>(h)]->allocate();
        ASSERT_TRUE(held[i]);
        if (c.stampedOne(i) || i % 31 == 0) {
          ASSERT_TRUE(readsZero(held[i].get())) << "a page handed out again, " << i;
        }
      }
    }
    pages.clear();  // before their heaps
    heaps.clear();
  }
}

// A heap that cannot map a slab, or whose allowance is spent, hands out no
// page and keeps nothing; once memory is back it hands pages out again.
TEST(PageHeapTest, AHeapWithoutMemoryHandsOutNoPage) {
  struct Case {
    const char* name;
    uint64_t heldBefore;            // pages held when memory runs out
    std::function<void(PageHeap&)> runOut;
    bool fromTheSlabHeld;           // a page comes from a slab already mapped
  };
  const std::vector<Case> cases = {
      {"NoSlabMaps", 0, [](PageHeap& heap) { heap.failNextMaps(1); }, false},
      {"NoSlabMapsWhenTheSlabsAreFull", kSlabPages, [](PageHeap& heap) { heap.failNextMaps(1); }, false},
      {"NoSlabMapsWithRoomInASlab", 3, [](PageHeap& heap) { heap.failNextMaps(1); }, true},
      {"AllowanceSpent", 3, [](PageHeap&) { platform::setHostAllowance(kPage - 1); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PageHeap heap;
    std::vector<PageHeap::Page> held;
    for (uint64_t i = 0; i < c.heldBefore; ++i) held.push_back(heap.allocate());
    const PageHeap::Usage before = heap.usage();
    c.runOut(heap);
    PageHeap::Page page = heap.allocate();
    platform::setHostAllowance(std::nullopt);
    EXPECT_EQ(bool(page), c.fromTheSlabHeld);
    if (!page) {
      EXPECT_EQ(heap.usage().slabs, before.slabs);
      EXPECT_EQ(heap.usage().pages, before.pages);
    }
    page = heap.allocate();
    ASSERT_TRUE(page);
    EXPECT_TRUE(readsZero(page.get()));
  }
}

}  // namespace
}  // namespace kestrane::test
