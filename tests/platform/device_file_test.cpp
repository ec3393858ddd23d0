#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <thread>

#include "platform/device_file.h"
#include "platform/event.h"
#include "platform/io_completion.h"
#include "platform/system_error.h"

namespace kestrane::platform {
namespace {

// Answers code 1 at once with the input reversed; keeps code 2 pending until
// the test answers it through `pending()`; fails every other code.
struct EchoDevice : DeviceBackend {
  struct Session : DeviceSession {
    explicit Session(EchoDevice& d) : device(d) {}
    IoResult control(uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outLen,
                     const std::shared_ptr<IoCompletion>& completion) override {
      if (code == 1) {
        const uint32_t n = std::min(inLen, outLen);
        for (uint32_t i = 0; i < n; ++i) static_cast<uint8_t*>(out)[i] = static_cast<const uint8_t*>(in)[inLen - 1 - i];
        return IoResult::done(n);
      }
      if (code != 2) return IoResult::failed();
      std::lock_guard lock(device.mutex);
      device.pending_ = completion;
      return IoResult::pending();
    }
    EchoDevice& device;
  };
  std::unique_ptr<DeviceSession> open() override { return std::make_unique<Session>(*this); }
  std::shared_ptr<IoCompletion> pending() {
    for (;; std::this_thread::yield()) {
      std::lock_guard lock(mutex);
      if (pending_) return pending_;
    }
  }
  std::mutex mutex;
  std::shared_ptr<IoCompletion> pending_;
};

class DeviceFileTest : public ::testing::Test {
 protected:
  void SetUp() override { registerDevice(name_, device_); }
  void TearDown() override { unregisterDevice(name_); }
  const std::string name_ = "\\\\.\\platform_test_dev";
  std::shared_ptr<EchoDevice> device_ = std::make_shared<EchoDevice>();
};

TEST_F(DeviceFileTest, ImmediateAnswerFailureAndMissingNames) {
  auto handle = openDevice(name_);
  ASSERT_NE(handle, nullptr);
  uint8_t in[3] = {1, 2, 3}, out[3] = {};
  uint32_t bytes = 0;
  Event event(false);
  Overlapped ov(&event);
  ASSERT_TRUE(deviceIoControl(*handle, 1, in, 3, out, 3, &bytes, &ov));
  EXPECT_EQ(bytes, 3u);
  EXPECT_EQ(out[0], 3);
  EXPECT_TRUE(event.isSet());
  EXPECT_FALSE(deviceIoControl(*handle, 9, in, 3, out, 3, &bytes, nullptr));
  EXPECT_EQ(lastError(), EIO);

  setLastError(0);
  EXPECT_EQ(openDevice("\\\\.\\no_such_device"), nullptr);
  EXPECT_EQ(lastError(), ENOENT);
  unregisterDevice(name_);
  EXPECT_EQ(openDevice(name_), nullptr);
}

TEST_F(DeviceFileTest, PendingCallCompletesThroughItsEventOrBlocksASynchronousCaller) {
  auto handle = openDevice(name_);
  uint8_t out[4] = {};
  Event event(true);
  Overlapped ov(&event);
  EXPECT_FALSE(deviceIoControl(*handle, 2, nullptr, 0, out, 4, nullptr, &ov));
  EXPECT_EQ(lastError(), kErrorIoPending);
  EXPECT_EQ(event.wait(0), kWaitTimeout);  // reset when the call started
  const uint8_t reply[4] = {9, 8, 7, 6};
  std::thread device([&] { device_->pending()->complete(true, reply, 4); });
  EXPECT_EQ(event.wait(60000), kWaitObject0);
  device.join();
  uint32_t bytes = 0;
  EXPECT_TRUE(getOverlappedResult(ov, &bytes, false));
  EXPECT_EQ(bytes, 4u);
  EXPECT_EQ(out[3], 6);

  device_->pending_.reset();
  std::thread answer([&] { device_->pending()->complete(true, reply, 2); });
  EXPECT_TRUE(deviceIoControl(*handle, 2, nullptr, 0, out, 2, &bytes, nullptr));
  answer.join();
  EXPECT_EQ(bytes, 2u);
  EXPECT_EQ(out[1], 8);
}

TEST_F(DeviceFileTest, CancelledCallIsNeverTouchedAgain) {
  auto handle = openDevice(name_);
  auto out = std::make_unique<uint8_t[]>(4);
  auto event = std::make_unique<Event>(false);
  Overlapped ov(event.get());
  EXPECT_FALSE(deviceIoControl(*handle, 2, nullptr, 0, out.get(), 4, nullptr, &ov));
  EXPECT_TRUE(cancelIo(ov));
  // The caller frees its record and event; a late answer must not reach them
  // (ASan reports it if it does).
  out.reset();
  event.reset();
  const uint8_t reply[4] = {1, 1, 1, 1};
  EXPECT_FALSE(device_->pending()->complete(true, reply, 4));
}

}  // namespace
}  // namespace kestrane::platform
