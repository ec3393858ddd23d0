#include <gtest/gtest.h>

#include "config/globals.h"
#include "driver/ddk.h"
#include "support/log_capture.h"
#include "tests/driver/driver_fixture.h"

namespace kestrane::test {
namespace {

using simcard::CardOptions;

std::string details(int revision, int subDevice) {
  char text[512];
  std::snprintf(text, sizeof text,
                "* PCIe Device Driver connection details.\n"
                "\t> Driver version : 3.2.0 (Revision %d)\n"
                "\t> PCIe Cards connection information.\n"
                "\t\t - Main-System(VID:0x1E5A,DID:0x0200), Sub-System(VID:0x1E5A,DID:0x%04X), PCIe 4.0 - 8 Lanes\n",
                revision, subDevice);
  return text;
}

TEST_F(DriverTest, CardIndexSelectsTheDeviceFileAndOpeningPrintsTheConnection) {
  StatusCode status = StatusCode::OK;
  std::string out;
  EXPECT_EQ(open(0, &status, &out), nullptr);  // no cards at all
  EXPECT_EQ(status, StatusCode::Driver_NotInitialized);
  EXPECT_NE(out.find("*E: [SystemDriver] No such file or directory\n*E: Device driver is not found.\n"),
            std::string::npos);
  attach(1);
  attach(64);  // a card could be registered there, but index 64 is never tried
  std::unique_ptr<DDK> zero, sixtyFour, one;
  stdoutOf([&] { zero = DDK::create(0), sixtyFour = DDK::create(64), one = DDK::create(1); });
  EXPECT_EQ(zero, nullptr);
  EXPECT_EQ(sixtyFour, nullptr);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->getName(), driverText());
  EXPECT_NE(driverText().find("PCIe(WDF) driver"), std::string::npos);
  auto device = open(1, &status, &out);
  EXPECT_EQ(status, StatusCode::OK);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(out, details(1, 0x1301) + "\n");
}

// Each refusal leaves no device and says why: the device layer logs it, the
// driver prints its connection details and the part that is too old.
TEST_F(DriverTest, UnusableCardsAreRefusedWithTheReason) {
  struct Case {
    uint8_t generation, valid, firmware;
    uint16_t driver;
    std::string reason;
  };
  const auto tooOld = [](const std::string& error, const char* part) {
    return "*E: " + error + "\n    " + part + " is too old, please update to latest version.\n";
  };
  const std::string driverError = "Driver revision number is not matched. (Required : 1)";
  const std::string firmwareError = "Firmware revision number is not matched. (Required : 3, Actual : ";
  for (const Case& c : {Case{0, 1, 3, 1, "Taliss #1 is not supported on this SDK."},
                        Case{1, 0, 3, 1, "Invalid firmware, not a Taliss #2 device."},
                        Case{2, 1, 3, 1, "Unknown device version."},
                        Case{1, 1, 3, 0, tooOld(driverError, "Driver")},
                        Case{1, 1, 3, 2, tooOld(driverError, "OPHEL SDK")},
                        Case{1, 1, 2, 1, tooOld(firmwareError + "2)", "Firmware")},
                        Case{1, 1, 4, 1, tooOld(firmwareError + "4)", "Driver")}}) {
    CardOptions options;
    options.chipGeneration = c.generation;
    options.validDevice = c.valid;
    options.driverRevision = c.driver;
    options.firmwareRevision = c.firmware;
    options.requiredFirmware = 3;
    attach(0, options);
    LogCapture log;
    StatusCode status = StatusCode::OK;
    std::string out;
    EXPECT_EQ(open(0, &status, &out), nullptr) << c.reason;
    EXPECT_EQ(status, StatusCode::Driver_NotInitialized);
    if (c.reason.rfind("*E: ", 0) == 0) {
      EXPECT_EQ(out, details(c.driver, 0x1001 | c.firmware << 8) + c.reason);  // the driver refused the card
    } else {
      EXPECT_EQ(log.count(c.reason), 1u) << log.text();
    }
  }
}

TEST_F(DriverTest, OlderDriverLayoutIsCopiedIntoTheInformationBlock) {
  CardOptions options;
  options.olderInfoLayout = true;
  options.firmwareRevision = 0;  // the older layout asks for no firmware revision
  attach(3, options);
  std::unique_ptr<DDK> ddk;
  EXPECT_EQ(stdoutOf([&] { ddk = DDK::create(3); }), details(1, 0x1001) + "\n");
  ASSERT_NE(ddk, nullptr);
  const uint8_t* info = ddk->getInfo();
  EXPECT_EQ(info[16], 4);  // PCIe generation and lanes of the card's entry
  EXPECT_EQ(info[17], 8);
  EXPECT_EQ(info[40], 0);
  ddk.reset();
  // The older layout has no valid-device byte, so the device layer refuses it.
  LogCapture log;
  StatusCode status;
  EXPECT_EQ(open(3, &status), nullptr);
  EXPECT_EQ(status, StatusCode::Driver_NotInitialized);
  EXPECT_EQ(log.count("Invalid firmware, not a Taliss #2 device."), 1u);

  options.firmwareRevision = 3;  // a card with a firmware revision: the driver is the older part
  attach(3, options);
  std::string out;
  open(3, &status, &out);
  EXPECT_NE(out.find("(Required : 0, Actual : 3)\n    Driver is too old"), std::string::npos);
}

}  // namespace
}  // namespace kestrane::test
