#include <gtest/gtest.h>

#include "descriptions.h"
#include "hwdep/builtin_description.h"
#include "support/log_capture.h"

using namespace kestrane;
using namespace kestrane::hwdep;
using kestrane::test::DescriptionV4;

// The compiled-in bytes against an independent rendering of the layout from
// the address formulas.
TEST(BuiltinDescription, BytesEqualTheRenderedLayout) {
  const std::vector<uint8_t> expected = DescriptionV4::card().render();
  EXPECT_EQ(std::vector<uint8_t>(kBuiltinDescription, kBuiltinDescription + kBuiltinDescriptionLength), expected);
  EXPECT_LT(kBuiltinDescriptionLength, 2048u);
}

TEST(BuiltinDescription, ParsesWithoutErrorIntoTheCardsStrings) {
  test::LogCapture capture;
  const Platform platform;
  EXPECT_TRUE(capture.lines().empty()) << capture.text();
  EXPECT_EQ(platform.formatVersion(), 4u);
  EXPECT_EQ(platform.formatLength(), kBuiltinDescriptionLength);
  EXPECT_EQ(platform.getVendor(), "kestrane");
  EXPECT_EQ(platform.getProduct(), "taliss2-v4");
  EXPECT_EQ(platform.getDeviceFamily(), "Taliss2");
  EXPECT_EQ(platform.getHardwareVersion(), 3u);
  EXPECT_EQ(platform.ovlValue0(), 5u);
  EXPECT_EQ(platform.ovlCode2(), 3u);
  EXPECT_EQ(platform.ovlValue4(), 25u);
  EXPECT_EQ(platform.ovlCode5(), 2u);
  EXPECT_TRUE(platform.ovlFlag3() && platform.ovlFlag6() && platform.ovlFlag7());
}

TEST(BuiltinDescription, EveryCoreAddressFollowsTheLayout) {
  constexpr uint32_t kTypesInRecordOrder[11] = {12, 17, 26, 7, 0, 2, 1, 30, 24, 25, 23};
  const Platform platform;
  ASSERT_EQ(platform.getClusterIds(), (std::vector<uint32_t>{0x10000, 0x20000}));
  for (uint32_t c = 0; c < 2; ++c) {
    const ClusterEntry& cluster = platform.getCluster(static_cast<int32_t>(0x10000 * (c + 1)));
    ASSERT_EQ(platform.getCoreIdsOfCluster(cluster), (std::vector<uint32_t>{1, 2, 3, 4, 0xFFFE}));
    for (uint32_t coreId : platform.getCoreIdsOfCluster(cluster)) {
      const CoreEntry& core = platform.getCoreEntry(cluster, coreId);
      EXPECT_EQ(core.id, coreId);
      EXPECT_EQ(core.cluster, &cluster);
      EXPECT_TRUE(core.values.empty());
      EXPECT_EQ(core.addresses.size(), 11u);
      const auto expected =
          coreId == 0xFFFE ? test::globalCoreAddresses(c) : test::ordinaryCoreAddresses(c, coreId - 1);
      for (size_t i = 0; i < 11; ++i) {
        EXPECT_EQ(platform.lookupU64ById(core, static_cast<int32_t>(kTypesInRecordOrder[i])), expected[i])
            << "cluster " << c << " core " << coreId << " type " << memoryTypeName(kTypesInRecordOrder[i]);
      }
    }
  }
  const CoreEntry& first = platform.getCoreEntry(platform.getCluster(0x10000), 1);
  EXPECT_EQ(platform.lookupU64ById(first, 24), 0x10300000u);
  EXPECT_EQ(platform.lookupU64ById(first, 30), 0x100C00000u);
}

TEST(BuiltinDescription, ParametersSwitchesModulesAndTemplates) {
  const Platform platform;
  EXPECT_EQ(platform.getGeneralParam9(), 64u);
  EXPECT_EQ(platform.getGeneralParam10(), 64u);
  EXPECT_TRUE(platform.getSwcFlag7());
  EXPECT_EQ(platform.systemValue(0), 0xDEADFFFFu);
  EXPECT_EQ(platform.systemValue(1), 0xC0DEBEEFu);
  for (size_t i = 2; i < 5; ++i) EXPECT_EQ(platform.systemValue(i), Platform::kUnset64);
  EXPECT_EQ(platform.gblValue(0), 4u);
  EXPECT_EQ(platform.gblValue(1), 0u);
  EXPECT_EQ(platform.gblValue(2), Platform::kUnset32);
  EXPECT_EQ(platform.gblValue(3), Platform::kUnsetCode);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(platform.cswValue(i), (std::array<uint32_t, 5>{3, 0, 0, 1, 1024}[i]));

  // .SWC k lands in the slot of this list; every other slot stays false.
  const size_t swcSlots[11] = {3, 5, 2, 15, 4, 17, 16, 18, 19, 20, 21};
  const DescriptionV4 card = DescriptionV4::card();
  std::array<bool, Platform::kSwitches> switches{};
  for (size_t k = 0; k < 11; ++k) switches[swcSlots[k]] = card.swc[k] != 0;
  for (size_t slot = 0; slot < Platform::kSwitches; ++slot) EXPECT_EQ(platform.switchValue(slot), switches[slot]) << slot;

  // .GNL entries, then .VOL (from entry 40).
  std::vector<uint64_t> entries(card.gnl.begin(), card.gnl.end());
  entries.insert(entries.end(), card.vol.begin(), card.vol.end());
  test::expectGeneralValues(platform,
                            {{1, 1, 7}, {8, 9, 8}, {18, 19, 7}, {26, 34, 1}, {27, 0, 1}, {28, 35, 1}, {29, 37, 3},
                             {33, 8, 1}, {34, 17, 2}, {36, 26, 8}, {44, 36, 1}, {46, 40, 6}, {60, 47, 1}, {61, 46, 1}},
                            entries);

  ASSERT_EQ(platform.modules().size(), 9u);
  for (const auto& [position, entry] : platform.modules()) {
    EXPECT_EQ(entry.index, position);
    for (size_t k = 0; k < 15; ++k) EXPECT_EQ(entry.flags[k], card.modules[position].second[k] != 0);
  }
  EXPECT_TRUE(platform.entryOffsets().empty());

  // Version 4 has no address templates: every one stays at its sentinel.
  ASSERT_EQ(platform.addressTemplates().size(), 3u);
  for (int32_t row = 0; row < 3; ++row) {
    EXPECT_EQ(platform.addressTemplates().at(static_cast<uint32_t>(row)).size(), 22u);
    for (uint32_t type : {0, 1, 2, 3, 4, 5, 6, 7, 12, 13, 14, 15, 16, 17, 18, 20, 21, 22, 23, 24, 25, 26}) {
      EXPECT_EQ(platform.getMemoryAddress(row, static_cast<int32_t>(type)), Platform::kUnset64);
    }
  }
}
