// Reposition of whole items against an element-by-element model of the NPU
// layout, for every layout kind, element type and host order.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dataplane/transpose.h"
#include "reposition/record_util.h"

namespace kestrane::test {
namespace {

using U = std::vector<uint32_t>;
constexpr uint8_t kGarbage = 0xAB;

struct Case {
  std::string name;
  IORecord rec;  // input record; the output record mirrors its runs
  SeqLensHWC seq;
};

IORecord withRuns(IORecord rec, CopyRuns runs) {
  rec.copyRuns = {std::move(runs)};
  return rec;
}

std::vector<Case> cases() {
  std::vector<Case> out;
  auto add = [&](std::string name, IORecord rec, SeqLensHWC seq = {}) {
    EXPECT_EQ(validateIORecord(rec, true, name), StatusCode::OK) << name;
    out.push_back({std::move(name), std::move(rec), std::move(seq)});
  };
  const BufferInfo dense = bufferInfo(4, 5, 16, 4, 5, 16, 4, 5, 16);
  const BufferInfo pad = bufferInfo(6, 7, 3, 6, 7, 3, 6, 7, 4);
  const BufferInfo folded = bufferInfo(1, 5, 3, 1, 3, 6, 1, 3, 8);
  const BufferInfo spread = bufferInfo(3, 4, 12, 3, 8, 8, 3, 8, 8);
  const BufferInfo blocks = bufferInfo(3, 3, 70, 3, 3, 70, 3, 3, 128);
  add("dense", makeRecord(dense, 0, 16, true));
  add("dense sequence", makeRecord(dense, 0, 16, true), {2, 1, 1});
  add("3 to 4 channels", makeRecord(pad, 0, 4, true));
  add("3 to 4 channels, sequence", makeRecord(pad, 0, 4, true), {1, 2, 1});
  add("small channels", makeRecord(bufferInfo(2, 5, 3, 2, 5, 3, 2, 8, 3), 0, 4, true));
  add("one NPU channel", makeRecord(bufferInfo(2, 3, 1, 2, 3, 1, 2, 4, 1), 0, 4, true));
  add("folded widths", makeRecord(folded, 0, 8, true));
  add("spread channels", makeRecord(spread, 0, 8, true));
  add("two channel blocks", makeRecord(blocks, 0, 64, true));
  const IORecord foldedRuns = makeRecord(folded, 0, 8, true);
  add("file runs", withRuns(makeRecord(folded, 1, 8, true), foldedRuns.copyRuns[0]));
  const IORecord blockRuns = makeRecord(blocks, 0, 64, true);
  // Pixels of 3 channels in reverse order with a gap each: unordered runs
  // whose destinations leave holes.
  const BufferInfo rev = bufferInfo(1, 4, 3, 1, 3, 6, 1, 4, 4);
  const CopyRuns reversed{{0, 3, 6, 9}, {3, 3, 3, 3}, {12, 8, 4, 0}};
  for (uint8_t kind : {2, 3, 6, 9, 15}) {
    add("kind " + std::to_string(kind), withRuns(makeRecord(blocks, kind, 64, true), blockRuns.copyRuns[0]));
    add("reversed kind " + std::to_string(kind), withRuns(makeRecord(rev, kind, 4, true), reversed));
  }
  add("kind 4, 3 of 4", makeRecord(bufferInfo(5, 6, 3, 5, 6, 3, 5, 6, 4), 4, 4, true));
  add("kind 4, 6 in blocks of 4", makeRecord(bufferInfo(5, 6, 6, 5, 6, 6, 5, 6, 8), 4, 4, true));
  add("kind 4, channel sequence", makeRecord(bufferInfo(2, 3, 6, 2, 3, 6, 2, 3, 8), 4, 4, true), {1, 1, 2});
  add("kind 5", makeRecord(bufferInfo(3, 4, 5, 3, 4, 5, 3, 4, 5), 5, 8, true));
  add("kind 5, sequence", makeRecord(bufferInfo(3, 4, 5, 3, 4, 5, 3, 4, 5), 5, 8, true), {2, 1, 1});
  return out;
}

struct Dims {
  size_t h, w, c, t, s, p, q;
};
Dims dims(const Case& k) {
  const BufferInfo& i = k.rec.info;
  const size_t sh = k.seq.empty() ? 1 : k.seq[0], sw = k.seq.empty() ? 1 : k.seq[1], sc = k.seq.empty() ? 1 : k.seq[2];
  const size_t h = i.original_height * sh, w = i.original_width * sw, c = i.original_channel * sc;
  return {h, w, c, h * w * c, sh * sw * sc, i.original_size(), i.size()};
}

// NPU element of every host HWC element of the item, and whether positions
// that no element reaches are cleared, from the record's own description:
// the index table, the file runs or the channel-block formula.
struct Model {
  std::vector<size_t> pos;
  std::vector<bool> cleared;  // per NPU element
  size_t npuElements;
};
Model layoutModel(const Case& k) {
  const Dims d = dims(k);
  const IORecord& r = k.rec;
  const BufferInfo& i = r.info;
  Model m{std::vector<size_t>(d.t), {}, d.s * d.q};
  m.cleared.assign(m.npuElements, false);
  if (r.layoutKind == 5) {
    for (size_t e = 0; e < d.t; ++e) m.pos[e] = e;
  } else if (r.layoutKind == 4) {
    const size_t g = r.channelGranule, pixels = d.h * d.w, blocks = (d.c + g - 1) / g;
    for (size_t p = 0; p < pixels; ++p)
      for (size_t ch = 0; ch < d.c; ++ch) m.pos[p * d.c + ch] = ch / g * pixels * g + p * g + ch % g;
    for (size_t e = 0; e < blocks * pixels * g; ++e) m.cleared[e] = true;
  } else {
    std::vector<size_t> slice(d.p);
    if (r.layoutKind == 0) {
      for (size_t e = 0; e < d.p; ++e) slice[e] = r.indexTables[0][e];
    } else {
      const CopyRuns& runs = r.copyRuns[0];
      for (size_t n = 0; n < runs.lengths.size(); ++n)
        for (size_t j = 0; j < runs.lengths[n]; ++j) slice[runs.srcOffsets[n] + j] = runs.dstOffsets[n] + j;
    }
    const bool zeroFill = i.channel == 1 || i.original_channel * i.original_width != i.reshaped_channel * i.reshaped_width;
    for (size_t s = 0; s < d.s; ++s)
      for (size_t e = 0; e < d.p; ++e) m.pos[s * d.p + e] = s * d.q + slice[e];
    if (zeroFill) m.cleared.assign(m.npuElements, true);
  }
  return m;
}

// Host values exact in every NPU element type (scale 1).
std::vector<float> hostValues(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(-100, 100);
  std::vector<float> v(n);
  for (float& x : v) x = static_cast<float>(dist(rng));
  return v;
}

std::vector<float> toCHW(const std::vector<float>& hwc, const Dims& d) {
  std::vector<float> chw(hwc.size());
  for (size_t p = 0; p < d.h * d.w; ++p)
    for (size_t ch = 0; ch < d.c; ++ch) chw[ch * d.h * d.w + p] = hwc[p * d.c + ch];
  return chw;
}

IORecord mirror(const IORecord& in) {
  IORecord out = in;
  for (CopyRuns& runs : out.copyRuns) std::swap(runs.srcOffsets, runs.dstOffsets);
  return out;
}

TEST(Reposition, EveryKindTypeAndOrderMatchesTheLayoutAndComesBack) {
  for (const Case& k : cases()) {
    const Dims d = dims(k);
    const Model model = layoutModel(k);
    const std::vector<float> hwc = hostValues(d.t, static_cast<uint32_t>(d.t));
    for (uint8_t dtype : {0, 1, 2}) {
      IORecord in = k.rec;
      in.npuDtype = dtype;
      const size_t width = dtype == 0 ? 4 : dtype == 1 ? 2 : 1;
      std::vector<uint8_t> want(model.npuElements * width, kGarbage), elements(d.t * width);
      quantizeToNPU(elements.data(), hwc.data(), in.scale, 1, 1, static_cast<int>(d.t), MemoryFormat::HWC,
                    static_cast<NPUDtype>(dtype));
      for (size_t e = 0; e < want.size() / width; ++e)
        if (model.cleared[e]) std::memset(&want[e * width], 0, width);
      for (size_t e = 0; e < d.t; ++e) std::memcpy(&want[model.pos[e] * width], &elements[e * width], width);
      const IORecord out = mirror(in);
      for (MemoryFormat fmt : {MemoryFormat::HWC, MemoryFormat::CHW}) {
        const std::vector<float> host = fmt == MemoryFormat::HWC ? hwc : toCHW(hwc, d);
        const std::string what = k.name + " dtype " + std::to_string(dtype) + (fmt == MemoryFormat::CHW ? " CHW" : " HWC");
        std::vector<uint8_t> npu(want.size(), kGarbage);
        ASSERT_EQ(repositionToNPU(npu.data(), host.data(), in, fmt, k.seq), StatusCode::OK) << what;
        ASSERT_EQ(npu, want) << what;
        std::vector<float> back(d.t, -999.0f);
        ASSERT_EQ(repositionFromNPU(back.data(), npu.data(), out, fmt, k.seq), StatusCode::OK) << what;
        ASSERT_EQ(back, host) << what;
      }
    }
  }
}

TEST(Reposition, ZeroFillClearsOnlyWhatNoRunWrites) {
  // Runs out of destination order: a later clear must not wipe an earlier run.
  const CopyRuns runs = packIndexRuns({0, 1, 2, 8, 9, 3}, true);
  const std::vector<uint8_t> src = {1, 2, 3, 4, 5, 6};
  std::vector<uint8_t> dst(12, kGarbage);
  copyRunsSlice(dst.data(), src.data(), runs, true, 12, 1);
  EXPECT_EQ(dst, (std::vector<uint8_t>{1, 2, 3, 6, 0, 0, 0, 0, 4, 5, 0, 0}));
  // In order: the gaps 3..7 and 10..11 are cleared; without zeroFill kept.
  const CopyRuns ordered{{0, 3}, {3, 2}, {0, 8}};
  std::vector<uint16_t> wide(12, 0x7777), kept(12, 0x7777);
  const std::vector<uint16_t> src16 = {1, 2, 3, 4, 5};
  copyRunsSlice(wide.data(), src16.data(), ordered, true, 12, 2);
  copyRunsSlice(kept.data(), src16.data(), ordered, false, 12, 2);
  EXPECT_EQ(wide, (std::vector<uint16_t>{1, 2, 3, 0, 0, 0, 0, 0, 4, 5, 0, 0}));
  EXPECT_EQ(kept, (std::vector<uint16_t>{1, 2, 3, 0x7777, 0x7777, 0x7777, 0x7777, 0x7777, 4, 5, 0x7777, 0x7777}));
}

TEST(Reposition, NeedsRepositionFollowsKindAndShape) {
  IORecord rec = makeRecord(bufferInfo(1, 1, 8, 1, 1, 8, 1, 1, 8), 0, 8, true);
  EXPECT_FALSE(needsReposition(rec, true, {}));
  EXPECT_FALSE(needsReposition(rec, false, {}));
  IORecord oneChannel = makeRecord(bufferInfo(1, 1, 8, 1, 1, 8, 1, 8, 1), 0, 8, true);
  EXPECT_TRUE(needsReposition(oneChannel, true, {}));
  EXPECT_FALSE(needsReposition(mirror(oneChannel), false, {}));
  for (uint8_t kind : {2, 3, 4, 6, 15}) EXPECT_TRUE(needsReposition(makeRecord(rec.info, kind, 8, true), true, {}));
  EXPECT_FALSE(needsReposition(makeRecord(rec.info, 5, 8, true), true, {}));
  // A whole-slice run that does not start at 0 still moves the data.
  IORecord shifted = withRuns(makeRecord(bufferInfo(1, 1, 8, 1, 1, 8, 1, 2, 8), 1, 8, true), CopyRuns{{0}, {8}, {8}});
  EXPECT_TRUE(needsReposition(shifted, true, {}));
  // Sequence slices of different sizes on the two sides.
  IORecord seq = makeRecord(bufferInfo(1, 1, 8, 1, 1, 8, 1, 2, 8), 0, 8, true);
  EXPECT_FALSE(needsReposition(seq, true, {1, 1, 1}));
  EXPECT_TRUE(needsReposition(seq, true, {2, 1, 1}));
}

TEST(Reposition, UnknownNPUTypeIsRefusedOnlyWhereALayoutStepIsNeeded) {
  IORecord relaid = makeRecord(bufferInfo(2, 2, 3, 2, 2, 3, 2, 2, 4), 4, 4, false, 7);
  std::vector<float> dst(12, 42.0f);
  const std::vector<int8_t> npu(16, 5);
  EXPECT_EQ(repositionFromNPU(dst.data(), npu.data(), relaid, MemoryFormat::HWC, {}), StatusCode::Model_InvalidNPUDtype);
  EXPECT_EQ(dst, std::vector<float>(12, 42.0f));
  std::vector<int8_t> out(16, 9);
  EXPECT_EQ(repositionToNPU(out.data(), dst.data(), relaid, MemoryFormat::HWC, {}), StatusCode::Model_InvalidNPUDtype);
  EXPECT_EQ(out, std::vector<int8_t>(16, 9));
  // Kind 5 in HWC needs no layout step: dequantised as int8.
  IORecord direct = makeRecord(bufferInfo(2, 2, 3, 2, 2, 3, 2, 2, 3), 5, 4, false, 7);
  direct.scale.scale = 0.5f;
  EXPECT_EQ(repositionFromNPU(dst.data(), npu.data(), direct, MemoryFormat::HWC, {}), StatusCode::OK);
  EXPECT_EQ(dst, std::vector<float>(12, 2.5f));
}

TEST(Reposition, HostElementsNoOutputRunCoversReadZeroForEveryNPUType) {
  // Two pixels of four channels; the file's runs bring back channels 0 and
  // 1 of each, so channels 2 and 3 come from no NPU element.
  const CopyRuns runs{{0, 4}, {2, 2}, {0, 4}};
  const uint32_t one[3] = {0x3F800000u, 0x3C00u, 1u};  // 1.0 as float32, float16, int8
  for (uint8_t dtype : {0, 1, 2}) {
    const IORecord rec = withRuns(makeRecord(bufferInfo(2, 1, 4, 2, 1, 4, 2, 1, 4), 1, 4, false, dtype), runs);
    const size_t width = dtype == 0 ? 4 : dtype == 1 ? 2 : 1;
    std::vector<uint8_t> npu(8 * width);
    for (size_t i = 0; i < 8; ++i) std::memcpy(npu.data() + i * width, &one[dtype], width);
    std::vector<float> host(8, 7.0f);  // what the caller's array held before
    ASSERT_EQ(repositionFromNPU(host.data(), npu.data(), rec, MemoryFormat::HWC, {1, 1, 1}), StatusCode::OK);
    EXPECT_EQ(host, (std::vector<float>{1, 1, 0, 0, 1, 1, 0, 0})) << "NPU dtype " << int{dtype};
  }
}

TEST(Reposition, ScaleListsCoveringEveryChannelGiveEachItsOwnScale) {
  // Two original channels doubled by the sequence: four channels, a scale
  // for each of them.
  Scale scale;
  scale.scale_list = {1.0f, 2.0f, 3.0f, 4.0f};
  const std::vector<float> x(8, 10.0f);
  struct Order {
    MemoryFormat fmt;
    std::vector<int8_t> q;
  };
  const Order orders[] = {{MemoryFormat::HWC, {10, 20, 30, 40, 10, 20, 30, 40}},
                          {MemoryFormat::CHW, {10, 10, 20, 20, 30, 30, 40, 40}}};
  for (const Order& o : orders) {
    std::vector<int8_t> q(8);
    quantizeToNPU(q.data(), x.data(), scale, 4, 2, 8, o.fmt, NPUDtype::Int8);
    EXPECT_EQ(q, o.q) << static_cast<int>(o.fmt);
    std::vector<float> back(8);
    dequantizeFromNPU(back.data(), q.data(), scale, 4, 2, 8, o.fmt, NPUDtype::Int8);
    for (size_t i = 0; i < 8; ++i)
      EXPECT_EQ(back[i], o.q[i] * scale.scale_list[o.fmt == MemoryFormat::HWC ? i % 4 : i / 2]) << i;
  }
}

}  // namespace
}  // namespace kestrane::test
