// The card short of host memory. Each allocation of a control call or of a
// handle's close made to fail in turn: the call fails without throwing and
// leaves the card as it was (no claim, no mapping), or succeeds; a close and
// an unmap always complete. And the default cards: the first opens of the
// process, each with one allocation failing, fail with a reason until the
// cards are all made, card by card.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include "platform/system_error.h"
#include "support/alloc_failure.h"
#include "tests/simcard/card_client.h"

namespace kestrane::test {
namespace {

constexpr uint8_t kClaim = 0x00, kUnclaim = 0x01;

// One call on a fresh card whose handle `a_` claimed core 0 of cluster 0
// and mapped one buffer (`handle_`) when `prepared`.
struct Call {
  const char* name;
  bool prepared;
  bool alwaysWorks;  // a way out: it completes whatever fails
  bool allocates;    // it has allocations to fail (the ways out have none)
  std::function<bool(CardTest&)> run;
};

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
  };
  for (const Call& call : calls) {
    bool failed = true;
    uint64_t k = 1;
    for (; failed && !HasFailure(); ++k) {
      SCOPED_TRACE(std::string(call.name) + ", allocation " + std::to_string(k) + " failing");
      attach();
      if (call.prepared) {
        ASSERT_TRUE(a().command(kClaim, 0x01).success());
        handle_ = a().map(buffer_, sizeof buffer_);
        ASSERT_NE(handle_, 0u);
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
    if (std::string(call.name) == "close") {
      EXPECT_TRUE(card_->claimedCores().empty());
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
