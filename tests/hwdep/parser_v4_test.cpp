#include <gtest/gtest.h>

#include "descriptions.h"
#include "support/log_capture.h"

using namespace kestrane;
using namespace kestrane::hwdep;
using namespace kestrane::test;

namespace {

CoreRecord record(uint32_t kind, uint64_t buffer) {
  CoreRecord r{kind, {}};
  r.addresses[0] = buffer;
  return r;
}

uint64_t bufferOf(const Platform& p, uint32_t cluster, uint32_t core) {
  return p.lookupU64ById(coreOf(p, cluster, core), static_cast<int32_t>(MemoryType::BUFFER));
}

}  // namespace

TEST(ParserV4, CoreIdsFollowRecordKinds) {
  DescriptionV4 d = DescriptionV4::card();
  d.clusters = {{record(0, 10), record(2, 11), record(0, 12)},
                {record(2, 20), record(2, 21), record(1, 22), record(7, 23)}};
  LogCapture capture;
  Platform p = parse(d.render());
  EXPECT_TRUE(capture.lines().empty()) << capture.text();
  ASSERT_EQ(p.getClusterIds(), (std::vector<uint32_t>{0x10000, 0x20000}));
  EXPECT_EQ(p.getCoreIdsOfCluster(p.getCluster(0x10000)), (std::vector<uint32_t>{1, 2, 0xFFFE}));
  EXPECT_EQ(bufferOf(p, 0x10000, 1), 10u);
  EXPECT_EQ(bufferOf(p, 0x10000, 0xFFFE), 11u);
  EXPECT_EQ(bufferOf(p, 0x10000, 2), 12u);
  // The second global-core record replaces the first; the kind-1 record is
  // kept under 0xFFFD but lookups of 0xFFFD reach the global core.
  const ClusterEntry& second = p.getCluster(0x20000);
  EXPECT_EQ(p.getCoreIdsOfCluster(second), (std::vector<uint32_t>{0xFFFD, 0xFFFE, 0xFFFF}));
  EXPECT_EQ(second.cores.at(0xFFFD).addresses.at(12), 22u);
  EXPECT_EQ(bufferOf(p, 0x20000, 0xFFFE), 21u);
  EXPECT_EQ(bufferOf(p, 0x20000, 0xFFFD), 21u);
  EXPECT_EQ(bufferOf(p, 0x20000, 0xFFFF), 23u);
}

TEST(ParserV4, NoClustersTakesClosingValuesAfterTheCount) {
  DescriptionV4 d = DescriptionV4::card();
  d.clusters.clear();
  d.closing0 = 77;
  d.closing1 = 88;
  LogCapture capture;
  Platform p = parse(d.render());
  EXPECT_TRUE(capture.lines().empty()) << capture.text();
  EXPECT_TRUE(p.getClusterIds().empty());
  EXPECT_EQ(p.systemValue(0), 77u);
  EXPECT_EQ(p.systemValue(1), 88u);
  EXPECT_EQ(p.cswValue(4), 1024u);

  // A negative count reads like zero.
  const std::vector<uint8_t> bytes = d.render();
  Platform negative = parse(patchU32(bytes, findTag(bytes, ".SYS") + 4, 0xFFFFFFFF));
  EXPECT_TRUE(negative.getClusterIds().empty());
  EXPECT_EQ(negative.systemValue(0), 77u);
}

TEST(ParserV4, MissingGblTagReadsTheSwitchContent) {
  std::vector<uint8_t> bytes = DescriptionV4::card().render();
  ASSERT_TRUE(replaceTag(bytes, ".GBL", "xGBL"));
  Platform p = parse(bytes);
  // The first eight .SWC bytes 1 0 1 1 1 1 1 1 become the two values.
  EXPECT_EQ(p.gblValue(0), 0x01010001u);
  EXPECT_EQ(p.gblValue(1), 0x01010101u);
}

TEST(ParserV4, OverviewCodesOutOfRangeAreSentinels) {
  constexpr uint32_t kUnset = Platform::kUnsetCode;
  // {value2, value5, code2, code5}; value 3 is a flag whatever its value.
  const uint32_t cases[][4] = {{5, 0, kUnset, kUnset}, {4, 4, 4, 3}, {4, 5, 4, kUnset}};
  DescriptionV4 d = DescriptionV4::card();
  d.overview.value3 = 2;
  for (const auto& [value2, value5, code2, code5] : cases) {
    d.overview.value2 = static_cast<uint8_t>(value2);
    d.overview.value5 = value5;
    const Platform p = parse(d.render());
    EXPECT_EQ(p.ovlCode2(), code2) << value2;
    EXPECT_EQ(p.ovlCode5(), code5) << value5;
    EXPECT_TRUE(p.ovlFlag3());
  }
}

TEST(ParserV4, ModuleIndexMismatchIsLoggedAndStoredByPosition) {
  DescriptionV4 d = DescriptionV4::card();
  d.modules[4].first = 7;
  LogCapture capture;
  Platform p = parse(d.render());
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"error|Module description does not match with the spec!"}));
  EXPECT_EQ(p.modules().at(4).index, 4u);
  EXPECT_TRUE(p.modules().at(4).flags[0]);
  EXPECT_EQ(p.cswValue(4), 1024u);
}

TEST(ParserV4, MissingTagFailsAfterStoringEarlierSections) {
  std::vector<uint8_t> bytes = DescriptionV4::card().render();
  ASSERT_TRUE(replaceTag(bytes, ".CSW", "CSW."));
  LogCapture capture;
  LogCapture where("%s|%!|%v");
  Platform p = parse(bytes);
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"error|Failed to seek section identifier", kNotRetrieved}));
  // The line names the parser's seek, not a shared helper.
  EXPECT_EQ(where.count("parser_v4.cpp|goOffset|Failed to seek section identifier"), 1u);
  EXPECT_EQ(p.getProduct(), "taliss2-v4");
  EXPECT_EQ(p.getClusterIds().size(), 2u);
  EXPECT_EQ(p.generalValue(60), 4096u);
  EXPECT_EQ(p.cswValue(0), 0u);
}

TEST(ParserV4, TruncatedAndAbsurdDescriptionsFail) {
  // Earlier sections stay stored when a later one is cut; the trailer is
  // not read.
  const std::vector<uint8_t> card = DescriptionV4::card().render();
  const size_t trailer = DescriptionV4::card().trailer.size();
  expectTruncationsFail(card, [&](size_t length) { return length >= card.size() - trailer; }, false);

  const size_t sys = findTag(card, ".SYS") + 4;
  expectRefusedWithoutClusters({
      patchU32(card, sys, 0x7FFFFFFF),      // cluster count
      patchU32(card, sys + 4, 0xFFFFFFFF),  // record count of cluster 0
      patchU32(card, sys + 8, 0x10000000),  // record count of cluster 1
      patchU32(card, 9, 0xFFFFFFFF),        // vendor string length
      patchU32(card, 9, 0xFFFFFFF0),
  });
}
