// NPU operations built from bundles in memory: sequence lengths, scales, the
// default cache area, IO plans and output tensors.

#include <gtest/gtest.h>

#include "bundle_builders.h"
#include "model/npu_op_desc.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

using Shapes = std::vector<std::vector<int64_t>>;

SeqLenInfo acquire(const NPUOpDesc& op, const Shapes& shapes, int32_t cache, StatusCode expected,
                   MemoryFormat format = MemoryFormat::HWC) {
  StatusCode status = StatusCode::InternalError;
  SeqLenInfo info = op.acquireSeqLenInfo(shapes, format, cache, status);
  EXPECT_EQ(status, expected) << statusCodeName(status);
  return info;
}

TEST(SequenceLengthTest, WithoutLengthsGivesPlainRatios) {
  zrb::Bundle b = bundleOf({io<zrb::Input>(2, 3, 4), io<zrb::Input>(1, 1, 8)}, {io<zrb::Output>(1, 1, 4)});
  b.rmem_ids = {rmem(13, 0)};
  const Built built = build(b);
  ASSERT_EQ(built.status, StatusCode::OK);
  const BufferInfo& info = built.op->inputs()[0].info;
  EXPECT_EQ(info.max_height + info.max_width + info.max_channel + info.max_cache_size, 0u);

  SeqLenInfo hwc = acquire(*built.op, {{2, 3, 4}, {5, 1, 1, 8}}, 0, StatusCode::OK);
  EXPECT_EQ(hwc.inputSeqlens, (std::vector<SeqLensHWC>{{1, 1, 1}, {1, 1, 1}}));
  EXPECT_EQ(hwc.outputSeqlens, (std::vector<SeqLensHWC>{{1, 1, 1}}));
  EXPECT_EQ(hwc.rmemValues, (std::vector<uint32_t>{0}));
  SeqLenInfo chw = acquire(*built.op, {{4, 2, 3}, {8, 1, 1}}, 0, StatusCode::OK, MemoryFormat::CHW);
  EXPECT_EQ(chw.inputSeqlens, hwc.inputSeqlens);
  EXPECT_EQ(chw.format, MemoryFormat::CHW);

  LogCapture log;
  // Without sequence lengths the areas hold one item of the original shape:
  // a multiple of it would spill out of them.
  acquire(*built.op, {{4, 9, 8}, {5, 1, 1, 16}}, 0, StatusCode::Model_ShapeMismatched);
  EXPECT_EQ(log.count("Sequence length of inputs[0] exceeds maximum value (2 > 1)"), 1u) << log.text();
  acquire(*built.op, {{4, 9, 8}}, 0, StatusCode::Model_ShapeMismatched);
  acquire(*built.op, {{4, 9}, {1, 1, 16}}, 0, StatusCode::Model_ShapeMismatched);
}

// Input 0 of height h; length 0 reads it with slope 2 and offset 1, drives
// the width of output 0 and four RmemIds.
zrb::Bundle typeZeroBundle(uint8_t axisType = 0) {
  zrb::Bundle b = bundleOf({io<zrb::Input>(1, 1, 4, {0, -1, -1})}, {io<zrb::Output>(1, 1, 4, {-1, 0, -1})});
  zrb::SequenceLength s = length(0, 8, {{0, {axis(0, 2, 1, axisType)}}}, {{0, {axis(1, 0.5f, 0.5f)}}});
  s.flag_bit8 = true;
  s.further_words = {200, 0, 0};
  s.sequence_rmem_ids = zrb::RmemIdList({0});
  s.cache_rmem_ids = zrb::RmemIdList({1, 2, 3});
  b.sequence_lengths = {s};
  b.rmem_ids = {rmem(1, 0, 3, 0.5f), rmem(2, 1), rmem(11, 2), rmem(5, 3, 2, 1)};
  return b;
}

TEST(SequenceLengthTest, TypeZeroLengthDrivesOutputsAndRmemValues) {
  const Built built = build(typeZeroBundle());
  ASSERT_EQ(built.status, StatusCode::OK);
  EXPECT_EQ(built.op->inputs()[0].info.max_height, 8u);
  EXPECT_EQ(built.op->inputs()[0].info.max_cache_size, 200u);
  EXPECT_EQ(built.op->outputs()[0].info.max_width, 8u);
  EXPECT_EQ(built.op->maxCacheSize(), 200u);

  // h = 7: L = round((7 - 1) / 2) = 3.
  SeqLenInfo info = acquire(*built.op, {{7, 1, 4}}, 130, StatusCode::OK);
  EXPECT_EQ(info.inputSeqlens[0], (SeqLensHWC{7, 1, 1}));
  EXPECT_EQ(info.outputSeqlens[0], (SeqLensHWC{1, 2, 1}));  // round(3 * 0.5 + 0.5)
  // round(3 * 3 + 0.5) rounds the half away from zero; the cache value is
  // 3 + 130; type 11 takes off the cache size rounded down to the granule
  // (131 / 64 * 64 = 128); type 5 is 3 * 2 + 1 + 130.
  EXPECT_EQ(info.rmemValues, (std::vector<uint32_t>{10, 133, 5, 137}));
}

TEST(SequenceLengthTest, CacheDependentAxisSubtractsTheCacheSize) {
  const Built built = build(typeZeroBundle(1));
  ASSERT_EQ(built.status, StatusCode::OK);
  // L = round((7 - 1) / 2) - 2 = 1; the output axis does not depend on the
  // cache: round(1 * 0.5 + 0.5) = 1.
  SeqLenInfo info = acquire(*built.op, {{7, 1, 4}}, 2, StatusCode::OK);
  EXPECT_EQ(info.outputSeqlens[0][1], 1u);
  EXPECT_EQ(info.rmemValues[0], 4u);  // round(1 * 3 + 0.5)
  EXPECT_EQ(info.rmemValues[1], 3u);  // 1 + 2
}

TEST(SequenceLengthTest, RequestsOffTheRulesAreRefused) {
  zrb::Bundle b = bundleOf({io<zrb::Input>(1, 1, 4, {0, -1, -1}), io<zrb::Input>(1, 1, 4, {0, -1, -1})},
                           {io<zrb::Output>(1, 1, 4)});
  zrb::SequenceLength s = length(0, 8, {{0, {axis(0)}}, {1, {axis(0, 2)}}});
  s.flag_bit8 = true;
  s.further_words = {10, 0, 0};
  s.cache_rmem_ids = zrb::RmemIdList({0});
  b.sequence_lengths = {s};
  b.rmem_ids = {rmem(2, 0)};
  const Built built = build(b);
  ASSERT_EQ(built.status, StatusCode::OK);

  acquire(*built.op, {{3, 1, 4}, {5, 1, 4}}, 0, StatusCode::OK);  // round(5 / 2) = 3
  LogCapture log;
  acquire(*built.op, {{9, 1, 4}, {18, 1, 4}}, 0, StatusCode::Model_ShapeMismatched);
  EXPECT_EQ(log.count("Sequence length of inputs[0] exceeds maximum value (9 > 8)"), 1u);
  acquire(*built.op, {{3, 1, 4}, {8, 1, 4}}, 0, StatusCode::Model_ShapeMismatched);
  EXPECT_EQ(log.count("Sequence length of inputs[1] violates the dependency (3*2+0 != 8)"), 1u);
  acquire(*built.op, {{3, 1, 4}, {6, 1, 4}}, 8, StatusCode::Model_CacheOverflow);
  EXPECT_EQ(log.count("Sum of sequence length and cache size exceeds max cache size (11 > 10)"), 1u);
  acquire(*built.op, {{3, 1, 4}, {6, 1, 4}}, 7, StatusCode::OK);
}

TEST(SequenceLengthTest, FixedAndProductLengths) {
  // Length 0 is fixed at 6 and names the channels of input 0; length 1
  // multiplies the width ratio (length 2, at most 8) by it.
  zrb::Bundle b = bundleOf({io<zrb::Input>(1, 2, 1, {-1, 2, 0})}, {io<zrb::Output>(1, 1, 1)});
  zrb::SequenceLength fixed = length(1, 6, {{0, {axis(2)}}});
  fixed.sequence_rmem_ids = zrb::RmemIdList({1});
  zrb::SequenceLength product = length(2, 64, {{0, {axis(1), axis(2)}}});
  product.sequence_rmem_ids = zrb::RmemIdList({0});
  b.sequence_lengths = {fixed, product, length(0, 8, {{0, {axis(1)}}})};
  b.rmem_ids = {rmem(1, 0), rmem(1, 1)};
  const Built built = build(b);
  ASSERT_EQ(built.status, StatusCode::OK);
  const SeqLenInfo info = acquire(*built.op, {{1, 10, 3}}, 0, StatusCode::OK);
  EXPECT_EQ(info.rmemValues, (std::vector<uint32_t>{30, 6}));
  // Each axis stays within what the device area was sized for: the width
  // within length 2's maximum, the channels within the fixed length.
  LogCapture log;
  acquire(*built.op, {{1, 18, 3}}, 0, StatusCode::Model_ShapeMismatched);
  acquire(*built.op, {{1, 10, 7}}, 0, StatusCode::Model_ShapeMismatched);
  EXPECT_EQ(log.count("Sequence length of inputs[0] exceeds maximum value (9 > 8)"), 1u) << log.text();
  EXPECT_EQ(log.count("Sequence length of inputs[0] exceeds maximum value (7 > 6)"), 1u) << log.text();
}

// Many lengths holding one shared pair of lists, as format 4 derives them,
// against the same file with a copy of the lists per length.
TEST(SequenceLengthTest, SharedListsGiveTheValuesAndRefusalsOfCopies) {
  auto make = [](bool shared) {
    std::vector<zrb::Input> inputs;
    for (int i = 0; i < 3; ++i) inputs.push_back(io<zrb::Input>(1, 1, 4, {i, -1, -1}));
    zrb::Bundle b = bundleOf(inputs, {io<zrb::Output>(1, 1, 4)});
    const zrb::RmemIdList sequenceIds({0}), cacheIds({1, 2});
    for (int i = 0; i < 3; ++i) {
      zrb::SequenceLength s = length(0, 8, {{i, {axis(0)}}});
      s.flag_bit8 = true;
      s.further_words = {i == 0 ? 5u : 100u, 0, 0};
      s.sequence_rmem_ids = shared ? sequenceIds : zrb::RmemIdList({0});
      s.cache_rmem_ids = shared ? cacheIds : zrb::RmemIdList({1, 2});
      b.sequence_lengths.push_back(s);
    }
    b.rmem_ids = {rmem(1, 0), rmem(2, 1), rmem(2, 2, 2, 0)};
    return b;
  };
  const zrb::Bundle sharedBundle = make(true), copiedBundle = make(false);
  ASSERT_TRUE(sharedBundle.sequence_lengths[0].cache_rmem_ids.sharesWith(sharedBundle.sequence_lengths[2].cache_rmem_ids));
  const Built shared = build(sharedBundle), copied = build(copiedBundle);
  ASSERT_EQ(shared.status, StatusCode::OK);
  ASSERT_EQ(copied.status, StatusCode::OK);
  for (const Shapes& shapes : {Shapes{{1, 1, 4}, {2, 1, 4}, {1, 1, 4}}, Shapes{{1, 1, 4}, {7, 1, 4}, {3, 1, 4}}}) {
    const SeqLenInfo a = acquire(*shared.op, shapes, 2, StatusCode::OK);
    const SeqLenInfo b = acquire(*copied.op, shapes, 2, StatusCode::OK);
    EXPECT_EQ(a.rmemValues, b.rmemValues);
    EXPECT_EQ(a.rmemValues[0], static_cast<uint32_t>(shapes[2][0]));
  }
  // Length 0 (4 + 2 > 5) writes nothing to the shared list but still refuses.
  LogCapture log;
  acquire(*shared.op, {{4, 1, 4}, {1, 1, 4}, {1, 1, 4}}, 2, StatusCode::Model_CacheOverflow);
  acquire(*copied.op, {{4, 1, 4}, {1, 1, 4}, {1, 1, 4}}, 2, StatusCode::Model_CacheOverflow);
  EXPECT_EQ(log.count("Sum of sequence length and cache size exceeds max cache size (6 > 5)"), 2u);
  // The doubled entry of the list overflows first: 2 * 3 + 2 > 5.
  acquire(*shared.op, {{3, 1, 4}, {1, 1, 4}, {1, 1, 4}}, 2, StatusCode::Model_CacheOverflow);
  EXPECT_EQ(log.count("(8 > 5)"), 1u);
}

// Lengths far beyond 64 bits, from a tiny slope on a cache-dependent axis or
// a product of large fixed lengths, keep their sign: RmemId 0 reads them at
// a slope of 1e-18.
TEST(SequenceLengthTest, LengthsBeyondSixtyFourBitsKeepTheirSign) {
  struct Case {
    const char* name;
    zrb::Bundle bundle;
    int32_t cache;
    bool negative;
  };
  zrb::Bundle tiny = bundleOf({io<zrb::Input>(1, 1, 4, {0, -1, -1})}, {io<zrb::Output>(1, 1, 4)});
  tiny.sequence_lengths = {length(0, 8, {{0, {axis(0, -1e-30f, 0, 1)}}})};
  tiny.sequence_lengths[0].sequence_rmem_ids = zrb::RmemIdList({0});
  tiny.rmem_ids = {rmem(1, 0, 1e-18f)};
  // 2^21 cubed is 2^63.
  zrb::Bundle product = bundleOf({io<zrb::Input>(1, 1, 4, {0, -1, -1})}, {io<zrb::Output>(1, 1, 4)});
  product.sequence_lengths = {length(1, 1 << 21, {{0, {axis(0)}}}),
                              length(2, 8, {{0, {axis(0), axis(0), axis(0)}}})};
  product.sequence_lengths[1].sequence_rmem_ids = zrb::RmemIdList({0});
  product.rmem_ids = {rmem(1, 0, 1e-18f)};
  const Case cases[] = {{"tiny slope less the cache", tiny, 5, true}, {"product of fixed lengths", product, 0, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Built built = build(c.bundle);
    ASSERT_EQ(built.status, StatusCode::OK);
    const SeqLenInfo info = acquire(*built.op, {{3, 1, 4}}, c.cache, StatusCode::OK);
    ASSERT_EQ(info.rmemValues.size(), 1u);
    EXPECT_EQ(static_cast<int32_t>(info.rmemValues[0]) < 0, c.negative) << static_cast<int32_t>(info.rmemValues[0]);
  }
}

TEST(ScaleTest, InputsAreInvertedAndListsKept) {
  StatusCode status = StatusCode::InternalError;
  Scale in = readScale({0.5f}, false, true, status);
  EXPECT_EQ(status, StatusCode::OK);
  EXPECT_TRUE(in.is_uniform);
  EXPECT_EQ(in.scale, 2.0f);
  EXPECT_TRUE(in.scale_list.empty());
  EXPECT_EQ(readScale({0.5f}, false, false, status).scale, 0.5f);
  Scale perChannel = readScale({0.5f, 0.25f}, true, false, status);
  EXPECT_FALSE(perChannel.is_uniform);
  EXPECT_EQ(perChannel.scale, 0.0f);
  EXPECT_EQ(perChannel.scale_list, (std::vector<float>{0.5f, 0.25f}));

  LogCapture log;
  Scale bad = readScale({1.0f, 2.0f}, false, true, status);
  EXPECT_EQ(status, StatusCode::Model_InvalidScaleValue);
  EXPECT_FALSE(bad.is_uniform);
  EXPECT_EQ(log.count("Input Property implies uniform scale, but the real data has more than one element."), 1u);
}

TEST(DefaultCacheTest, LiesBetweenInputsAndOutputsOnEveryCore) {
  zrb::Input in = io<zrb::Input>(1, 1, 16, {0, -1, -1});
  zrb::Output out = io<zrb::Output>(1, 1, 16, {0, -1, -1});
  in.designations = {des(0x10001, kDdr0 + 0x1000, true), des(0x10002, kDdr1 + 0x1000, true)};
  out.designations = {des(0x10001, kDdr0 + 0x2000, true), des(0x10002, kDdr1 + 0x2000, true)};
  zrb::Bundle b = bundleOf({in}, {out});
  b.cores = {core(0x10001), core(0x10002)};
  zrb::SequenceLength s = length(0, 8, {{0, {axis(0)}}}, {{0, {axis(0)}}});
  s.flag_bit8 = true;
  b.sequence_lengths = {s};
  const Built built = build(b);
  ASSERT_EQ(built.status, StatusCode::OK);
  ASSERT_EQ(built.op->cacheDesignations().size(), 1u);
  const zrb::CacheDesignation& cache = built.op->cacheDesignations()[0];
  EXPECT_EQ(cache.name, "cache_0");
  EXPECT_EQ(cache.cache_type, static_cast<uint8_t>(CacheType::Default));
  EXPECT_EQ(cache.size, 0x1000u - 8 * 16);  // the input holds 8 slices of 16 bytes
  ASSERT_EQ(cache.entries.size(), 1u);
  EXPECT_EQ(cache.entries[0].value, 0u);
  ASSERT_EQ(cache.entries[0].designations.size(), 2u);
  const zrb::Designation& d = cache.entries[0].designations[1];
  EXPECT_EQ(d.address, kDdr1 + 0x1000 + 8 * 16);
  EXPECT_TRUE(d.flag);
  EXPECT_EQ(d.core_id, CoreId{});
  EXPECT_EQ(d.mode, 15u);
  EXPECT_EQ(d.memory_type, 15u);
  EXPECT_EQ(d.core_config.core_id, id(0x10002));
}

TEST(RepeatedCoreEntryTest, MeansNoMoreThanTheFirst) {
  // Core 0x10001 is given three times: its RMEM list holds each RmemId once,
  // at the position whose value a request computes, and the default cache
  // is placed once on it.
  zrb::Input in = io<zrb::Input>(1, 1, 16, {0, -1, -1});
  zrb::Output out = io<zrb::Output>(1, 1, 16, {0, -1, -1});
  in.designations = {des(0x10001, kDdr0 + 0x1000, true), des(0x10002, kDdr1 + 0x1000, true)};
  out.designations = {des(0x10001, kDdr0 + 0x2000, true), des(0x10002, kDdr1 + 0x2000, true)};
  zrb::Bundle b = bundleOf({in}, {out});
  b.cores = {core(0x10001), core(0x10002), core(0x10001), core(0x10001)};
  b.rmem_ids = {rmem(1, 0), rmem(13, 7), rmem(2, 3)};
  zrb::SequenceLength s = length(0, 8, {{0, {axis(0)}}}, {{0, {axis(0)}}});
  s.flag_bit8 = true;
  b.sequence_lengths = {s};
  const Built built = build(b);
  ASSERT_EQ(built.status, StatusCode::OK);
  for (uint32_t key : {0x10001u, 0x10002u}) {
    const uint64_t rmemBase = key == 0x10001u ? 0x100c00000u : 0x101c00000u;
    const auto& entries = built.op->rmemEntries().at(id(key));
    ASSERT_EQ(entries.size(), 3u) << std::hex << key;
    const uint8_t types[] = {1, 13, 2};
    const uint64_t words[] = {0, 7, 3};
    for (size_t k = 0; k < 3; ++k) {
      EXPECT_EQ(entries[k].type, types[k]);
      EXPECT_EQ(entries[k].address, rmemBase + 4 * words[k]);
    }
  }
  ASSERT_EQ(built.op->cacheDesignations().size(), 1u);
  const auto& placed = built.op->cacheDesignations()[0].entries.at(0).designations;
  ASSERT_EQ(placed.size(), 2u);
  EXPECT_EQ(placed[0].core_config.core_id, id(0x10001));
  EXPECT_EQ(placed[1].core_config.core_id, id(0x10002));
}

TEST(IoPlanTest, AddressesByCoreMode) {
  zrb::Input in = io<zrb::Input>(1, 1, 4);
  in.designations = {des(0x10001, 0x1000), des(0x10002, kDdr1 + 0x1800, true), des(0x1FFFE, 0x3000)};
  zrb::Output out = io<zrb::Output>(1, 1, 4);
  out.designations = {des(0x10001, 0x2000), des(0x10002, 0x2000), des(0x1FFFE, 0x4000)};
  zrb::Bundle b = bundleOf({in}, {out});
  b.cores = {core(0x10001), core(0x10002), core(0x1FFFE)};
  const Built built = build(b);
  ASSERT_EQ(built.status, StatusCode::OK);

  const IoPlan single = built.op->buildIoPlan(CoreMode::Single, {id(0x10002), id(0x10001)}, {}, id(0x10002));
  EXPECT_EQ(single.inputs, (std::vector<std::vector<uint64_t>>{{kDdr1 + 0x1800, kDdr0 + 0x1000}}));
  EXPECT_EQ(single.outputs, (std::vector<std::vector<uint64_t>>{{kDdr1 + 0x2000, kDdr0 + 0x2000}}));
  EXPECT_EQ(single.statusRegisters, (std::vector<uint64_t>{0x10300100, 0x10300000}));
  EXPECT_EQ(single.controlRegisters, (std::vector<uint64_t>{0x10300108, 0x10300008}));

  const std::vector<CoreId> modelCores = {id(0x10001), id(0x10002), id(0x1FFFE), id(0x20001)};
  const IoPlan multi = built.op->buildIoPlan(CoreMode::Multi, {id(0x1FFFE)}, modelCores, id(0x1FFFE));
  EXPECT_EQ(multi.inputs, (std::vector<std::vector<uint64_t>>{{kDdr0 + 0x1000, kDdr1 + 0x1800}}));
  const IoPlan global = built.op->buildIoPlan(CoreMode::Global4, {id(0x1FFFE)}, modelCores, id(0x1FFFE));
  EXPECT_EQ(global.inputs, (std::vector<std::vector<uint64_t>>{{kDdr0 + 0x3000}}));

  LogCapture log;
  EXPECT_TRUE(built.op->buildIoPlan(CoreMode::Single, {id(0x10003)}, {}, id(0x10003)).inputs.empty());
  EXPECT_EQ(log.count("Core 0x10003 is not a core of the NPU operation."), 1u);
}

TEST(NpuOpDescTest, RmemEntriesAndOutputTensors) {
  zrb::Bundle b = bundleOf({io<zrb::Input>(1, 1, 4)}, {io<zrb::Output>(2, 3, 4), io<zrb::Output>(1, 5, 1)});
  b.cores = {core(0x10001), core(0x20002)};
  b.rmem_ids = {rmem(1, 0), rmem(13, 7)};
  const Built built = build(b);
  ASSERT_EQ(built.status, StatusCode::OK);
  const auto& entries = built.op->rmemEntries().at(id(0x20002));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].type, 13);
  EXPECT_EQ(entries[1].address, 0x111c00000u + 4 * 7);  // RMEM of Cluster1 Core1

  auto shapes = [](const std::vector<halvex::Tensor>& tensors) {
    std::vector<std::vector<int64_t>> out;
    for (const auto& t : tensors) out.push_back(t.shape());
    return out;
  };
  EXPECT_EQ(shapes(built.op->makeOutputTensors(3, halvex::DType::Float32, MemoryFormat::HWC)),
            (std::vector<std::vector<int64_t>>{{3, 2, 3, 4}, {3, 1, 5, 1}}));
  const auto chw = built.op->makeOutputTensors(2, {{2, 1, 3}, {1, 1, 1}}, halvex::DType::Int8, MemoryFormat::CHW);
  EXPECT_EQ(shapes(chw), (std::vector<std::vector<int64_t>>{{2, 12, 4, 3}, {2, 1, 1, 5}}));
  EXPECT_EQ(chw[0].dtype(), halvex::DType::Int8);
}

}  // namespace
}  // namespace kestrane::test
