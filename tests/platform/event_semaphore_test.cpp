#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/event.h"
#include "platform/semaphore.h"

namespace kestrane::platform {
namespace {

TEST(EventTest, ManualResetEventStaysSetUntilReset) {
  EXPECT_EQ(Event(true).wait(0), kWaitObject0);
  Event event(false);
  EXPECT_EQ(event.wait(5), kWaitTimeout);
  EXPECT_EQ(kWaitTimeout, 258u);
  event.set();
  EXPECT_EQ(event.wait(5), kWaitObject0);
  EXPECT_EQ(event.wait(0), kWaitObject0);
  event.reset();
  EXPECT_FALSE(event.isSet());
  EXPECT_EQ(event.wait(0), kWaitTimeout);
}

TEST(EventTest, SetWakesEveryWaiter) {
  Event event(false);
  std::atomic<int> woken{0};
  std::thread a([&] { woken += event.wait() == kWaitObject0; });
  std::thread b([&] { woken += event.wait(60000) == kWaitObject0; });
  event.set();
  a.join();
  b.join();
  EXPECT_EQ(woken.load(), 2);
}

// A waiter may let its event go as soon as it passes: the setter touches
// nothing of the event after signalling it (ASan reports it if it does).
TEST(EventTest, WaiterMayLetTheEventGoAsSoonAsItPasses) {
  for (int round = 0; round < 500; ++round) {
    auto event = std::make_unique<Event>(false);
    std::thread setter([e = event.get()] { e->set(); });
    ASSERT_EQ(event->wait(round % 2 ? kInfinite : 60000), kWaitObject0);
    event.reset();
    setter.join();
  }
}

TEST(SemaphoreTest, CountsAndRespectsMaximum) {
  Semaphore sem(1, 2);
  sem.acquire();
  EXPECT_FALSE(sem.tryAcquireFor(std::chrono::milliseconds(5)));
  EXPECT_TRUE(sem.release(2));
  EXPECT_FALSE(sem.release());  // would pass the maximum
  EXPECT_TRUE(sem.tryAcquireFor(std::chrono::milliseconds(0)));
}

}  // namespace
}  // namespace kestrane::platform
