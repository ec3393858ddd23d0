#include <gtest/gtest.h>

#include "version_guard.h"

using ophel::interpreterMatches;

TEST(VersionGuard, AcceptsTheCompiledSeriesOnly) {
  EXPECT_TRUE(interpreterMatches("3.12", "3.12.0 (main, Oct  2 2023) [GCC 12.2.0]"));
  EXPECT_TRUE(interpreterMatches("3.12", "3.12.10"));
  EXPECT_TRUE(interpreterMatches("3.12", "3.12+"));
  EXPECT_TRUE(interpreterMatches("3.12", "3.12"));
  EXPECT_FALSE(interpreterMatches("3.12", "3.11.9"));
  EXPECT_FALSE(interpreterMatches("3.12", "3.13.0"));
  EXPECT_FALSE(interpreterMatches("3.12", "3.120"));
  EXPECT_FALSE(interpreterMatches("3.12", "3.1"));
  EXPECT_FALSE(interpreterMatches("3.12", ""));
  EXPECT_FALSE(interpreterMatches("3.12", nullptr));
  EXPECT_TRUE(interpreterMatches("3.9", "3.9.18"));
  EXPECT_FALSE(interpreterMatches("3.9", "3.90.1"));
}

TEST(VersionGuard, MismatchMessageNamesBothVersions) {
  EXPECT_EQ(ophel::versionMismatchMessage("3.12", "3.11.9 (main) [GCC]"),
            "Python version mismatch: module was compiled for Python 3.12, but the interpreter version is "
            "incompatible: 3.11.9 (main) [GCC].");
}
