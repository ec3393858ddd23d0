#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <thread>

#include "platform/aligned_memory.h"
#include "platform/clock.h"
#include "platform/host_allowance.h"
#include "platform/system_error.h"
#include "platform/thread_start.h"

namespace kestrane::platform {
namespace {

TEST(AlignedMemoryTest, HonoursAlignmentAndInjectedFailures) {
  for (size_t alignment : {1u, 32u, 4096u}) {
    void* p = alignedMalloc(100, alignment);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignment, 0u);
    std::memset(p, 1, 100);
    alignedFree(p);
  }
  EXPECT_EQ(alignedMalloc(16, 24), nullptr);  // not a power of two

  failNextAlignedAllocations(2);
  EXPECT_EQ(alignedMalloc(16, 32), nullptr);
  EXPECT_EQ(alignedMalloc(16, 32), nullptr);
  void* p = alignedMalloc(16, 32);
  EXPECT_NE(p, nullptr);
  alignedFree(p);
}

TEST(AlignedMemoryTest, HostAllowanceBoundsWhatIsTakenUntilLifted) {
  setHostAllowance(100);
  void* p = alignedMalloc(60, 32);
  EXPECT_NE(p, nullptr);
  alignedFree(p);  // given back, but not to the allowance
  EXPECT_EQ(alignedMalloc(41, 32), nullptr);
  EXPECT_TRUE(takeHostAllowance(40));
  EXPECT_FALSE(takeHostAllowance(1));
  EXPECT_THROW(takeHostAllowanceOrThrow(1), std::bad_alloc);
  setHostAllowance(std::nullopt);
  EXPECT_TRUE(takeHostAllowance(UINT64_MAX));
}

TEST(SystemErrorTest, TextAndThreadLastError) {
  EXPECT_EQ(systemErrorText(ENOENT), "No such file or directory");
  setLastError(ENOENT);
  EXPECT_EQ(lastError(), ENOENT);
}

TEST(ClockTest, TicksAreHundredNanosecondsAndMonotonic) {
  uint64_t a = ticks100ns();
  beginTimerPeriod(1);
  sleepMs(20);
  endTimerPeriod(1);
  uint64_t b = ticks100ns();
  EXPECT_GE(b - a, 200000u);  // at least 20 ms
}

// Only the chosen start fails, without an exception, leaving the thread
// empty; the others run what they were given, with their arguments.
TEST(ThreadStartTest, FailsOnlyTheChosenStartAndRunsTheOthers) {
  for (uint64_t k : {1u, 3u, 5u}) {
    SCOPED_TRACE(k);
    failThreadStart(k);
    for (uint64_t n = 1; n <= 4; ++n) {
      std::thread thread;
      uint64_t seen = 0;
      setLastError(0);
      const bool started = startThread(thread, [&seen](uint64_t value) { seen = value; }, n);
      EXPECT_EQ(started, n != k);
      EXPECT_EQ(thread.joinable(), started);
      if (started) {
        thread.join();
        EXPECT_EQ(seen, n);
      } else {
        EXPECT_EQ(lastError(), EAGAIN);
      }
    }
    EXPECT_EQ(threadStarts(), 4u);
  }
  failThreadStart(std::nullopt);
  EXPECT_EQ(threadStarts(), 0u);
  std::thread thread;
  EXPECT_TRUE(startThread(thread, [] {}));
  thread.join();
}

}  // namespace
}  // namespace kestrane::platform
