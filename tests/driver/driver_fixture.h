#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "driver/taliss_device.h"
#include "driver/taliss_monitor.h"
#include "platform/shared_memory.h"
#include "simcard/card_registry.h"

namespace kestrane::test {

// Each test gets fresh simulated cards and a monitor block of its own process.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    monitorName_ = "kestrane_monitor_test_" + std::to_string(getpid());
    platform::SharedMemory::unlink(monitorName_);
    TalissMonitor::setBlockName(monitorName_);
    simcard::detachAllCards();
  }
  void TearDown() override {
    simcard::detachAllCards();
    platform::SharedMemory::unlink(monitorName_);
  }

  std::shared_ptr<simcard::SimCard> attach(int index, const simcard::CardOptions& options = {}) {
    return simcard::attachCard(index, options);
  }

  // Opens card `index`, swallowing the connection lines.
  std::unique_ptr<TalissDevice> open(int index, StatusCode* status = nullptr) {
    StatusCode sc = StatusCode::InternalError;
    ::testing::internal::CaptureStdout();
    auto device = TalissDevice::create(index, sc);
    ::testing::internal::GetCapturedStdout();
    if (status) *status = sc;
    return device;
  }

  // Opens card `index` and returns what it printed.
  std::string openPrinting(int index, StatusCode& status, std::unique_ptr<TalissDevice>* keep = nullptr) {
    ::testing::internal::CaptureStdout();
    auto device = TalissDevice::create(index, status);
    std::string out = ::testing::internal::GetCapturedStdout();
    if (keep) *keep = std::move(device);
    return out;
  }

  std::string monitorName_;
};

}  // namespace kestrane::test
