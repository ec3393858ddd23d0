#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "descriptions.h"
#include "support/log_capture.h"

using namespace kestrane;
using namespace kestrane::hwdep;
using kestrane::test::DescriptionV4;

namespace {

void expectInvalidKey(const std::function<void()>& call) {
  try {
    call();
    ADD_FAILURE() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "invalid map<K, T> key");
  }
}

}  // namespace

TEST(PlatformLookups, GlobalCoreAliasAndInsertingMisses) {
  Platform platform;
  ClusterEntry& cluster = platform.getCluster(0x10000);
  EXPECT_EQ(&platform.getCoreEntry(cluster, 0xFFFD), &platform.getCoreEntry(cluster, 0xFFFE));
  EXPECT_EQ(platform.getCoreIdsOfCluster(cluster).size(), 5u);

  ClusterEntry& added = platform.getCluster(0x30000);
  EXPECT_EQ(added.id, 0x7FFF0000u);
  EXPECT_TRUE(added.cores.empty());
  EXPECT_EQ(platform.getClusterIds(), (std::vector<uint32_t>{0x10000, 0x20000, 0x30000}));

  CoreEntry& core = platform.getCoreEntry(cluster, 9);
  EXPECT_EQ(core.id, 0xFFFFu);
  EXPECT_EQ(core.cluster, nullptr);
  EXPECT_EQ(platform.getCoreIdsOfCluster(cluster).back(), 0xFFFEu);
  EXPECT_EQ(platform.getCoreIdsOfCluster(cluster).size(), 6u);
}

TEST(PlatformLookups, ConstLookupsAndAbsentKeysThrow) {
  const Platform platform;
  expectInvalidKey([&] { platform.getCluster(0x30000); });
  EXPECT_EQ(platform.getClusterIds().size(), 2u);
  const ClusterEntry& cluster = platform.getCluster(0x20000);
  EXPECT_EQ(&platform.getCoreEntry(cluster, 0xFFFD), &platform.getCoreEntry(cluster, 0xFFFE));
  expectInvalidKey([&] { platform.getCoreEntry(cluster, 5); });
  const CoreEntry& core = platform.getCoreEntry(cluster, 1);
  expectInvalidKey([&] { platform.lookupU64ById(core, 3); });
  expectInvalidKey([&] { platform.getMemoryAddress(0, 8); });
  expectInvalidKey([&] { platform.getMemoryAddress(3, 12); });
  EXPECT_EQ(platform.getMemoryAddress(0, 12), Platform::kUnset64);
}

TEST(MemoryTypeName, NamesAndErrors) {
  const std::pair<uint32_t, const char*> names[] = {{0, "IMEM"},  {12, "BUFFER"}, {23, "GLOBALIMEM"},
                                                    {24, "Status Register"}, {25, "Control Register"},
                                                    {30, "RMEM"}, {16, "Error"}, {26, "Error"},
                                                    {31, "Error"}, {0xFFFFFFFF, "Error"}};
  for (const auto& [type, name] : names) EXPECT_EQ(memoryTypeName(type), name) << type;
}

TEST(PlatformConstruction, UnknownVersionKeepsEveryPreset) {
  std::vector<uint8_t> bytes = DescriptionV4::card().render();
  bytes[0] = 5;
  test::LogCapture capture;
  const Platform platform(bytes.data(), bytes.size());
  ASSERT_EQ(capture.lines().size(), 1u) << capture.text();
  EXPECT_EQ(capture.lines()[0], "error|Hardware information could not be retrieved.");
  EXPECT_EQ(platform.formatVersion(), 5u);
  EXPECT_EQ(platform.formatLength(), bytes.size());
  EXPECT_EQ(platform.getVendor(), "");
  EXPECT_EQ(platform.getHardwareVersion(), Platform::kUnset32);
  EXPECT_EQ(platform.ovlCode2(), Platform::kUnsetCode);
  EXPECT_TRUE(platform.clusters().empty());
  EXPECT_TRUE(platform.modules().empty());
  EXPECT_EQ(platform.generalValue(8), Platform::kUnset64);
  EXPECT_FALSE(platform.getSwcFlag7());
  EXPECT_EQ(platform.cswValue(4), 0u);
}

TEST(PlatformConstruction, TooShortForAVersionWord) {
  const uint8_t bytes[3] = {4, 0, 0};
  test::LogCapture capture;
  const Platform platform(bytes, sizeof bytes);
  EXPECT_EQ(capture.count("error|"), 2u) << capture.text();
  EXPECT_EQ(capture.count("Hardware information could not be retrieved."), 1u);
  EXPECT_EQ(platform.formatVersion(), Platform::kUnset32);
  EXPECT_EQ(platform.formatLength(), 3u);
}

TEST(PlatformConstruction, MovedPlatformKeepsClusterReferences) {
  Platform source;
  Platform moved(std::move(source));
  const ClusterEntry& cluster = moved.getCluster(0x20000);
  EXPECT_EQ(moved.getCoreEntry(cluster, 3).cluster, &cluster);
}
