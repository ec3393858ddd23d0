// The card short of host memory. Each allocation of a control call or of a
// handle's close made to fail in turn: the call fails without throwing and
// leaves the card as it was (no claim, no mapping), or succeeds; a close and
// an unmap always complete, also when they end a launch (dropping its
// copies, or undoing it). And the default cards: the first opens of the
// process, each with one allocation failing, fail with a reason until the
// cards are all made, card by card.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/system_error.h"
#include "support/alloc_failure.h"
#include "tests/simcard/card_client.h"

namespace kestrane::test {
namespace {

constexpr uint8_t kClaim = 0x00, kUnclaim = 0x01;

// What the launch of a prepared card wrote through its mapping.
enum class Wrote {
  Nothing,
  Changes,         // over bytes poked before: the card keeps copies to undo them
  ChangesRefused,  // and then a write past the cap: the launch is to be undone
};

// One call on a fresh card (whose cap is kCapPages) whose handle `a_`
// claimed core 0 of cluster 0, mapped one buffer (`handle_`) and wrote
// through it as `wrote` says when `prepared`.
struct Call {
  const char* name;
  bool prepared;
  bool alwaysWorks;  // a way out: it completes whatever fails
  bool allocates;    // it has allocations to fail (the ways out have none)
  std::function<bool(CardTest&)> run;
  Wrote wrote = Wrote::Nothing;
};

constexpr uint64_t kPage = simcard::DeviceMemory::kPageSize;
constexpr uint64_t kCapPages = 3;
constexpr uint64_t kDdr = 0x800000000;

class CardMemoryTest : public CardTest {
 public:
  CardClient& a() { return *a_; }
  void closeA() { a_.reset(); }
  uint64_t handle_ = 0;
  uint8_t buffer_[64] = {};
};

TEST_F(CardMemoryTest, EachFailedAllocationOfACallLeavesTheCardAsItWasAndTheWaysOutComplete) {
  const Call calls[] = {
      {"claim", false, false, true, [](CardTest& t) { return static_cast<CardMemoryTest&>(t).a().command(kClaim, 0x01).success(); }},
      {"map", false, false, true,
       [](CardTest& t) {
         auto& m = static_cast<CardMemoryTest&>(t);
         return m.a().map(m.buffer_, sizeof m.buffer_) != 0;
       }},
      {"unmap", true, true, false,
       [](CardTest& t) {
         auto& m = static_cast<CardMemoryTest&>(t);
         return m.a().unmap(m.handle_);
       }},
      {"unclaim", true, true, false, [](CardTest& t) { return static_cast<CardMemoryTest&>(t).a().command(kUnclaim, 0x01).success(); }},
      {"close", true, true, false,
       [](CardTest& t) {
         static_cast<CardMemoryTest&>(t).closeA();
         return true;
       }},
      // The ways out that end a launch, dropping its copies or undoing it.
      {"unmap ending a launch", true, true, false,
       [](CardTest& t) {
         auto& m = static_cast<CardMemoryTest&>(t);
         return m.a().unmap(m.handle_);
       },
       Wrote::Changes},
      {"unclaim undoing a launch", true, true, false,
       [](CardTest& t) { return static_cast<CardMemoryTest&>(t).a().command(kUnclaim, 0x01).success(); },
       Wrote::ChangesRefused},
      {"close undoing a launch", true, true, false,
       [](CardTest& t) {
         static_cast<CardMemoryTest&>(t).closeA();
         return true;
       },
       Wrote::ChangesRefused},
  };
  simcard::CardOptions options;
  options.memoryCapBytes = kCapPages * kPage;
  for (const Call& call : calls) {
    bool failed = true;
    uint64_t k = 1;
    for (; failed && !HasFailure(); ++k) {
      SCOPED_TRACE(std::string(call.name) + ", allocation " + std::to_string(k) + " failing");
      attach(options);
      if (call.prepared) {
        ASSERT_TRUE(a().command(kClaim, 0x01).success());
        handle_ = a().map(buffer_, sizeof buffer_);
        ASSERT_NE(handle_, 0u);
      }
      if (call.wrote != Wrote::Nothing) {
        const std::vector<uint8_t> stale(kPage, 0xEE);
        ASSERT_TRUE(card_->poke(kDdr, stale.data(), stale.size()));
        std::fill(std::begin(buffer_), std::end(buffer_), 0x5A);
        ASSERT_TRUE(a().transfer(true, handle_, kDdr + 100, 0, sizeof buffer_));      // a copy
        ASSERT_TRUE(a().transfer(true, handle_, kDdr + kPage, 0, sizeof buffer_));    // a page committed
        ASSERT_EQ(card_->stats().journaledBytes, kPage);
      }
      if (call.wrote == Wrote::ChangesRefused) {
        ASSERT_TRUE(a().transfer(true, handle_, kDdr + 2 * kPage, 0, sizeof buffer_));
        EXPECT_FALSE(a().transfer(true, handle_, kDdr + 3 * kPage, 0, sizeof buffer_));  // past the cap
      }
      const auto claimed = card_->claimedCores();
      const size_t mappings = card_->stats().liveMappings;
      bool worked = false;
      const FailingRun run = runFailing(k, [&] { worked = call.run(*this); });
      failed = run.failed;
      EXPECT_EQ(run.thrown, "") << "the call threw";
      if (call.alwaysWorks) {
        EXPECT_TRUE(worked);
      }
      if (worked) continue;
      EXPECT_EQ(platform::lastError(), ENOMEM);
      EXPECT_EQ(card_->claimedCores(), claimed) << "a failed call changed the claims";
      EXPECT_EQ(card_->stats().liveMappings, mappings) << "a failed call changed the mappings";
      EXPECT_TRUE(call.run(*this)) << "the call fails with nothing failing";
    }
    EXPECT_EQ(k > 2, call.allocates) << call.name << ": " << k - 2 << " allocations failed";
    if (std::string(call.name).rfind("close", 0) == 0) {
      EXPECT_TRUE(card_->claimedCores().empty());
    }
    if (call.wrote != Wrote::Nothing) {
      // The launch's copies went; an undone launch left only the bytes poked.
      EXPECT_EQ(card_->stats().journaledBytes, 0u);
      const uint64_t left = call.wrote == Wrote::ChangesRefused ? 1 : 2;
      EXPECT_EQ(card_->stats().committedBytes, left * kPage);
      std::vector<uint8_t> seen(kPage);
      ASSERT_TRUE(card_->peek(kDdr, seen.data(), seen.size()));
      EXPECT_EQ(seen[100], call.wrote == Wrote::ChangesRefused ? 0xEE : 0x5A);
    }
  }
}

// Meant for a process of its own (see CMakeLists.txt): in a process that
// opened a device before, the default cards are made already.
TEST(FirstOpenMemoryTest, EachFailedAllocationOfTheFirstOpenFailsItWithAReasonAndTheNextOpenGoesOn) {
  const char* env = std::getenv("OPHEL_SIM_CARDS");
  const int cards = env ? std::atoi(env) : 1;
  ASSERT_GT(cards, 0);
  const std::string last = simcard::deviceName(cards - 1);
  bool opened = false;
  uint64_t k = 1;
  for (; !opened && !::testing::Test::HasFailure(); ++k) {
    SCOPED_TRACE("allocation " + std::to_string(k) + " failing");
    std::unique_ptr<platform::DeviceHandle> handle;
    platform::setLastError(0);
    const FailingRun run = runFailing(k, [&] { handle = platform::openDevice(last); });
    const bool failed = run.failed;
    EXPECT_EQ(run.thrown, "") << "the open threw";
    opened = handle != nullptr;
    if (!opened) {
      EXPECT_EQ(platform::lastError(), ENOMEM);
    }
    EXPECT_TRUE(opened || failed) << "the open failed with nothing failing";
  }
  EXPECT_TRUE(opened);
  EXPECT_GT(k, 2u) << "no allocation failed";
  for (int i = 0; i < cards; ++i) {
    EXPECT_TRUE(CardClient(simcard::deviceName(i)).opened()) << i;
    EXPECT_NE(simcard::findCard(i), nullptr) << i;
  }
}

}  // namespace
}  // namespace kestrane::test
