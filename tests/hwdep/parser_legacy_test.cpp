#include <gtest/gtest.h>

#include "descriptions.h"
#include "support/log_capture.h"

using namespace kestrane;
using namespace kestrane::hwdep;
using namespace kestrane::test;

namespace {

DescriptionV1::Entry entryV1(uint32_t id) {
  DescriptionV1::Entry e{id, {}};
  for (uint32_t k = 0; k < 22; ++k) e.fields[k] = id * 1000 + k;
  return e;
}

// Memory type of version 1 entry field k (offset 8 + 8k), for the 17 address fields.
constexpr uint32_t kV1Types[17] = {12, 13, 14, 15, 17, 7, 0, 2, 1, 3, 4, 5, 6, 18, 19, 24, 25};

DescriptionV2 sampleV2() {
  DescriptionV2 d;
  d.system = {{0x20000, 1, {1, 2}}, {1, 0, {}}, {2, 1, {}}, {0x10000, 0, {1, 0xFFFE}}, {0xFFFE, 3, {}}};
  for (size_t r = 0; r < 3; ++r) {
    for (size_t i = 0; i < 21; ++i) d.rows[r][i] = (r == 0 ? 0x1000000000ull : 0x100ull) * (r + 1) + i;
  }
  for (size_t i = 0; i < 5; ++i) d.systemValues[i] = 100 + i;
  d.gbl = {200, 201, 202};
  d.gbl3 = 203;
  for (size_t i = 0; i < 13; ++i) d.switches[i] = i % 2;
  for (size_t i = 0; i < 42; ++i) d.general[i] = 300 + i;
  return d;
}

DescriptionV3 sampleV3() {
  DescriptionV3 d;
  d.system = {{0x10000, 0, {1, 2, 0xFFFE}}, {0x20000, 1, {1, 2, 0xFFFE}}, {1, 0, {}}, {2, 1, {}}, {0xFFFE, 4, {}}};
  for (size_t r = 0; r < 3; ++r) {
    for (size_t i = 0; i < 10; ++i) d.rows[r][i] = (r == 0 ? 0x1000000000ull : 0x100ull) * (r + 1) + i;
  }
  d.msc = {11, 12};
  d.gbl = {21, 22};
  d.switches = {1, 0, 1, 1, 0, 1, 0, 1, 1};
  for (size_t i = 0; i < 27; ++i) d.gnl[i] = 400 + i;
  for (size_t i = 0; i < 7; ++i) d.vol[i] = 500 + i;
  d.csw = {31, 32, 33, 34, 35};
  return d;
}

}  // namespace

TEST(ParserV1, EntriesInAscendingIdOrderLastEntryWins) {
  DescriptionV1 d;
  for (uint32_t k = 1; k < 52; ++k) d.words[k] = 10 + k;
  d.words[33] = 0;
  d.entries = {entryV1(2), entryV1(0), entryV1(1)};
  LogCapture capture;
  Platform p = parse(d.render());
  EXPECT_TRUE(capture.lines().empty()) << capture.text();
  EXPECT_EQ(p.formatVersion(), 1u);
  EXPECT_EQ(p.getDeviceFamily(), "Ebrill");
  EXPECT_EQ(p.getVendor(), "");
  ASSERT_EQ(p.getClusterIds(), (std::vector<uint32_t>{0x10000}));
  EXPECT_EQ(p.getCoreIdsOfCluster(p.getCluster(0x10000)), (std::vector<uint32_t>{1, 2, 0xFFFE}));
  for (auto [entryId, coreId] : {std::pair{0u, 0xFFFEu}, {1u, 1u}, {2u, 2u}}) {
    const CoreEntry& core = coreOf(p, 0x10000, coreId);
    EXPECT_EQ(core.id, coreId);
    EXPECT_EQ(core.addresses.size(), 17u);
    for (uint32_t k = 0; k < 17; ++k) {
      EXPECT_EQ(p.lookupU64ById(core, static_cast<int32_t>(kV1Types[k])), entryId * 1000 + k) << k;
    }
  }
  // Entry id 2 is read last.
  EXPECT_EQ(p.systemValue(2), 2017u);
  EXPECT_EQ(p.systemValue(3), 2018u);
  EXPECT_EQ(p.gblValue(2), 2019u);
  EXPECT_EQ(p.gblValue(0), 2020u);
  EXPECT_EQ(p.gblValue(1), 2021u);
  EXPECT_EQ(p.systemValue(0), Platform::kUnset64);
  // Words 32 to 39 are switches 0 to 7; word 33 is zero.
  for (size_t slot = 0; slot < 8; ++slot) EXPECT_EQ(p.switchValue(slot), slot != 1) << slot;
  EXPECT_FALSE(p.switchValue(8));
  expectGeneralValues(p, {{0, 5, 27}, {45, 40, 7}, {55, 47, 5}}, {d.words.begin(), d.words.end()});
  EXPECT_EQ(p.entryOffsets(), (std::map<int32_t, uint32_t>{{2, 212}, {0, 396}, {1, 580}}));
}

TEST(ParserV1, UnknownIdsAndRepeatedIds) {
  DescriptionV1 d;
  d.entries = {entryV1(7), entryV1(1), entryV1(1)};
  d.entries[2].fields[0] = 99;
  Platform p = parse(d.render());
  EXPECT_EQ(p.getCoreIdsOfCluster(p.getCluster(0x10000)), (std::vector<uint32_t>{1, 0xFFFF}));
  EXPECT_EQ(p.lookupU64ById(coreOf(p, 0x10000, 0xFFFF), 12), 7000u);
  EXPECT_EQ(p.lookupU64ById(coreOf(p, 0x10000, 1), 12), 99u);
  EXPECT_EQ(p.entryOffsets(), (std::map<int32_t, uint32_t>{{7, 212}, {1, 580}}));
}

TEST(ParserV1, TruncatedAndAbsurdDescriptionsFail) {
  DescriptionV1 d;
  d.entries = {entryV1(1), entryV1(0)};
  const auto full = d.render();
  // Cutting into the family string only shortens it; cutting an entry fails.
  expectTruncationsFail(full, [](size_t length) { return length >= 216 + 2 * 184; });

  expectRefusedWithoutClusters({patchU32(full, 212, 3), patchU32(full, 212, 0xFFFFFFFF)});  // entry count
  LogCapture capture;
  Platform p = parse(patchU32(full, 4, 0xFFFFFFFF));  // family length
  EXPECT_EQ(capture.count("error|"), 2u) << capture.text();
  EXPECT_EQ(p.getDeviceFamily(), "");
}

TEST(ParserV2, FieldsAndAddressesFromTemplates) {
  const DescriptionV2 d = sampleV2();
  LogCapture capture;
  Platform p = parse(d.render());
  EXPECT_TRUE(capture.lines().empty()) << capture.text();
  EXPECT_EQ(p.getVendor(), "old-vendor");
  EXPECT_EQ(p.getProduct(), "old-product");
  EXPECT_EQ(p.getDeviceFamily(), "Taliss");
  EXPECT_EQ(p.getHardwareVersion(), 1u);
  EXPECT_EQ(p.ovlCode5(), 2u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(p.systemValue(i), 100 + i);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(p.gblValue(i), 200 + i);
  EXPECT_FALSE(p.switchValue(0));
  for (size_t i = 0; i < 13; ++i) EXPECT_EQ(p.switchValue(1 + i), i % 2 == 1) << i;
  expectGeneralValues(p, {{0, 0, 27}, {45, 27, 7}, {55, 34, 5}, {52, 39, 3}}, {d.general.begin(), d.general.end()});

  // Address of a core: row 0 + cluster index * row 2 + core index * row 1.
  const uint32_t templateOrder[21] = {12, 13, 14, 15, 16, 3, 4, 5, 6, 18, 17, 7, 0, 2, 1, 20, 21, 22, 24, 25, 23};
  ASSERT_EQ(p.getClusterIds(), (std::vector<uint32_t>{0x10000, 0x20000}));
  EXPECT_EQ(p.getCoreIdsOfCluster(p.getCluster(0x20000)), (std::vector<uint32_t>{1, 2}));
  const CoreEntry& core2 = coreOf(p, 0x20000, 2);  // cluster index 1, core index 1
  EXPECT_EQ(core2.addresses.size(), 21u);
  for (size_t i = 0; i < 21; ++i) {
    const auto type = static_cast<int32_t>(templateOrder[i]);
    for (int32_t r = 0; r < 3; ++r) EXPECT_EQ(p.getMemoryAddress(r, type), d.rows[static_cast<size_t>(r)][i]);
    EXPECT_EQ(p.lookupU64ById(core2, type), d.rows[0][i] + d.rows[2][i] + d.rows[1][i]) << type;
  }
  // Type 24 is template 18.
  EXPECT_EQ(p.lookupU64ById(coreOf(p, 0x20000, 1), 24), d.rows[0][18] + d.rows[2][18]);
  EXPECT_EQ(p.lookupU64ById(coreOf(p, 0x10000, 0xFFFE), 24), d.rows[0][18] + 3 * d.rows[1][18]);
}

TEST(ParserV2, IndicesAreSignedAndAbsentOnesCountAsZero) {
  DescriptionV2 d = sampleV2();
  d.system = {{0x10000, -1, {1, 3}}, {1, -2, {}}};
  Platform p = parse(d.render());
  const uint64_t base = d.rows[0][18], coreStep = d.rows[1][18], clusterStep = d.rows[2][18];  // type 24
  EXPECT_EQ(p.lookupU64ById(coreOf(p, 0x10000, 1), 24), base - clusterStep - 2 * coreStep);
  EXPECT_EQ(p.lookupU64ById(coreOf(p, 0x10000, 3), 24), base - clusterStep);
}

TEST(ParserV2, GlobalCoreAliasWritesToTheGlobalCoreEntry) {
  DescriptionV2 d = sampleV2();
  d.system = {{0x10000, 0, {0xFFFD}}};
  Platform p = parse(d.render());
  const ClusterEntry& cluster = p.getCluster(0x10000);
  EXPECT_EQ(p.getCoreIdsOfCluster(cluster), (std::vector<uint32_t>{0xFFFD, 0xFFFE}));
  EXPECT_TRUE(cluster.cores.at(0xFFFD).addresses.empty());
  EXPECT_EQ(cluster.cores.at(0xFFFE).addresses.size(), 21u);
}

TEST(ParserV2, WrongBoundaryKeepsScalarsButNoClusters) {
  DescriptionV2 d = sampleV2();
  d.boundary = 0x78563412;
  LogCapture capture;
  Platform p = parse(d.render());
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{kNotRetrieved}));
  EXPECT_EQ(p.getProduct(), "old-product");
  EXPECT_EQ(p.generalValue(54), 341u);
  EXPECT_TRUE(p.clusters().empty());
}

TEST(ParserV2, TruncatedAndAbsurdDescriptionsFail) {
  const auto full = sampleV2().render();
  expectTruncationsFail(full, [](size_t) { return false; });

  const size_t blockAt = 4 + (4 + 10) + (4 + 11) + (4 + 6) + 20;
  expectRefusedWithoutClusters({patchU32(full, blockAt, 0xFFFFFFFF), patchU32(full, blockAt + 4, 0x10000000),
                                patchU32(full, blockAt + 16, 0xFFFFFFFF), patchU32(full, 4, 0x7FFFFFFF)});
}

TEST(ParserV3, FieldsAndAddressesFromTemplates) {
  const DescriptionV3 d = sampleV3();
  LogCapture capture;
  Platform p = parse(d.render());
  EXPECT_TRUE(capture.lines().empty()) << capture.text();
  EXPECT_EQ(p.formatVersion(), 3u);
  EXPECT_EQ(p.getVendor(), "old-vendor");
  EXPECT_EQ(p.ovlCode2(), 2u);
  EXPECT_EQ(p.ovlCode5(), 2u);
  EXPECT_TRUE(p.ovlFlag7());
  EXPECT_EQ(p.systemValue(0), 11u);
  EXPECT_EQ(p.systemValue(1), 12u);
  EXPECT_EQ(p.systemValue(2), Platform::kUnset64);
  EXPECT_EQ(p.gblValue(0), 21u);
  EXPECT_EQ(p.gblValue(1), 22u);
  const size_t swcSlots[9] = {2, 3, 4, 14, 5, 6, 7, 8, 15};
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(p.switchValue(swcSlots[i]), d.switches[i] != 0) << i;
  EXPECT_FALSE(p.switchValue(16));
  // .GNL entries, then .VOL (from entry 27).
  std::vector<uint64_t> entries(d.gnl.begin(), d.gnl.end());
  entries.insert(entries.end(), d.vol.begin(), d.vol.end());
  expectGeneralValues(p, {{27, 0, 1}, {1, 1, 15}, {18, 16, 7}, {26, 23, 1}, {28, 24, 3}, {46, 27, 6}, {60, 33, 1}},
                      entries);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(p.cswValue(i), 31 + i);

  const uint32_t types[10] = {12, 17, 26, 7, 0, 2, 1, 24, 25, 23};
  EXPECT_EQ(p.getMemoryAddress(0, 13), Platform::kUnset64);
  const CoreEntry& global = coreOf(p, 0x20000, 0xFFFE);
  EXPECT_EQ(global.addresses.size(), 10u);
  for (size_t i = 0; i < 10; ++i) {
    const auto type = static_cast<int32_t>(types[i]);
    EXPECT_EQ(p.getMemoryAddress(1, type), d.rows[1][i]);
    EXPECT_EQ(p.lookupU64ById(global, type), d.rows[0][i] + d.rows[2][i] + 4 * d.rows[1][i]);
  }
}

TEST(ParserV3, MissingAbsTagReadsTheFirstRowFromAgo) {
  std::vector<uint8_t> bytes = sampleV3().render();
  ASSERT_TRUE(replaceTag(bytes, ".ABS", "_ABS"));
  const DescriptionV3 d = sampleV3();
  Platform p = parse(bytes);
  EXPECT_EQ(p.getMemoryAddress(0, 12), d.rows[1][0]);
  EXPECT_EQ(p.getMemoryAddress(1, 12), d.rows[2][0]);
}

TEST(ParserV3, WrongBoundaryAndMissingTagsFail) {
  DescriptionV3 d = sampleV3();
  d.boundary = 0;
  {
    LogCapture capture;
    Platform p = parse(d.render());
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{kNotRetrieved}));
    EXPECT_EQ(p.cswValue(4), 35u);
    EXPECT_TRUE(p.clusters().empty());
  }
  auto bytes = sampleV3().render();
  ASSERT_TRUE(replaceTag(bytes, ".CSW", "CSW_"));
  LogCapture capture;
  LogCapture where("%s|%!|%v");
  Platform p = parse(bytes);
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"error|Failed to seek section identifier", kNotRetrieved}));
  EXPECT_EQ(where.count("parser_v3.cpp|goOffset|Failed to seek section identifier"), 1u);
  EXPECT_EQ(p.generalValue(60), 506u);
}

TEST(ParserV3, TruncatedAndAbsurdDescriptionsFail) {
  const auto full = sampleV3().render();
  expectTruncationsFail(full, [](size_t) { return false; });

  const size_t sizeAt = 4 + 4 + (4 + 10) + (4 + 11) + (4 + 6) + 20 + 4;
  expectRefusedWithoutClusters({patchU32(full, sizeAt, 0x80000000), patchU32(full, sizeAt, 0x7FFFFFFF)});
}
