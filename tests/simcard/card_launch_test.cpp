// A launch as the card sees it: a claim, writes through a DMA mapping, then
// the unmap, a post, or the cores given back. The copies the card keeps to
// undo a launch's writes are only of pages a write changed, and they are
// dropped when the launch is through with its writes (the unmap of the
// mapping it wrote through, or its first post), unless one of its writes
// was refused for want of memory: then they stay until the cores are given
// back, and undo the launch.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/simcard/card_client.h"

namespace kestrane::test {
namespace {

constexpr uint8_t kClaim = 0x00, kUnclaim = 0x01, kPost = 0x04;
constexpr uint64_t kPage = simcard::DeviceMemory::kPageSize;
constexpr uint64_t kArea = 0x800000000 + 0x100000;  // DDR of cluster 0, core 0
constexpr uint64_t kStalePages = 4;                 // of 0xEE at kArea, written before the launches
constexpr uint64_t kCapPages = 12;
constexpr uint64_t kSpanPages = 24;  // what the test reads back

struct Op {
  enum Kind { Claim, Map, Write, Unmap, Post, Unclaim, Close } kind;
  uint8_t mask = 0;                       // Claim, Post, Unclaim: cores of cluster 0
  uint64_t offset = 0, size = 0;          // Write: from kArea
  uint8_t fill = 0;
  bool ok = true;                         // Write: whether the transfer succeeds
  bool stays = false;                     // Write: whether its bytes are there at the end
  uint64_t journaled = 0;                 // pages copied after the op
};

Op claim(uint8_t mask, uint64_t journaled) { return {Op::Claim, mask, 0, 0, 0, true, false, journaled}; }
Op map(uint64_t journaled) { return {Op::Map, 0, 0, 0, 0, true, false, journaled}; }
Op write(uint64_t offset, uint64_t size, uint8_t fill, bool stays, uint64_t journaled) {
  return {Op::Write, 0, offset, size, fill, true, stays, journaled};
}
// A write past the cap: refused for want of memory.
Op pastTheCap(uint64_t journaled) { return {Op::Write, 0, 6 * kPage, 16 * kPage, 0x66, false, false, journaled}; }
// A transfer past the end of its mapping: refused, but not for memory.
Op pastTheMapping(uint64_t journaled) { return {Op::Write, 0, 0, 32 * kPage, 0x77, false, false, journaled}; }
Op unmap(uint64_t journaled) { return {Op::Unmap, 0, 0, 0, 0, true, false, journaled}; }
Op post(uint8_t mask, uint64_t journaled) { return {Op::Post, mask, 0, 0, 0, true, false, journaled}; }
Op unclaim(uint8_t mask, uint64_t journaled) { return {Op::Unclaim, mask, 0, 0, 0, true, false, journaled}; }
Op close() { return {Op::Close, 0, 0, 0, 0, true, false, 0}; }

TEST_F(CardTest, ALaunchKeepsCopiesOfWhatItChangedUntilItIsThroughAndUndoesItselfOnlyWhenRefusedForMemory) {
  struct Case {
    const char* name;
    std::vector<Op> ops;
    uint64_t committed;  // pages at the end
  };
  const std::vector<Case> cases = {
      {"SucceededEndsAtTheUnmap",
       {claim(1, 0), map(0), write(kPage / 2, 2 * kPage, 0x11, true, 3), write(5 * kPage, 100, 0x12, true, 3),
        unmap(0), unclaim(1, 0)},
       5},
      {"SucceededEndsAtThePost",
       {claim(1, 0), map(0), write(0, kPage, 0x11, true, 1), post(1, 0), write(kPage, 10, 0x13, true, 0), unmap(0),
        unclaim(1, 0)},
       4},
      {"FailedNotForMemoryEndsAtTheUnmap",
       {claim(1, 0), map(0), write(0, kPage, 0x11, true, 1), pastTheMapping(1), unmap(0), unclaim(1, 0)},
       4},
      {"RefusedForMemoryUndoneAtTheUnclaim",
       {claim(1, 0), map(0), write(kPage / 2, 2 * kPage, 0x11, false, 3), write(5 * kPage, 100, 0x12, false, 3),
        pastTheCap(3), unmap(3), unclaim(1, 0)},
       4},
      {"RefusedForMemoryUndoneAtTheClose",
       {claim(1, 0), map(0), write(kPage + 3, kPage, 0x11, false, 2), pastTheCap(2), unmap(2), close()},
       4},
      {"TheSameBytesCopyNothing",
       {claim(1, 0), map(0), write(0, kStalePages * kPage, 0xEE, true, 0), write(kPage + 5, 10, 0xEE, true, 0),
        pastTheCap(0), unmap(0), unclaim(1, 0)},
       4},
      {"ARefusedLaunchAfterAnEndedOneUndoesOnlyItsOwn",
       {claim(1, 0), map(0), write(0, kPage, 0x11, true, 1), unmap(0), claim(2, 0), map(0),
        write(kPage / 2, kPage, 0x22, false, 2), pastTheCap(2), unmap(2), unclaim(2, 0), unclaim(1, 0)},
       4},
  };
  std::vector<uint8_t> host(16 * kPage);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    simcard::CardOptions options;
    options.memoryCapBytes = kCapPages * kPage;
    attach(options);
    std::vector<uint8_t> expected(kSpanPages * kPage, 0);
    std::fill_n(expected.begin(), kStalePages * kPage, 0xEE);
    ASSERT_TRUE(card_->poke(kArea, expected.data(), kStalePages * kPage));
    uint64_t handle = 0;
    for (size_t i = 0; i < c.ops.size(); ++i) {
      const Op& op = c.ops[i];
      SCOPED_TRACE("op " + std::to_string(i));
      switch (op.kind) {
        case Op::Claim: ASSERT_TRUE(a_->command(kClaim, op.mask).success()); break;
        case Op::Map: ASSERT_NE(handle = a_->map(host.data(), static_cast<uint32_t>(host.size())), 0u); break;
        case Op::Write:
          std::fill(host.begin(), host.end(), op.fill);
          EXPECT_EQ(a_->transfer(true, handle, kArea + op.offset, 0, static_cast<uint32_t>(op.size)), op.ok);
          if (op.stays) std::fill_n(expected.begin() + static_cast<long>(op.offset), op.size, op.fill);
          break;
        case Op::Unmap: ASSERT_TRUE(a_->unmap(handle)); break;
        case Op::Post: ASSERT_TRUE(a_->command(kPost, op.mask).success()); break;
        case Op::Unclaim: ASSERT_TRUE(a_->command(kUnclaim, op.mask).success()); break;
        case Op::Close: a_.reset(); break;
      }
      EXPECT_EQ(card_->stats().journaledBytes, op.journaled * kPage);
    }
    EXPECT_TRUE(peek<uint8_t>(kArea, expected.size()) == expected);
    EXPECT_EQ(card_->stats().committedBytes, c.committed * kPage);
    // The card's page heap maps no more slabs than its pages need.
    EXPECT_LE(card_->stats().hostMappedBytes, (c.committed + 31) / 32 * 32 * kPage + 32 * kPage);
  }
}

}  // namespace
}  // namespace kestrane::test
