#include <gtest/gtest.h>

#include <regex>

#include "kestrane/version.h"

using namespace kestrane;

TEST(Version, FormatsAndIdentity) {
  EXPECT_TRUE(std::regex_match(getOphelVersion(), std::regex(R"(v\d+\.\d+\.\d+)"))) << getOphelVersion();
  EXPECT_TRUE(std::regex_match(getOphelGitVersion(), std::regex("[0-9a-f]{8}"))) << getOphelGitVersion();
  EXPECT_EQ(&getOphelVersion(), &getOphelVersion());
  EXPECT_EQ(&getOphelGitVersion(), &getOphelGitVersion());
  EXPECT_EQ(&getOphelProduct(), &getOphelProduct());
  EXPECT_EQ(&getOphelVendor(), &getOphelVendor());
}

TEST(Version, ProductAndVendorComeFromTheDescription) {
  EXPECT_EQ(getOphelProduct(), "taliss2-v4");
  EXPECT_EQ(getOphelVendor(), "kestrane");
  EXPECT_EQ(getOphelProduct(), getOphelProduct());
}
