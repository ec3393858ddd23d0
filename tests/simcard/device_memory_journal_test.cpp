// The journal of the card's device memory: a journaled write copies a
// committed page only when it changes the page's bytes (once per journal),
// notes the pages it commits, and restoring journals newest first leaves the
// memory as it was before them, whatever the offsets and overlaps, pages
// two journals share included. A journal cleared gives its copies back.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "simcard/device_memory.h"
#include "tests/simcard/memory_area.h"

namespace kestrane::test {
namespace {

using simcard::DeviceMemory;

// A journaled write: through journal A (0) or B (1).
struct Step {
  int journal;
  Area area;
};

TEST(DeviceMemoryJournalTest, AJournalCopiesOnlyPagesAWriteChangesAndRestoringItUndoesTheWrites) {
  struct Case {
    const char* name;
    std::vector<Area> before;  // written first, outside any journal
    std::vector<Step> steps;
    uint64_t copies[2];        // pages each journal then holds a copy of
    uint64_t committed;        // pages committed after the steps
    std::vector<int> restored;  // journals restored, in this order; the others are cleared
  };
  const std::vector<Case> cases = {
      {"TheSameBytesOverCommittedPages", {{0, 3 * kPage, 0x33}}, {{0, {100, 2 * kPage, 0x33}}}, {0, 0}, 3, {0}},
      {"ChangedBytesAtAnOffset", {{0, 4 * kPage, 0x33}}, {{0, {kPage / 2 + 7, 2 * kPage, 0x44}}}, {3, 0}, 4, {0}},
      {"PartlyTheSameBytes",
       {{0, 2 * kPage, 0x33}, {2 * kPage, 2 * kPage, 0x55}},
       {{0, {kPage, 2 * kPage, 0x33}}},
       {1, 0},
       4,
       {0}},
      {"ZerosOverFreshPages", {}, {{0, {kPage - 5, 10, 0}}}, {0, 0}, 2, {0}},
      {"ZerosOverZerosAndOtherBytes",
       {{0, kPage, 0}, {kPage, kPage, 0x12}},
       {{0, {0, 3 * kPage, 0}}},
       {1, 0},
       3,
       {0}},
      {"RepeatedWritesCopyAPageOnce",
       {{0, 2 * kPage, 0x11}},
       {{0, {0, kPage, 0x21}}, {0, {10, 20, 0x22}}, {0, {kPage - 1, 2, 0x23}}},
       {2, 0},
       2,
       {0}},
      {"UnchangedFirstThenChanged", {{0, kPage, 0x33}}, {{0, {0, kPage, 0x33}}, {0, {3, 10, 0x44}}}, {1, 0}, 1, {0}},
      {"TwoJournalsShareAPage",
       {{0, 2 * kPage, 0x11}},
       {{0, {100, kPage, 0xA1}}, {1, {kPage + 50, 2 * kPage, 0xB2}}},
       {2, 1},
       4,
       {1, 0}},
      {"TheSecondWritesWhatTheFirstDid",
       {{kPage, kPage, 0x11}},
       {{0, {kPage, kPage + 9, 0xA1}}, {1, {kPage, kPage + 9, 0xA1}}},
       {1, 0},
       2,
       {1, 0}},
      {"TheFirstClearedTheSecondRestored",
       {{0, 3 * kPage, 0x11}},
       {{0, {kPage / 3, kPage, 0xA1}}, {1, {kPage / 2, 2 * kPage + 1, 0xB2}}},
       {2, 3},
       3,
       {1}},
      {"BothCleared", {{0, 3 * kPage, 0x11}}, {{0, {7, kPage, 0xA1}}, {1, {kPage + 7, kPage, 0xB2}}}, {2, 2}, 3, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceMemory memory({{kBase, kSpan}}, kSpan);
    DeviceMemory::Journal journals[2];
    for (const Area& a : c.before) {
      const std::vector<uint8_t> bytes(a.size, a.fill);
      ASSERT_TRUE(memory.write(kBase + a.offset, bytes.data(), a.size));
    }
    const uint64_t committedBefore = memory.committedBytes();
    // What the memory holds once the restored journals are undone: what was
    // there, with the writes of the journals cleared.
    std::vector<uint8_t> expected = contents(memory);
    bool allUndone = true;
    for (const Step& s : c.steps) {
      const std::vector<uint8_t> bytes(s.area.size, s.area.fill);
      ASSERT_TRUE(memory.write(kBase + s.area.offset, bytes.data(), s.area.size, &journals[s.journal]));
      if (std::find(c.restored.begin(), c.restored.end(), s.journal) != c.restored.end()) continue;
      apply(expected, s.area);
      allUndone = false;
    }
    for (int j = 0; j < 2; ++j) {
      EXPECT_EQ(journals[j].copiedBytes(), c.copies[j] * kPage) << "journal " << j;
      EXPECT_FALSE(journals[j].refusedForMemory);
    }
    EXPECT_EQ(memory.committedBytes(), c.committed * kPage);
    // The heap holds the pages and the copies, no more.
    EXPECT_EQ(memory.hostUsage().pages, c.committed + c.copies[0] + c.copies[1]);

    for (int j = 0; j < 2; ++j)
      if (std::find(c.restored.begin(), c.restored.end(), j) == c.restored.end()) journals[j].before.clear();
    for (int j : c.restored) memory.restore(journals[j]);
    EXPECT_TRUE(contents(memory) == expected);
    for (const DeviceMemory::Journal& journal : journals) EXPECT_TRUE(journal.before.empty());
    if (allUndone) {
      EXPECT_EQ(memory.committedBytes(), committedBefore);
    }
    EXPECT_EQ(memory.hostUsage().pages * kPage, memory.committedBytes()) << "copies left behind";
  }
}

}  // namespace
}  // namespace kestrane::test
