#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "driver/taliss_device.h"
#include "driver/taliss_monitor.h"
#include "platform/shared_memory.h"
#include "simcard/card_registry.h"
#include "support/program_assembler.h"

namespace kestrane::test {

// What `fn` printed on stdout, where the driver writes its connection and error lines.
template <typename F>
std::string stdoutOf(F&& fn) {
  ::testing::internal::CaptureStdout();
  fn();
  return ::testing::internal::GetCapturedStdout();
}

inline uint8_t* bytes(uint64_t address) { return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(address)); }

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

  // Opens card `index`; `printed` receives what the opening wrote.
  std::unique_ptr<TalissDevice> open(int index, StatusCode* status = nullptr, std::string* printed = nullptr) {
    StatusCode sc = StatusCode::InternalError;
    std::unique_ptr<TalissDevice> device;
    const std::string out = stdoutOf([&] { device = TalissDevice::create(index, sc); });
    if (status) *status = sc;
    if (printed) *printed = out;
    return device;
  }

  static void load(simcard::SimCard& card, int cluster, int core, const ProgramAssembler& program) {
    auto code = program.bytes();
    ASSERT_TRUE(card.poke(card.layout().cores[card.layout().find(cluster, core)].imem, code.data(), code.size()));
  }

  std::string monitorName_;
};

}  // namespace kestrane::test
