#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

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

// A thread's calls reuse one record once the device let go of it; a record
// the device still keeps is never armed for a later call.
TEST_F(DeviceFileTest, RecordKeptByTheDeviceIsNeverArmedForTheNextCall) {
  auto handle = openDevice(name_);
  const uint8_t reply[2] = {4, 5};
  uint8_t first[2] = {}, second[2] = {};
  Event event(false);
  Overlapped ov(&event);
  EXPECT_FALSE(deviceIoControl(*handle, 2, nullptr, 0, first, 2, nullptr, &ov));
  EXPECT_TRUE(cancelIo(ov));
  const std::shared_ptr<IoCompletion> kept = device_->pending();
  device_->pending_.reset();

  EXPECT_FALSE(deviceIoControl(*handle, 2, nullptr, 0, second, 2, nullptr, &ov));
  const std::shared_ptr<IoCompletion> next = device_->pending();
  EXPECT_NE(next, kept);
  EXPECT_FALSE(kept->complete(true, reply, 2));  // the late answer reaches nothing
  EXPECT_EQ(second[0], 0);
  EXPECT_FALSE(next->finished());
  ASSERT_TRUE(next->complete(true, reply, 2));
  uint32_t bytes = 0;
  EXPECT_TRUE(getOverlappedResult(ov, &bytes, true));
  EXPECT_EQ(bytes, 2u);
  EXPECT_EQ(second[1], 5);
  EXPECT_EQ(first[0], 0);

  // Let go by everyone, the record serves the next call afresh.
  device_->pending_.reset();
  ov.completion.reset();
  std::thread answer([&] { device_->pending()->complete(false, nullptr, 0); });
  EXPECT_FALSE(deviceIoControl(*handle, 2, nullptr, 0, second, 2, &bytes, nullptr));
  answer.join();
  EXPECT_EQ(lastError(), EIO);
  EXPECT_EQ(bytes, 0u);
}

struct CancelLog : IoCancelHandler {
  void ioCancelled(uint64_t tag) override { tags.push_back(tag); }
  std::vector<uint64_t> tags;
};

TEST(IoCompletionTest, CancelTellsTheHandlerOnceWithItsTag) {
  enum Step { SetHandler, Complete, Cancel, CancelAgain, DropHandler };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<uint64_t> told;
  };
  const Case cases[] = {
      {"cancel while pending", {SetHandler, Cancel, CancelAgain}, {42}},
      {"handler set after the cancel runs at once", {Cancel, SetHandler, CancelAgain}, {42}},
      {"a completed call is not cancelled", {SetHandler, Complete, Cancel}, {}},
      {"a handler gone hears nothing", {SetHandler, DropHandler, Cancel}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto log = std::make_shared<CancelLog>();
    uint8_t out[1] = {};
    Event event(false);
    IoCompletion completion(out, 1, &event);
    const uint8_t reply[1] = {7};
    for (Step step : c.steps) {
      switch (step) {
        case SetHandler: completion.setCancelHandler(log, 42); break;
        case Complete: EXPECT_TRUE(completion.complete(true, reply, 1)); break;
        case Cancel: EXPECT_EQ(completion.cancel(), !completion.finished()); break;
        case CancelAgain: EXPECT_TRUE(completion.cancel()); break;
        case DropHandler: log.reset(); log = std::make_shared<CancelLog>(); break;
      }
    }
    EXPECT_EQ(log->tags, c.told);
    EXPECT_EQ(completion.cancelled(), !completion.finished());
    EXPECT_EQ(event.isSet(), completion.finished());
  }
}

}  // namespace
}  // namespace kestrane::platform
