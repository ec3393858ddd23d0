// Each host allocation of a DMA block's making and freeing made to fail in
// turn: the call fails with its usual status or succeeds, never throws,
// leaves no mapping or block behind, and gives the process-wide DMA
// semaphore back, so that the next block is made at once.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "config/globals.h"
#include "platform/semaphore.h"
#include "support/alloc_failure.h"
#include "support/log_capture.h"
#include "tests/driver/driver_fixture.h"

namespace kestrane::test {
namespace {

constexpr uint64_t kBlockSize = 4096;

// Whether nobody holds the DMA semaphore (taken and given back at once).
bool dmaSemaphoreFree() {
  if (!dmaSemaphore().tryAcquireFor(std::chrono::milliseconds(0))) return false;
  dmaSemaphore().release();
  return true;
}

// One step on a block, made with allocations counted: its status.
struct Step {
  const char* name;
  bool blockBefore;    // a block is made (nothing failing) before the step
  bool countsItself;   // the step opens its own scope of counted allocations
  bool allocates;      // it has allocations to fail (a plain free has none)
  std::function<StatusCode(TalissDevice&, uint64_t& host)> run;
};

StatusCode freeOnAThreadOfItsOwn(TalissDevice& device, uint64_t host) {
  // A new thread has no call records kept yet: its first call makes one.
  StatusCode status = StatusCode::InternalError;
  std::thread thread([&] {
    CountedAllocations counted;
    status = device.freeHostMemory(host);
  });
  thread.join();
  return status;
}

TEST_F(DriverTest, EachFailedAllocationOfADmaBlockFailsItCleanlyAndTheNextBlockIsMadeAtOnce) {
  const Step steps[] = {
      {"allocate", false, false, true, [](TalissDevice& d, uint64_t& host) { return d.allocateHostMemory(host, kBlockSize); }},
      {"free", true, false, false, [](TalissDevice& d, uint64_t& host) { return d.freeHostMemory(host); }},
      {"free on a thread of its own", true, true, true,
       [](TalissDevice& d, uint64_t& host) { return freeOnAThreadOfItsOwn(d, host); }},
  };
  for (const Step& step : steps) {
    bool failed = true;
    uint64_t k = 1;
    for (; failed && !HasFailure(); ++k) {
      SCOPED_TRACE(std::string(step.name) + ", allocation " + std::to_string(k) + " failing");
      auto card = attach(0);  // a fresh card: its first calls of each kind
      auto device = open(0);
      ASSERT_NE(device, nullptr);
      uint64_t host = 0;
      if (step.blockBefore) {
        ASSERT_EQ(device->allocateHostMemory(host, kBlockSize), StatusCode::OK);
      }
      const size_t mappings = card->stats().liveMappings;
      std::optional<StatusCode> status;
      const LogCapture log;
      ::testing::internal::CaptureStdout();  // the driver's failure lines
      const FailingRun run = runFailing(k, [&] { status = step.run(*device, host); }, !step.countsItself);
      failed = run.failed;
      const std::string printed = ::testing::internal::GetCapturedStdout();
      EXPECT_EQ(run.thrown, "") << "the step threw";
      ASSERT_TRUE(dmaSemaphoreFree()) << "the DMA semaphore stays taken";
      if (step.blockBefore) {
        // A block's way out never fails: unmapped and freed.
        EXPECT_EQ(status, StatusCode::OK);
        EXPECT_EQ(card->stats().liveMappings, mappings - 1);
      } else if (status != StatusCode::OK) {
        EXPECT_EQ(status, StatusCode::Driver_FailedToAllocateHostMemory);
        EXPECT_TRUE(printed.find("*E: ") != std::string::npos || log.count("error|") > 0) << "no line";
        EXPECT_EQ(card->stats().liveMappings, mappings) << "a failed allocation left a mapping";
      } else {
        EXPECT_EQ(device->freeHostMemory(host), StatusCode::OK);
      }
      // The next block, nothing failing: made and freed at once.
      uint64_t next = 0;
      EXPECT_EQ(device->allocateHostMemory(next, kBlockSize), StatusCode::OK);
      EXPECT_EQ(device->freeHostMemory(next), StatusCode::OK);
      device.reset();
      EXPECT_EQ(card->stats().liveMappings, 0u) << "a block outlived its device";
    }
    EXPECT_EQ(k > 2, step.allocates) << step.name << ": " << k - 2 << " allocations failed";
  }
}

}  // namespace
}  // namespace kestrane::test
