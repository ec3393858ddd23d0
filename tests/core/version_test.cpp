#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

#include "kestrane/version.h"

using namespace kestrane;

TEST(Version, FormatsAndOneObjectPerTextEvenUnderConcurrentFirstUse) {
  std::vector<std::thread> threads;
  std::vector<const std::string*> seen(8);
  for (size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&seen, i] { seen[i] = i % 2 ? &getOphelVendor() : &getOphelProduct(); });
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i % 2 ? &getOphelVendor() : &getOphelProduct());
  EXPECT_EQ(getOphelProduct(), "taliss2-v4");
  EXPECT_EQ(getOphelVendor(), "kestrane");
  EXPECT_TRUE(std::regex_match(getOphelVersion(), std::regex(R"(v\d+\.\d+\.\d+)"))) << getOphelVersion();
  EXPECT_TRUE(std::regex_match(getOphelGitVersion(), std::regex("[0-9a-f]{8}"))) << getOphelGitVersion();
  EXPECT_EQ(&getOphelVersion(), &getOphelVersion());
  EXPECT_EQ(&getOphelGitVersion(), &getOphelGitVersion());
}
