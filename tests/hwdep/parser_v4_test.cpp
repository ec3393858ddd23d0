#include <gtest/gtest.h>

#include "description_builder.h"
#include "hwdep/platform.h"
#include "support/log_capture.h"

using namespace kestrane;
using namespace kestrane::hwdep;
using kestrane::test::Bytes;
using kestrane::test::CoreRecord;
using kestrane::test::DescriptionV4;

namespace {

constexpr const char* kNotRetrieved = "error|Hardware information could not be retrieved.";

Platform parse(const std::vector<uint8_t>& bytes) { return Platform(bytes.data(), bytes.size()); }

CoreRecord record(uint32_t kind, uint64_t buffer) {
  CoreRecord r{kind, {}};
  r.addresses[0] = buffer;
  return r;
}

uint64_t bufferOf(const Platform& p, uint32_t cluster, uint32_t core) {
  const ClusterEntry& c = p.getCluster(static_cast<int32_t>(cluster));
  return p.lookupU64ById(p.getCoreEntry(c, core), static_cast<int32_t>(MemoryType::BUFFER));
}

}  // namespace

TEST(ParserV4, CoreIdsFollowRecordKinds) {
  DescriptionV4 d = DescriptionV4::card();
  d.clusters = {{record(0, 10), record(2, 11), record(0, 12)},
                {record(2, 20), record(2, 21), record(1, 22), record(7, 23)}};
  test::LogCapture capture;
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
  test::LogCapture capture;
  Platform p = parse(d.render());
  EXPECT_TRUE(capture.lines().empty()) << capture.text();
  EXPECT_TRUE(p.getClusterIds().empty());
  EXPECT_EQ(p.systemValue(0), 77u);
  EXPECT_EQ(p.systemValue(1), 88u);
  EXPECT_EQ(p.cswValue(4), 1024u);

  // A negative count reads like zero.
  std::vector<uint8_t> bytes = d.render();
  const size_t sys = static_cast<size_t>(std::search(bytes.begin(), bytes.end(), ".SYS", ".SYS" + 4) - bytes.begin());
  bytes[sys + 4] = 0xFF, bytes[sys + 5] = 0xFF, bytes[sys + 6] = 0xFF, bytes[sys + 7] = 0xFF;
  Platform negative = parse(bytes);
  EXPECT_TRUE(negative.getClusterIds().empty());
  EXPECT_EQ(negative.systemValue(0), 77u);
}

TEST(ParserV4, MissingGblTagReadsTheSwitchContent) {
  std::vector<uint8_t> bytes = DescriptionV4::card().render();
  ASSERT_TRUE(test::replaceTag(bytes, ".GBL", "xGBL"));
  Platform p = parse(bytes);
  // The first eight .SWC bytes 1 0 1 1 1 1 1 1 become the two values.
  EXPECT_EQ(p.gblValue(0), 0x01010001u);
  EXPECT_EQ(p.gblValue(1), 0x01010101u);
}

TEST(ParserV4, OverviewCodesOutOfRangeAreSentinels) {
  DescriptionV4 d = DescriptionV4::card();
  d.value2 = 5;
  d.value5 = 0;
  d.value3 = 2;
  Platform p = parse(d.render());
  EXPECT_EQ(p.ovlCode2(), Platform::kUnsetCode);
  EXPECT_EQ(p.ovlCode5(), Platform::kUnsetCode);
  EXPECT_TRUE(p.ovlFlag3());
  d.value2 = 4;
  d.value5 = 4;
  Platform q = parse(d.render());
  EXPECT_EQ(q.ovlCode2(), 4u);
  EXPECT_EQ(q.ovlCode5(), 3u);
  d.value5 = 5;
  EXPECT_EQ(parse(d.render()).ovlCode5(), Platform::kUnsetCode);
}

TEST(ParserV4, ModuleIndexMismatchIsLoggedAndStoredByPosition) {
  DescriptionV4 d = DescriptionV4::card();
  d.modules[4].first = 7;
  test::LogCapture capture;
  Platform p = parse(d.render());
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"error|Module description does not match with the spec!"}));
  EXPECT_EQ(p.modules().at(4).index, 4u);
  EXPECT_TRUE(p.modules().at(4).flags[0]);
  EXPECT_EQ(p.cswValue(4), 1024u);
}

TEST(ParserV4, MissingTagFailsAfterStoringEarlierSections) {
  std::vector<uint8_t> bytes = DescriptionV4::card().render();
  ASSERT_TRUE(test::replaceTag(bytes, ".CSW", "CSW."));
  test::LogCapture capture;
  Platform p = parse(bytes);
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"error|Failed to seek section identifier", kNotRetrieved}));
  EXPECT_EQ(p.getProduct(), "taliss2-v4");
  EXPECT_EQ(p.getClusterIds().size(), 2u);
  EXPECT_EQ(p.generalValue(60), 4096u);
  EXPECT_EQ(p.cswValue(0), 0u);
}

TEST(ParserV4, TruncationAtEveryLengthFailsCleanly) {
  const std::vector<uint8_t> full = DescriptionV4::card().render();
  const size_t trailer = DescriptionV4::card().trailer.size();
  for (size_t length = 0; length < full.size(); ++length) {
    // An exact-size copy so that the sanitizers catch any read past the end.
    const std::vector<uint8_t> bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
    test::LogCapture capture;
    Platform p(bytes.data(), bytes.size());
    if (length >= full.size() - trailer) {
      EXPECT_TRUE(capture.lines().empty()) << length;
      EXPECT_EQ(p.cswValue(4), 1024u);
    } else {
      const auto lines = capture.lines();
      ASSERT_EQ(lines.size(), 2u) << length << "\n" << capture.text();
      EXPECT_EQ(lines[1], kNotRetrieved);
      EXPECT_NE(p.cswValue(4), 1024u);
    }
  }
}

TEST(ParserV4, AbsurdCountsFailWithoutStoringClusters) {
  const std::vector<uint8_t> card = DescriptionV4::card().render();
  const size_t sys = static_cast<size_t>(std::search(card.begin(), card.end(), ".SYS", ".SYS" + 4) - card.begin()) + 4;
  auto patch = [&](size_t at, uint32_t value) {
    std::vector<uint8_t> bytes = card;
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
  };
  const std::vector<std::vector<uint8_t>> crafted = {
      patch(sys, 0x7FFFFFFF),      // cluster count
      patch(sys + 4, 0xFFFFFFFF),  // record count of cluster 0
      patch(sys + 8, 0x10000000),  // record count of cluster 1
      patch(9, 0xFFFFFFFF),        // vendor string length
      patch(9, 0xFFFFFFF0),
  };
  for (const auto& bytes : crafted) {
    test::LogCapture capture;
    Platform p(bytes.data(), bytes.size());
    EXPECT_EQ(capture.count("error|"), 2u) << capture.text();
    EXPECT_EQ(capture.count("Hardware information could not be retrieved."), 1u);
    EXPECT_TRUE(p.getClusterIds().empty());
  }
}
