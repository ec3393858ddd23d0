#include <gtest/gtest.h>

#include <string>

#include "kestrane/version.h"
#include "ophel_error.h"

using kestrane::StatusCode;
using ophel::ophelErrorMessage;

TEST(OphelErrorMessage, PointsAtTheDocumentationOfTheMinorVersion) {
  const std::string base = ophel::kDocumentationBase;
  EXPECT_EQ(ophelErrorMessage(StatusCode::Model_NotLaunched, "v1.4.0"),
            "Model_NotLaunched occurred.\nPlease visit " + base +
                "v1.4/doxygen/html_en/group__CPPAPI.html for more details.");
  EXPECT_EQ(ophelErrorMessage(StatusCode::BadAlloc, "v10.22.333"),
            "BadAlloc occurred.\nPlease visit " + base + "v10.22/doxygen/html_en/group__CPPAPI.html for more details.");
  // The base address is a scheme, a host and a trailing '/'.
  EXPECT_EQ(base.rfind("https://", 0), 0u);
  EXPECT_EQ(base.back(), '/');
}

TEST(OphelErrorMessage, StopsAfterTheFirstSentenceWithoutAUsableVersion) {
  EXPECT_EQ(ophelErrorMessage(StatusCode::Model_NotLaunched, "N/A"), "Model_NotLaunched occurred.");
  EXPECT_EQ(ophelErrorMessage(StatusCode::Model_NotLaunched, "v1"), "Model_NotLaunched occurred.");
  EXPECT_EQ(ophelErrorMessage(StatusCode::Model_NotLaunched, ""), "Model_NotLaunched occurred.");
  EXPECT_EQ(ophelErrorMessage(static_cast<StatusCode>(31), "N/A"),
            kestrane::statusCodeName(static_cast<StatusCode>(31)) + " occurred.");
}

TEST(OphelErrorMessage, ExceptionCarriesTheLibraryVersionHint) {
  const ophel::OphelError error(StatusCode::Acc_NPUTimeout);
  EXPECT_EQ(std::string(error.what()), ophelErrorMessage(StatusCode::Acc_NPUTimeout, kestrane::getOphelVersion()));
  EXPECT_EQ(std::string(error.what()).rfind("Acc_NPUTimeout occurred.\nPlease visit ", 0), 0u);
}
