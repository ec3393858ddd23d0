// A first open whose provider opens the card it has just registered, with
// each host allocation of the open failing in turn: the open never hangs
// or throws, fails with ENOMEM or EIO if it fails, and the next open runs
// the provider again and succeeds.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/device_file.h"
#include "platform/system_error.h"
#include "tests/platform/null_device.h"
#include "support/alloc_failure.h"
#include "support/sweep_support.h"

namespace kestrane::platform {
namespace {

TEST(DeviceProviderMemory, AnOpenWhoseProviderOpensACardNeverHangsShortOfMemory) {
  const std::string name = "\\\\.\\provided_memory_dev";
  for (uint64_t k = 1;; ++k) {
    SCOPED_TRACE(k);
    const test::HangGuard guard("allocation " + std::to_string(k), std::chrono::seconds(60));
    setDefaultDeviceProvider([&name] {
      registerDevice(name, std::make_shared<NullDevice>());
      if (!openDevice(name)) throw std::runtime_error("the card just registered does not open");
    });
    std::unique_ptr<DeviceHandle> handle;
    const test::FailingRun run = test::runFailing(k, [&] { handle = openDevice(name); });
    EXPECT_EQ(run.thrown, "");
    if (!handle) {
      EXPECT_TRUE(lastError() == ENOMEM || lastError() == EIO) << lastError();
    }
    EXPECT_NE(openDevice(name), nullptr);
    setDefaultDeviceProvider({});
    unregisterDevice(name);
    if (!run.failed) break;
  }
}

}  // namespace
}  // namespace kestrane::platform
