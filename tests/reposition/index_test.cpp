// Index tables, copy runs and the creation-time bounds check of IO records.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "reposition/record_util.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

using U = std::vector<uint32_t>;

TEST(IndexTable, PlacesTheDocumentedElements) {
  // Same element count: host HWC element 5 is (y 0, x 1, ch 1) of 2 x 2 x 4.
  const BufferInfo same = bufferInfo(2, 4, 2, 2, 2, 4, 2, 2, 4);
  EXPECT_EQ(calcHWC(same, 4, MemoryFormat::HWC).at(5), 5u);
  EXPECT_EQ(calcHWC(same, 8, MemoryFormat::HWC).at(5), 9u);
  // 15 elements regrouped into 18: (y 0, x 3, ch 2) is host element 11.
  EXPECT_EQ(calcHWC(bufferInfo(1, 5, 3, 1, 3, 6, 1, 3, 8), 8, MemoryFormat::HWC).at(11), 13u);
  // Three channels into three: pixel by pixel into the NPU width of 8, in
  // both host orders; four NPU channels or an output take calcHWC.
  const BufferInfo small = bufferInfo(2, 5, 3, 2, 5, 3, 2, 8, 3);
  const U hwc = buildRepositionIndex(small, 4, MemoryFormat::HWC, true);
  const U chw = buildRepositionIndex(small, 4, MemoryFormat::CHW, true);
  for (uint32_t p = 0; p < 10; ++p)
    for (uint32_t ch = 0; ch < 3; ++ch) {
      EXPECT_EQ(hwc.at(p * 3 + ch), (p / 5 * 8 + p % 5) * 3 + ch);
      EXPECT_EQ(chw.at(ch * 10 + p), (p / 5 * 8 + p % 5) * 3 + ch);
    }
  BufferInfo four = small;
  four.channel = 4;
  EXPECT_EQ(buildRepositionIndex(four, 4, MemoryFormat::HWC, true), calcHWC(four, 4, MemoryFormat::HWC));
  EXPECT_EQ(buildRepositionIndex(small, 4, MemoryFormat::HWC, false), calcHWC(small, 4, MemoryFormat::HWC));
  LogCapture log;
  EXPECT_TRUE(calcHWC(same, 4, static_cast<MemoryFormat>(7)).empty());
  EXPECT_EQ(log.count("Invalid MemoryFormat: 0x7"), 1u);
}

TEST(IndexTable, ChannelFirstTableIsTheTransposedChannelLastTable) {
  for (const BufferInfo& info : {bufferInfo(2, 4, 2, 2, 2, 4, 2, 2, 4), bufferInfo(1, 5, 3, 1, 3, 6, 1, 3, 8),
                                 bufferInfo(3, 4, 12, 3, 8, 8, 3, 8, 8), bufferInfo(3, 3, 70, 3, 3, 70, 3, 3, 128)}) {
    const uint32_t n = info.original_height * info.original_width, c = info.original_channel;
    const U hwc = buildRepositionIndex(info, 8, MemoryFormat::HWC, false);
    const U chw = buildRepositionIndex(info, 8, MemoryFormat::CHW, false);
    ASSERT_EQ(hwc.size(), n * c);
    ASSERT_EQ(chw.size(), n * c);
    for (uint32_t p = 0; p < n; ++p)
      for (uint32_t ch = 0; ch < c; ++ch) ASSERT_EQ(chw[ch * n + p], hwc[p * c + ch]);
  }
}

TEST(IndexTable, PackIndexRunsFindsMaximalRuns) {
  const CopyRuns in = packIndexRuns({0, 1, 2, 8, 9, 3}, true);
  EXPECT_EQ(in.srcOffsets, (U{0, 3, 5}));
  EXPECT_EQ(in.lengths, (U{3, 2, 1}));
  EXPECT_EQ(in.dstOffsets, (U{0, 8, 3}));
  const CopyRuns out = packIndexRuns({0, 1, 2, 8, 9, 3}, false);
  EXPECT_EQ(out.srcOffsets, (U{0, 8, 3}));
  EXPECT_EQ(out.dstOffsets, (U{0, 3, 5}));
  EXPECT_EQ(packIndexRuns({7}, true).lengths, (U{1}));
  // A dense layout collapses into one run.
  const BufferInfo dense = bufferInfo(4, 4, 64, 4, 4, 64, 4, 4, 64);
  EXPECT_EQ(packIndexRuns(calcHWC(dense, 64, MemoryFormat::HWC), true).lengths, (U{1024}));
}

IORecord withRuns(IORecord r, CopyRuns runs) {
  r.copyRuns = {std::move(runs)};
  return r;
}

TEST(RecordCheck, RefusesRecordsThatCouldWriteOutsideOrOverlap) {
  const BufferInfo ok = bufferInfo(2, 4, 8, 2, 4, 8, 2, 4, 8);
  IORecord shortScales = makeRecord(ok, 5, 8, true);
  shortScales.scale = Scale{{1.0f, 2.0f}, 0.0f, false};
  const struct {
    IORecord rec;
    bool isInput;
    const char* why;
  } bad[] = {
      {makeRecord(ok, 2, 8, true), true, "has no copy runs"},
      {makeRecord(ok, 9, 8, false), false, "has no copy runs"},
      {withRuns(makeRecord(ok, 1, 8, true), {{0}, {8}, {60}}), true, "leaves the slice"},
      {withRuns(makeRecord(ok, 3, 8, false), {{0}, {10}, {60}}), false, "leaves the slice"},
      {withRuns(makeRecord(ok, 1, 8, true), {{0, 4}, {4}, {0, 4}}), true, "different lengths"},
      {makeRecord(bufferInfo(2, 4, 9, 2, 4, 9, 2, 4, 9), 4, 8, true), true, "channel blocks"},
      {makeRecord(bufferInfo(2, 4, 8, 2, 4, 8, 2, 4, 7), 5, 8, false), false, "its buffer"},
      // Pixels 0 and 1 of three channels both fold into reshaped pixel 0.
      {makeRecord(bufferInfo(1, 5, 3, 1, 4, 4, 1, 4, 8), 0, 8, false), false, "two host elements"},
      // Four channels spread over two reshaped pixels of 4 each, four times.
      {makeRecord(bufferInfo(1, 4, 4, 1, 6, 2, 1, 6, 4), 0, 4, false), false, "up to NPU position 27, past its 24"},
      // Rows 0 and 2 meet in the gaps that pixels of two channels leave in
      // granules of 4: only the tables show it.
      {makeRecord(bufferInfo(3, 2, 2, 1, 1, 1, 1, 4, 8), 0, 4, false), false, "two host elements on NPU position 8"},
      // Positions past 32 bits, before any table.
      {makeRecord(bufferInfo(1, 2, 2, 1, 1, 1, 1, 1, 8), 0, 1u << 31, false), false,
       "up to NPU position 4294967297, past its 8"},
      {makeRecord(bufferInfo(1, 8, 2, 1, 3, 8, 1, 3, 4), 0, 4, false), false, "two host elements"},
      {makeRecord(bufferInfo(1, 4, 3, 1, 4, 3, 1, 5, 2), 0, 4, true), true, "two host elements"},
      {makeRecord(ok, 4, 0, true), true, "granule of 0"},
      {makeRecord(bufferInfo(0, 4, 8, 0, 4, 8, 2, 4, 8), 5, 8, true), true, "empty original shape"},
      {shortScales, true, "per-channel scales"},
  };
  for (const auto& b : bad) {
    LogCapture log;
    EXPECT_EQ(validateIORecord(b.rec, b.isInput, "image"), StatusCode::Model_BrokenZRB) << b.why;
    EXPECT_EQ(log.count("image"), 1u) << log.text();
    EXPECT_EQ(log.count(b.why), 1u) << log.text();
  }
}

// Whether a table places each of `host` elements on a position of its own
// inside an NPU slice of `npu` elements.
bool distinctInside(const U& table, uint64_t host, uint64_t npu) {
  if (table.size() != host) return false;
  std::vector<bool> taken(npu);
  for (uint32_t p : table) {
    if (p >= npu || taken[p]) return false;
    taken[p] = true;
  }
  return true;
}

TEST(RecordCheck, LayoutCheckAgreesWithTheBuiltTables) {
  // Over small shapes of every table form the check accepts exactly the
  // shapes whose tables, built without it, keep every host element apart
  // inside the slice; what it refuses from the dimensions alone, before any
  // table is built, is among them.
  std::mt19937 random(36);
  auto dim = [&](uint32_t most) { return 1 + static_cast<uint32_t>(random() % most); };
  const uint32_t granules[] = {1, 2, 3, 4, 8};
  size_t accepted = 0, refused = 0;
  LogCapture log;
  for (int n = 0; n < 20000; ++n) {
    const BufferInfo info = bufferInfo(dim(3), dim(5), dim(6), dim(3), dim(5), dim(12), dim(4), dim(8), dim(12));
    const bool isInput = random() % 2 == 0;
    const IORecord rec = makeRecord(info, 0, granules[random() % 5], isInput);
    const bool early = checkIORecordLayout(rec, isInput, "image") == StatusCode::OK;
    const bool layout = validateIORecord(rec, isInput, "image") == StatusCode::OK;
    const bool tables = distinctInside(rec.indexTables[0], info.original_size(), info.size()) &&
                        distinctInside(rec.indexTables[1], info.original_size(), info.size());
    ASSERT_TRUE(layout == tables && (early || !tables))
        << "early " << early << ", final " << layout << ", tables " << tables << ": " << info.original_height << "x"
        << info.original_width << "x" << info.original_channel << " reshaped " << info.reshaped_height << "x"
        << info.reshaped_width << "x" << info.reshaped_channel << " NPU " << info.height << "x" << info.width << "x"
        << info.channel << " granule " << rec.channelGranule << (isInput ? " input" : " output");
    (layout ? accepted : refused) += 1;
  }
  EXPECT_GT(accepted, 1000u);
  EXPECT_GT(refused, 1000u);
}

TEST(RecordCheck, LayoutCheckNeedsNoTables) {
  // 10^9 elements: channels of 1000 in blocks of 64 reach past the slice.
  IORecord huge;
  huge.info = bufferInfo(1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000);
  huge.channelGranule = 64;
  huge.scale.is_uniform = true;
  LogCapture log;
  EXPECT_EQ(checkIORecordLayout(huge, true, "image"), StatusCode::Model_BrokenZRB);
  EXPECT_EQ(log.count("image (layout kind 0) lays its elements out up to NPU position 1023999975, past its "
                      "1000000000 NPU elements per slice"),
            1u)
      << log.text();
  // With 1024 channels the same claim is a dense layout: only the built
  // tables can be missing, for want of host memory.
  huge.info = bufferInfo(1000, 1000, 1024, 1000, 1000, 1024, 1000, 1000, 1024);
  EXPECT_EQ(checkIORecordLayout(huge, true, "dense"), StatusCode::OK) << log.text();
  EXPECT_EQ(validateIORecord(huge, true, "dense"), StatusCode::BadAlloc);
  EXPECT_EQ(log.count("dense (layout kind 0) has no index table"), 1u) << log.text();
}

}  // namespace
}  // namespace kestrane::test
