#include <gtest/gtest.h>

#include "driver/ddk.h"
#include "runtime/globals.h"
#include "support/log_capture.h"
#include "tests/driver/driver_fixture.h"

namespace kestrane::test {
namespace {

using simcard::CardOptions;

const char* const kDetails =
    "* PCIe Device Driver connection details.\n"
    "\t> Driver version : 3.2.0 (Revision %d)\n"
    "\t> PCIe Cards connection information.\n"
    "\t\t - Main-System(VID:0x1E5A,DID:0x0200), Sub-System(VID:0x1E5A,DID:0x%04X), PCIe 4.0 - 8 Lanes\n";

std::string details(int revision, int subDevice) {
  char text[512];
  std::snprintf(text, sizeof text, kDetails, revision, subDevice);
  return text;
}

TEST_F(DriverTest, OpensCardZeroAndPrintsItsConnection) {
  attach(0);
  StatusCode status;
  std::unique_ptr<TalissDevice> device;
  const std::string out = openPrinting(0, status, &device);
  EXPECT_EQ(status, StatusCode::OK);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(out, details(1, 0x1301) + "\n");
  EXPECT_NE(driverText().find("PCIe(WDF) driver"), std::string::npos);
}

TEST_F(DriverTest, CardIndexSelectsTheDeviceFile) {
  EXPECT_EQ(DDK::create(64), nullptr);
  attach(1);
  attach(64);  // a card could be registered there, but index 64 is never tried
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(DDK::create(64), nullptr);
  auto one = DDK::create(1);
  auto zero = DDK::create(0);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(one, nullptr);
  EXPECT_EQ(zero, nullptr);
  EXPECT_NE(out.find("*E: [SystemDriver] No such file or directory\n*E: Device driver is not found.\n"),
            std::string::npos);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->getName(), driverText());
}

TEST_F(DriverTest, GenerationDecidesWhetherTheCardIsUsable) {
  struct Case {
    uint8_t generation;
    uint8_t valid;
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

TEST_F(DriverTest, DriverRevisionMustBeOne) {
  for (auto [revision, hint] : {std::pair<uint16_t, const char*>{0, "Driver"}, {2, "OPHEL SDK"}}) {
    CardOptions options;
    options.driverRevision = revision;
    attach(0, options);
    StatusCode status;
    const std::string out = openPrinting(0, status);
    EXPECT_EQ(status, StatusCode::Driver_NotInitialized);
    EXPECT_EQ(out, details(revision, 0x1301) + "*E: Driver revision number is not matched. (Required : 1)\n    " +
                       hint + " is too old, please update to latest version.\n");
  }
}

TEST_F(DriverTest, FirmwareMismatchNamesThePartThatIsTooOld) {
  for (auto [actual, hint] : {std::pair<uint8_t, const char*>{2, "Firmware"}, {4, "Driver"}}) {
    CardOptions options;
    options.firmwareRevision = actual;
    options.requiredFirmware = 3;
    attach(0, options);
    StatusCode status;
    const std::string out = openPrinting(0, status);
    EXPECT_EQ(status, StatusCode::Driver_NotInitialized);
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "*E: Firmware revision number is not matched. (Required : 3, Actual : %d)\n", actual);
    EXPECT_NE(out.find(expected), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("    ") + hint + " is too old"), std::string::npos) << out;
  }
}

TEST_F(DriverTest, OlderDriverLayoutIsCopiedIntoTheInformationBlock) {
  CardOptions options;
  options.olderInfoLayout = true;
  options.firmwareRevision = 0;  // the older layout asks for no firmware revision
  attach(3, options);
  ::testing::internal::CaptureStdout();
  auto ddk = DDK::create(3);
  const std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_NE(ddk, nullptr);
  EXPECT_EQ(out, details(1, 0x1001) + "\n");
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
  EXPECT_NE(openPrinting(3, status).find("(Required : 0, Actual : 3)\n    Driver is too old"), std::string::npos);
}

TEST_F(DriverTest, NoCardsMeansNoDriver) {
  ::testing::internal::CaptureStdout();
  StatusCode status = StatusCode::OK;
  EXPECT_EQ(TalissDevice::create(0, status), nullptr);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, StatusCode::Driver_NotInitialized);
  EXPECT_NE(out.find("Device driver is not found."), std::string::npos);
}

}  // namespace
}  // namespace kestrane::test
