// Index tables, copy runs and the creation-time bounds check of IO records.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "reposition/record_util.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

using U = std::vector<uint32_t>;

TEST(IndexTable, CalcHWCPlacesTheDocumentedElements) {
  // Same element count: host HWC element 5 is (y 0, x 1, ch 1) of 2 x 2 x 4.
  const BufferInfo same = bufferInfo(2, 4, 2, 2, 2, 4, 2, 2, 4);
  EXPECT_EQ(calcHWC(same, 4, MemoryFormat::HWC).at(5), 5u);
  EXPECT_EQ(calcHWC(same, 8, MemoryFormat::HWC).at(5), 9u);
  // 15 elements regrouped into 18: (y 0, x 3, ch 2) is host element 11.
  const BufferInfo folded = bufferInfo(1, 5, 3, 1, 3, 6, 1, 3, 8);
  const U t = calcHWC(folded, 8, MemoryFormat::HWC);
  ASSERT_EQ(t.size(), 15u);
  EXPECT_EQ(t[11], 13u);
  // Invalid format: message, no table.
  LogCapture log;
  EXPECT_TRUE(calcHWC(same, 4, static_cast<MemoryFormat>(7)).empty());
  EXPECT_EQ(log.count("Invalid MemoryFormat: 0x7"), 1u);
}

TEST(IndexTable, SmallChannelInputsArePlacedPixelByPixel) {
  const BufferInfo info = bufferInfo(2, 5, 3, 2, 5, 3, 2, 8, 3);
  const U hwc = buildRepositionIndex(info, 4, MemoryFormat::HWC, true);
  const U chw = buildRepositionIndex(info, 4, MemoryFormat::CHW, true);
  ASSERT_EQ(hwc.size(), 30u);
  ASSERT_EQ(chw.size(), 30u);
  for (uint32_t y = 0; y < 2; ++y)
    for (uint32_t x = 0; x < 5; ++x)
      for (uint32_t ch = 0; ch < 3; ++ch) {
        EXPECT_EQ(hwc[(y * 5 + x) * 3 + ch], (y * 8 + x) * 3 + ch);
        EXPECT_EQ(chw[ch * 10 + y * 5 + x], (y * 8 + x) * 3 + ch);
      }
  // Four NPU channels, or an output: the regrouping formulas instead.
  BufferInfo four = info;
  four.channel = 4;
  EXPECT_EQ(buildRepositionIndex(four, 4, MemoryFormat::HWC, true), calcHWC(four, 4, MemoryFormat::HWC));
  EXPECT_EQ(buildRepositionIndex(info, 4, MemoryFormat::HWC, false), calcHWC(info, 4, MemoryFormat::HWC));
}

TEST(IndexTable, ChannelFirstTableIsTheTransposedChannelLastTable) {
  const BufferInfo shapes[] = {
      bufferInfo(2, 4, 2, 2, 2, 4, 2, 2, 4),    // same count, regrouped
      bufferInfo(1, 5, 3, 1, 3, 6, 1, 3, 8),    // folded widths
      bufferInfo(3, 4, 12, 3, 8, 8, 3, 8, 8),   // channels spread over pixels
      bufferInfo(3, 3, 70, 3, 3, 70, 3, 3, 128) // several channel blocks
  };
  for (const BufferInfo& info : shapes) {
    for (bool isInput : {true, false}) {
      const uint32_t g = info.reshaped_channel < info.original_channel ? info.reshaped_channel : 64;
      const U hwc = buildRepositionIndex(info, g, MemoryFormat::HWC, isInput);
      const U chw = buildRepositionIndex(info, g, MemoryFormat::CHW, isInput);
      const uint32_t n = info.original_height * info.original_width, c = info.original_channel;
      ASSERT_EQ(hwc.size(), n * c);
      ASSERT_EQ(chw.size(), n * c);
      for (uint32_t p = 0; p < n; ++p)
        for (uint32_t ch = 0; ch < c; ++ch) ASSERT_EQ(chw[ch * n + p], hwc[p * c + ch]) << p << " " << ch;
    }
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
  const CopyRuns one = packIndexRuns({7}, true);
  EXPECT_EQ(one.lengths, (U{1}));
  EXPECT_EQ(one.dstOffsets, (U{7}));
  // A dense layout collapses into one run.
  const BufferInfo dense = bufferInfo(4, 4, 64, 4, 4, 64, 4, 4, 64);
  EXPECT_EQ(packIndexRuns(calcHWC(dense, 64, MemoryFormat::HWC), true).lengths, (U{1024}));
}

TEST(RecordCheck, AcceptsRecordsWhoseLayoutStaysInside) {
  const struct {
    BufferInfo info;
    uint8_t kind;
    uint32_t g;
  } good[] = {
      {bufferInfo(2, 4, 2, 2, 2, 4, 2, 2, 4), 0, 4},     {bufferInfo(1, 5, 3, 1, 3, 6, 1, 3, 8), 0, 8},
      {bufferInfo(3, 4, 12, 3, 8, 8, 3, 8, 8), 0, 8},    {bufferInfo(2, 5, 3, 2, 5, 3, 2, 8, 3), 0, 4},
      {bufferInfo(3, 3, 70, 3, 3, 70, 3, 3, 128), 0, 64}, {bufferInfo(5, 5, 6, 5, 5, 6, 5, 5, 8), 4, 4},
      {bufferInfo(5, 5, 6, 5, 5, 6, 5, 5, 6), 5, 4},
  };
  for (const auto& r : good)
    for (bool isInput : {true, false})
      EXPECT_EQ(validateIORecord(makeRecord(r.info, r.kind, r.g, isInput), isInput, "x"), StatusCode::OK)
          << int(r.kind) << " " << r.info.original_channel;
}

TEST(RecordCheck, RefusesRecordsThatCouldWriteOutsideOrOverlap) {
  const BufferInfo ok = bufferInfo(2, 4, 8, 2, 4, 8, 2, 4, 8);
  const struct {
    const char* name;
    std::function<IORecord()> make;
    bool isInput;
    const char* why;
  } bad[] = {
      {"kind 2 without runs", [&] { return makeRecord(ok, 2, 8, true); }, true, "has no copy runs"},
      {"kind 9 without runs", [&] { return makeRecord(ok, 9, 8, false); }, false, "has no copy runs"},
      {"run past the NPU slice",
       [&] {
         IORecord r = makeRecord(ok, 1, 8, true);
         r.copyRuns = {CopyRuns{{0}, {8}, {60}}};
         return r;
       },
       true, "leaves the slice"},
      {"run past the host slice",
       [&] {
         IORecord r = makeRecord(ok, 3, 8, false);
         r.copyRuns = {CopyRuns{{0}, {10}, {60}}};
         return r;
       },
       false, "leaves the slice"},
      {"unequal run lists",
       [&] {
         IORecord r = makeRecord(ok, 1, 8, true);
         r.copyRuns = {CopyRuns{{0, 4}, {4}, {0, 4}}};
         return r;
       },
       true, "different lengths"},
      {"channel blocks larger than the buffer",
       [&] { return makeRecord(bufferInfo(2, 4, 9, 2, 4, 9, 2, 4, 9), 4, 8, true); }, true, "channel blocks"},
      {"dense item larger than the buffer", [&] { return makeRecord(bufferInfo(2, 4, 8, 2, 4, 8, 2, 4, 7), 5, 8, false); },
       false, "its buffer"},
      {"reshaped channels not a multiple",
       [&] { return makeRecord(bufferInfo(1, 5, 3, 1, 4, 4, 1, 4, 8), 0, 8, false); }, false, "not a multiple"},
      {"spread over pixels narrower than the granule",
       [&] { return makeRecord(bufferInfo(1, 4, 4, 1, 6, 2, 1, 6, 4), 0, 4, false); }, false, "not the granule"},
      {"folded widths overrunning the granule",
       [&] { return makeRecord(bufferInfo(1, 8, 2, 1, 3, 8, 1, 3, 4), 0, 4, false); }, false, "two host elements"},
      {"pixel wider than the NPU channels",
       [&] { return makeRecord(bufferInfo(1, 4, 3, 1, 4, 3, 1, 5, 2), 0, 4, true); }, true, "two host elements"},
      {"granule 0", [&] { return makeRecord(ok, 4, 0, true); }, true, "granule of 0"},
      {"empty shape", [&] { return makeRecord(bufferInfo(0, 4, 8, 0, 4, 8, 2, 4, 8), 5, 8, true); }, true,
       "empty original shape"},
      {"short per-channel scale list",
       [&] {
         IORecord r = makeRecord(ok, 5, 8, true);
         r.scale = Scale{{1.0f, 2.0f}, 0.0f, false};
         return r;
       },
       true, "per-channel scales"},
  };
  for (const auto& b : bad) {
    LogCapture log;
    EXPECT_EQ(validateIORecord(b.make(), b.isInput, "image"), StatusCode::Model_BrokenZRB) << b.name;
    EXPECT_EQ(log.count("image"), 1u) << b.name << ": " << log.text();
    EXPECT_EQ(log.count(b.why), 1u) << b.name << ": " << log.text();
  }
}

}  // namespace
}  // namespace kestrane::test
