// The first card open of the process with each of its host allocations
// failing in turn (the simulated cards are made by it): each open that fails
// gives Driver_NotInitialized and a line, never an exception, and the next
// open goes on from there until the card opens.

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "driver/taliss_device.h"
#include "driver/taliss_monitor.h"
#include "platform/shared_memory.h"
#include "support/alloc_failure.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

// Meant for a process of its own (as ctest runs it): in a process that
// opened a card before, the default cards are made already.
TEST(FirstOpenTest, EachFailedAllocationOfTheFirstOpenFailsItWithAStatusAndALine) {
  const std::string monitor = "kestrane_monitor_first_open_" + std::to_string(getpid());
  TalissMonitor::setBlockName(monitor);
  bool opened = false;
  uint64_t k = 1;
  for (; !opened && !::testing::Test::HasFailure(); ++k) {
    SCOPED_TRACE("allocation " + std::to_string(k) + " failing");
    const LogCapture log;
    std::unique_ptr<TalissDevice> device;
    StatusCode status = StatusCode::InternalError;
    ::testing::internal::CaptureStdout();  // the driver's lines
    const FailingRun run = runFailing(k, [&] { device = TalissDevice::create(0, status); });
    const bool failed = run.failed;
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(run.thrown, "") << "the open threw";
    opened = device != nullptr;
    if (opened) {
      EXPECT_EQ(status, StatusCode::OK);
      continue;
    }
    EXPECT_TRUE(failed) << "the open failed with nothing failing";
    EXPECT_EQ(status, StatusCode::Driver_NotInitialized);
    EXPECT_TRUE(printed.find("*E: ") != std::string::npos || log.count("error|") > 0) << "no line";
  }
  EXPECT_TRUE(opened);
  EXPECT_GT(k, 2u) << "no allocation failed";
  StatusCode status = StatusCode::InternalError;
  ::testing::internal::CaptureStdout();
  EXPECT_NE(TalissDevice::create(0, status), nullptr);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, StatusCode::OK);
  platform::SharedMemory::unlink(monitor);
}

}  // namespace
}  // namespace kestrane::test
