// Each host allocation of a write to the card's device memory, and of the
// restore of a journal, made to fail in turn: the call reports it (a write
// returns false) instead of throwing, the memory keeps no broken page, and
// later writes (journaled ones too), reads and restores work.

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <optional>
#include <vector>

#include "simcard/device_memory.h"
#include "tests/simcard/memory_area.h"
#include "support/alloc_failure.h"

namespace kestrane::test {
namespace {

using simcard::DeviceMemory;

bool write(DeviceMemory& memory, const Area& a, DeviceMemory::Journal* journal = nullptr) {
  const std::vector<uint8_t> bytes(a.size, a.fill);
  return memory.write(kBase + a.offset, bytes.data(), a.size, journal);
}

TEST(DeviceMemoryFailureTest, AWriteWithoutHostMemoryForItsPagesChangesNothing) {
  struct Case {
    const char* name;
    std::vector<Area> before;     // written first, outside any journal
    std::vector<Area> journaled;  // then through the journal
    bool throughJournal;          // whether the write under test is journaled
    Area write;
  };
  const std::vector<Case> cases = {
      {"FreshPages", {}, {}, false, {kPage - 100, 2 * kPage, 0x11}},
      {"CommittedPagesJournaled", {{0, 4 * kPage, 0x33}}, {}, true, {kPage / 2, 3 * kPage, 0x44}},
      {"MixedPagesJournaled", {{0, kPage, 0x55}, {3 * kPage, 10, 0x56}}, {{2 * kPage, 100, 0x57}}, true,
       {100, 5 * kPage, 0x66}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool written = false;
    for (uint64_t k = 1; !written && k < 200; ++k) {
      SCOPED_TRACE(k);
      DeviceMemory memory({{kBase, kSpan}}, kSpan);
      DeviceMemory::Journal journal;
      for (const Area& a : c.before) ASSERT_TRUE(write(memory, a));
      const std::vector<uint8_t> unjournaled = contents(memory);
      const uint64_t unjournaledBytes = memory.committedBytes();
      for (const Area& a : c.journaled) ASSERT_TRUE(write(memory, a, &journal));
      const std::vector<uint8_t> found = contents(memory);
      const uint64_t committed = memory.committedBytes();

      const std::vector<uint8_t> bytes(c.write.size, c.write.fill);  // made before allocations count
      const FailingRun run = runFailing(k, [&] {
        written = memory.write(kBase + c.write.offset, bytes.data(), bytes.size(), c.throughJournal ? &journal : nullptr);
      });
      const bool failed = run.failed;
      EXPECT_EQ(run.thrown, "");
      EXPECT_EQ(written, !failed);
      std::vector<uint8_t> expected = found;
      if (written) apply(expected, c.write);
      EXPECT_TRUE(contents(memory) == expected);
      if (!written) {
        EXPECT_EQ(memory.committedBytes(), committed);
      }

      // A journaled write over the whole area keeps a copy of every page
      // committed, then reads back; undoing the journal leaves what was
      // there before it (and the write under test, when it had none).
      const Area all{0, kSpan, 0x99};
      ASSERT_TRUE(write(memory, all, &journal));
      std::vector<uint8_t> now = contents(memory);
      EXPECT_TRUE(std::all_of(now.begin(), now.end(), [](uint8_t b) { return b == 0x99; }));
      memory.restore(journal);
      expected = unjournaled;
      if (written && !c.throughJournal) apply(expected, c.write);
      EXPECT_TRUE(contents(memory) == expected);
      if (!written) {
        EXPECT_EQ(memory.committedBytes(), unjournaledBytes);
      }
    }
    EXPECT_TRUE(written) << "the write never got all its allocations";
  }
}

// Two launches' journals over one page: A found it uncommitted, B found A's
// bytes. Undoing A first gives the page up; undoing B then brings a page back.
TEST(DeviceMemoryFailureTest, ARestoreWithoutHostMemoryLeavesNoBrokenPage) {
  bool restored = false;
  for (uint64_t k = 1; !restored && k < 50; ++k) {
    SCOPED_TRACE(k);
    DeviceMemory memory({{kBase, kSpan}}, kSpan);
    DeviceMemory::Journal a, b;
    ASSERT_TRUE(write(memory, {kPage, kPage, 0xC3}));  // committed before both
    ASSERT_TRUE(write(memory, {0, kPage, 0xA1}, &a));
    ASSERT_TRUE(write(memory, {0, 2 * kPage, 0xB2}, &b));
    memory.restore(a);
    const FailingRun run = runFailing(k, [&] { memory.restore(b); });
    const bool failed = run.failed;
    EXPECT_EQ(run.thrown, "");
    restored = !failed;
    // The page B found committed is back either way; the other is A's bytes
    // or, without memory for it, uncommitted (zeros).
    std::vector<uint8_t> expected(kSpan, 0);
    apply(expected, {0, kPage, static_cast<uint8_t>(restored ? 0xA1 : 0)});
    apply(expected, {kPage, kPage, 0xC3});
    EXPECT_TRUE(contents(memory) == expected);
    EXPECT_EQ(memory.committedBytes(), (restored ? 2 : 1) * kPage);

    DeviceMemory::Journal later;
    ASSERT_TRUE(write(memory, {0, kSpan, 0x5A}, &later));
    memory.scramble(kBase, kSpan, 0x17);
    std::vector<uint8_t> now = contents(memory);
    EXPECT_TRUE(std::all_of(now.begin(), now.end(), [](uint8_t x) { return x == 0x17; }));
    memory.restore(later);
    EXPECT_TRUE(contents(memory) == expected);
  }
  EXPECT_TRUE(restored) << "the restore never got all its allocations";
}

}  // namespace
}  // namespace kestrane::test
