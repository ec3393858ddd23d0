#include <gtest/gtest.h>

#include "driver/ddk.h"
#include "runtime/globals.h"
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

TEST_F(DriverTest, OpensCardZeroAndPrintsItsConnection) {
  attach(0);
  StatusCode status;
  std::string out;
  auto device = open(0, &status, &out);
  EXPECT_EQ(status, StatusCode::OK);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(out, details(1, 0x1301) + "\n");
  EXPECT_NE(driverText().find("PCIe(WDF) driver"), std::string::npos);
}

TEST_F(DriverTest, CardIndexSelectsTheDeviceFile) {
  StatusCode status = StatusCode::OK;
  std::string out;
  EXPECT_EQ(open(0, &status, &out), nullptr);  // no cards at all
  EXPECT_EQ(status, StatusCode::Driver_NotInitialized);
  EXPECT_NE(out.find("*E: [SystemDriver] No such file or directory\n*E: Device driver is not found.\n"),
            std::string::npos);
  attach(1);
  attach(64);  // a card could be registered there, but index 64 is never tried
  std::unique_ptr<DDK> one, zero;
  stdoutOf([&] {
    EXPECT_EQ(DDK::create(64), nullptr);
    one = DDK::create(1);
    zero = DDK::create(0);
  });
  EXPECT_EQ(zero, nullptr);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->getName(), driverText());
}

TEST_F(DriverTest, GenerationDecidesWhetherTheCardIsUsable) {
  struct Case {
    uint8_t generation, valid;
    const char* error;
  };
  for (const Case& c : {Case{0, 1, "Taliss #1 is not supported on this SDK."},
                        Case{1, 0, "Invalid firmware, not a Taliss #2 device."},
                        Case{2, 1, "Unknown device version."}}) {
    CardOptions options;
    options.chipGeneration = c.generation;
    options.validDevice = c.valid;
    attach(0, options);
    LogCapture log;
    StatusCode status = StatusCode::OK;
    EXPECT_EQ(open(0, &status), nullptr) << c.error;
    EXPECT_EQ(status, StatusCode::Driver_NotInitialized);
    EXPECT_EQ(log.count(c.error), 1u) << log.text();
  }
}

TEST_F(DriverTest, RevisionMismatchNamesThePartThatIsTooOld) {
  struct Case {
    uint16_t driver;
    uint8_t firmware;
    const char* error;
    const char* hint;
  };
  for (const Case& c : {Case{0, 3, "Driver revision number is not matched. (Required : 1)", "Driver"},
                        Case{2, 3, "Driver revision number is not matched. (Required : 1)", "OPHEL SDK"},
                        Case{1, 2, "Firmware revision number is not matched. (Required : 3, Actual : 2)", "Firmware"},
                        Case{1, 4, "Firmware revision number is not matched. (Required : 3, Actual : 4)", "Driver"}}) {
    CardOptions options;
    options.driverRevision = c.driver;
    options.firmwareRevision = c.firmware;
    options.requiredFirmware = 3;
    attach(0, options);
    StatusCode status;
    std::string out;
    EXPECT_EQ(open(0, &status, &out), nullptr);
    EXPECT_EQ(status, StatusCode::Driver_NotInitialized);
    EXPECT_EQ(out, details(c.driver, 0x1001 | c.firmware << 8) + "*E: " + c.error + "\n    " + c.hint +
                       " is too old, please update to latest version.\n");
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
