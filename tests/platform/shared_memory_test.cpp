#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <string>

#include "platform/shared_memory.h"

namespace kestrane::platform {
namespace {

TEST(SharedMemoryTest, CreatorZeroesLaterOpenersShareItAndBadRequestsAreRefused) {
  const std::string name = "kestrane_shm_test_" + std::to_string(getpid());
  SharedMemory::unlink(name);
  SharedMemory first, second, bad;
  ASSERT_TRUE(first.open(4096, name));
  EXPECT_TRUE(first.created());
  auto* words = static_cast<uint32_t*>(first.view());
  for (int i = 0; i < 1024; ++i) ASSERT_EQ(words[i], 0u);
  words[7] = 0xA8150003;
  ASSERT_TRUE(second.open(4096, name));
  EXPECT_FALSE(second.created());
  EXPECT_EQ(static_cast<uint32_t*>(second.view())[7], 0xA8150003u);
  static_cast<uint32_t*>(second.view())[8] = 5;  // both views are the same memory
  EXPECT_EQ(words[8], 5u);
  second.close();
  EXPECT_EQ(second.view(), nullptr);
  EXPECT_EQ(second.size(), 0u);

  EXPECT_FALSE(bad.open(0, name));
  EXPECT_FALSE(bad.open(64, ""));
  EXPECT_EQ(bad.view(), nullptr);
  SharedMemory::unlink(name);
}

}  // namespace
}  // namespace kestrane::platform
