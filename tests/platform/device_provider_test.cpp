// The default-device provider: one that throws leaves the open it ran for
// failing with a reason, never throwing, and runs again at the next open;
// one that succeeded never runs again, however many opens race for it; an
// open it makes itself finds what it has registered so far.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/device_file.h"
#include "platform/system_error.h"
#include "tests/platform/null_device.h"
#include "support/sweep_support.h"

namespace kestrane::platform {
namespace {

class DeviceProviderTest : public ::testing::Test {
 protected:
  void TearDown() override {
    setDefaultDeviceProvider({});
    unregisterDevice(name_);
  }
  // A provider that throws what `fail` throws for its first `failures` runs,
  // then registers the device; it counts its runs.
  void provide(int failures, const std::function<void()>& fail) {
    setDefaultDeviceProvider([this, failures, fail] {
      if (runs_.fetch_add(1) < failures) fail();
      registerDevice(name_, std::make_shared<NullDevice>());
    });
  }
  const std::string name_ = "\\\\.\\provided_test_dev";
  std::atomic<int> runs_{0};
};

TEST_F(DeviceProviderTest, AProviderThatThrowsFailsTheOpenWithAReasonAndRunsAgainAtTheNext) {
  const struct {
    const char* what;
    std::function<void()> fail;
    int error;
  } failures[] = {
      {"no memory", [] { throw std::bad_alloc(); }, ENOMEM},
      {"another exception", [] { throw std::runtime_error("broken"); }, EIO},
  };
  for (const auto& failure : failures) {
    SCOPED_TRACE(failure.what);
    runs_ = 0;
    provide(2, failure.fail);
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::unique_ptr<DeviceHandle> handle;
      setLastError(0);
      EXPECT_NO_THROW(handle = openDevice(name_));
      EXPECT_EQ(handle, nullptr);
      EXPECT_EQ(lastError(), failure.error);
    }
    EXPECT_NE(openDevice(name_), nullptr);  // the third run succeeds
    EXPECT_NE(openDevice(name_), nullptr);
    EXPECT_EQ(runs_, 3);
    unregisterDevice(name_);
  }
}

TEST_F(DeviceProviderTest, OpensRacingForAProviderRunItOnceWhenItSucceeds) {
  provide(0, [] {});
  std::atomic<int> opened{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      if (openDevice(name_)) ++opened;
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(opened, 8);
  EXPECT_EQ(runs_, 1);
}

TEST_F(DeviceProviderTest, AnOpenFromInsideTheProviderFindsWhatItHasRegisteredSoFar) {
  const std::string second = "\\\\.\\provided_test_dev1";
  const struct {
    const char* what;
    std::string name;  // opened by the provider between its two registrations
    bool found;
  } cases[] = {
      {"the card it registers", name_, true},
      {"a second card, not registered yet", second, false},
      {"a missing card", "\\\\.\\no_such_device", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    runs_ = 0;
    std::unique_ptr<DeviceHandle> nested;
    int nestedError = 0;
    setDefaultDeviceProvider([&] {
      ++runs_;
      registerDevice(name_, std::make_shared<NullDevice>());
      setLastError(0);
      nested = openDevice(c.name);
      nestedError = lastError();
      registerDevice(second, std::make_shared<NullDevice>());
    });
    const kestrane::test::HangGuard guard(c.what, std::chrono::seconds(60));
    EXPECT_NE(openDevice(second), nullptr);
    EXPECT_EQ(nested != nullptr, c.found);
    EXPECT_EQ(nestedError, c.found ? 0 : ENOENT);
    EXPECT_NE(openDevice(name_), nullptr);
    EXPECT_EQ(runs_, 1);
    unregisterDevice(second);
    unregisterDevice(name_);
  }
}

}  // namespace
}  // namespace kestrane::platform
