#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <string>

#include "platform/shared_memory.h"

namespace kestrane::platform {
namespace {

std::string blockName() { return "kestrane_shm_test_" + std::to_string(getpid()); }

class SharedMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override { SharedMemory::unlink(name_); }
  void TearDown() override { SharedMemory::unlink(name_); }
  std::string name_ = blockName();
};

TEST_F(SharedMemoryTest, CreatorZeroesAndLaterOpenersSeeItsValues) {
  SharedMemory first;
  ASSERT_TRUE(first.open(4096, name_));
  EXPECT_TRUE(first.created());
  auto* words = static_cast<uint32_t*>(first.view());
  for (int i = 0; i < 1024; ++i) ASSERT_EQ(words[i], 0u);
  words[7] = 0xA8150003;

  SharedMemory second;
  ASSERT_TRUE(second.open(4096, name_));
  EXPECT_FALSE(second.created());
  EXPECT_EQ(static_cast<uint32_t*>(second.view())[7], 0xA8150003u);
  // Both views are the same memory.
  static_cast<uint32_t*>(second.view())[8] = 5;
  EXPECT_EQ(words[8], 5u);
}

TEST_F(SharedMemoryTest, RefusesEmptyNameAndZeroSize) {
  SharedMemory block;
  EXPECT_FALSE(block.open(0, name_));
  EXPECT_FALSE(block.open(64, ""));
  EXPECT_EQ(block.view(), nullptr);
}

TEST_F(SharedMemoryTest, CloseForgetsTheView) {
  SharedMemory block;
  ASSERT_TRUE(block.open(64, name_));
  block.close();
  EXPECT_EQ(block.view(), nullptr);
  EXPECT_EQ(block.size(), 0u);
}

}  // namespace
}  // namespace kestrane::platform
