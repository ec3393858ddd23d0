// Stored copy runs that overlap in their destination: the disjoint form
// that creation makes leaves every slice as the runs applied in order leave
// it, in either direction, writing each element once; runs that do not
// overlap are used as they are.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "reposition/record_util.h"

namespace kestrane::test {
namespace {

constexpr uint8_t kGarbage = 0xAB;

// Runs from {source, length, destination} triples.
CopyRuns runsOf(std::initializer_list<std::array<uint32_t, 3>> triples) {
  CopyRuns runs;
  for (const auto& t : triples) {
    runs.srcOffsets.push_back(t[0]);
    runs.lengths.push_back(t[1]);
    runs.dstOffsets.push_back(t[2]);
  }
  return runs;
}

TEST(OverlappingRuns, DisjointFormLeavesTheSliceOfTheRunsInOrder) {
  struct Case {
    const char* name;
    CopyRuns runs;
    size_t disjoint;  // runs of the disjoint form; 0: kept as they are
  };
  // Sources of 16 elements, destinations of 24.
  const std::vector<Case> cases = {
      {"identical runs", runsOf({{0, 8, 2}, {0, 8, 2}, {0, 8, 2}}), 1},
      {"nested, the inner last", runsOf({{0, 16, 0}, {4, 4, 6}}), 3},
      {"nested, the outer last", runsOf({{4, 4, 6}, {0, 16, 0}}), 1},
      {"partial at the front", runsOf({{0, 10, 5}, {8, 4, 3}}), 2},
      {"partial at the back", runsOf({{0, 10, 0}, {3, 6, 8}}), 2},
      {"pieces that continue each other", runsOf({{0, 8, 0}, {8, 8, 8}, {4, 8, 4}}), 1},
      {"one run over many", runsOf({{1, 3, 2}, {5, 2, 9}, {0, 2, 13}, {0, 16, 1}}), 1},
      // Gaps a zero fill clears, then runs back over them and over runs.
      {"runs over cleared gaps", runsOf({{0, 4, 0}, {4, 4, 10}, {8, 6, 6}}), 3},
      {"clears after descending runs", runsOf({{0, 6, 12}, {6, 6, 2}, {1, 12, 4}}), 3},
      {"touching", runsOf({{0, 4, 0}, {4, 4, 4}}), 0},
      {"touching out of order", runsOf({{4, 4, 8}, {0, 4, 4}}), 0},
      {"apart with gaps", runsOf({{0, 3, 20}, {3, 3, 1}, {6, 3, 10}}), 0},
      {"an empty run inside another", runsOf({{0, 8, 0}, {3, 0, 4}}), 0},
  };
  std::vector<uint8_t> src(16);
  for (size_t e = 0; e < src.size(); ++e) src[e] = static_cast<uint8_t>(e + 1);
  const std::vector<uint8_t> before(24, kGarbage);
  for (const Case& c : cases) {
    const CopyRuns disjoint = disjointRuns(c.runs);
    EXPECT_EQ(disjoint.lengths.size(), c.disjoint) << c.name;
    if (c.disjoint != 0) {
      EXPECT_TRUE(writeEachElementOnce(disjoint)) << c.name;
    }
    const CopyRuns& used = c.disjoint == 0 ? c.runs : disjoint;
    for (bool zeroFill : {false, true}) {
      std::vector<uint8_t> dst = before;
      copyRunsSlice(dst.data(), src.data(), used, zeroFill, 24, 1);
      EXPECT_EQ(dst, runsInOrder(c.runs, src, 16, before, 24, 1, zeroFill)) << c.name << (zeroFill ? ", zero fill" : "");
    }
  }
}

// A float32 record and its mirror, with the disjoint form creation makes,
// against the runs in order. The relayout test reads the file's first run:
// a dense kind-1 record copies the item as it is.
void compareBothWays(IORecord in, IORecord out, const SeqLensHWC& seq, const std::string& what) {
  const size_t slices = seq[0], p = in.info.original_size(), q = in.info.size();
  for (IORecord* rec : {&in, &out}) {
    const CopyRuns& runs = rec->copyRuns[0];
    std::vector<int> writes(rec == &in ? q : p, 0);
    bool overlap = false;
    for (size_t k = 0; k < runs.lengths.size(); ++k)
      for (size_t j = 0; j < runs.lengths[k]; ++j) overlap = ++writes[runs.dstOffsets[k] + j] > 1 || overlap;
    rec->disjointRuns = disjointRuns(runs);
    ASSERT_EQ(writeEachElementOnce(rec->disjointRuns), overlap) << what;
  }
  std::vector<float> x(slices * p), npu(slices * q, -1.0f), back(x.size(), -1.0f), wantNpu(npu), wantBack(x.size(), 0);
  for (size_t e = 0; e < x.size(); ++e) x[e] = static_cast<float>(e + 1);
  const bool zeroFill = in.info.channel == 1 || in.info.original_channel != in.info.reshaped_channel;
  if (needsReposition(in, true, seq)) wantNpu = runsInOrder(in.copyRuns[0], x, p, wantNpu, q, slices, zeroFill);
  else std::copy(x.begin(), x.end(), wantNpu.begin());
  if (needsReposition(out, false, seq)) wantBack = runsInOrder(out.copyRuns[0], wantNpu, q, wantBack, p, slices, false);
  else std::copy(wantNpu.begin(), wantNpu.begin() + static_cast<std::ptrdiff_t>(x.size()), wantBack.begin());
  ASSERT_EQ(repositionToNPU(npu.data(), x.data(), in, MemoryFormat::HWC, seq), StatusCode::OK);
  ASSERT_EQ(repositionFromNPU(back.data(), npu.data(), out, MemoryFormat::HWC, seq), StatusCode::OK);
  ASSERT_EQ(npu, wantNpu) << what;
  ASSERT_EQ(back, wantBack) << what;
}

TEST(OverlappingRuns, RandomRunListsAgreeWithTheRunsInOrderBothWays) {
  std::mt19937 rng(39);
  auto below = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  for (int trial = 0; trial < 3000; ++trial) {
    // One NPU channel or a reshape that changes the count: zero fill.
    const uint32_t p = 1 + below(30), q = 1 + below(30), rc = below(2) == 0 ? p : p + 1;
    const BufferInfo info = bufferInfo(1, 1, p, 1, 1, rc, 1, 1, q);
    IORecord in = makeRecord(info, static_cast<uint8_t>(1 + below(3)), 1, true);
    IORecord out = in;
    CopyRuns toNpu, toHost;
    // Kind 1 whose first run is the whole slice at 0 stands for a dense
    // layout where no sequence asks for a layout step.
    const bool dense = in.layoutKind == 1 && p <= q && below(2) == 0;
    const uint32_t n = 1 + below(10);
    for (uint32_t k = 0; k < n; ++k) {
      uint32_t length = below(std::min(p, q) + 1), hostAt = below(p - length + 1), npuAt = below(q - length + 1);
      if (dense && k == 0) length = p, hostAt = npuAt = 0;
      for (auto [runs, src, dst] : {std::make_tuple(&toNpu, hostAt, npuAt), std::make_tuple(&toHost, npuAt, hostAt)}) {
        runs->srcOffsets.push_back(src);
        runs->lengths.push_back(length);
        runs->dstOffsets.push_back(dst);
      }
    }
    in.copyRuns = {toNpu};
    out.copyRuns = {toHost};
    const std::string what = "trial " + std::to_string(trial);
    ASSERT_EQ(validateIORecord(in, true, what), StatusCode::OK);
    ASSERT_EQ(validateIORecord(out, false, what), StatusCode::OK);
    const SeqLensHWC seq = {1 + below(2), 1, 1};
    compareBothWays(in, out, seq, what);
    if (HasFatalFailure()) return;
  }
}

// One record of the table below, built as model creation builds it from a
// file whose runs all copy the whole slice, then given `form` as its
// disjoint form: the request must lay the item out by `form`. Elements of
// type T on the NPU (float32 or int8, scale 1).
template <typename T>
void layOutByTheForm(IORecord rec, bool isInput, const CopyRuns& form, size_t slices, const std::string& what) {
  const CopyRuns& stored = rec.copyRuns[0];
  ASSERT_EQ(validateIORecord(rec, isInput, what), StatusCode::OK);
  rec.disjointRuns = disjointRuns(stored);
  ASSERT_EQ(rec.disjointRuns.lengths.size(), 1u) << what;
  rec.disjointRuns = form;
  const size_t p = rec.info.original_size(), q = rec.info.size(), from = isInput ? p : q, to = isInput ? q : p;
  const SeqLensHWC seq = {static_cast<uint32_t>(slices), 1, 1};
  ASSERT_TRUE(needsReposition(rec, isInput, seq)) << what;
  const bool zeroFill = isInput && (rec.info.channel == 1 || rec.info.original_channel != rec.info.reshaped_channel);
  std::vector<float> src(slices * from), before(slices * to, isInput ? -1.0f : 0.0f);
  for (size_t e = 0; e < src.size(); ++e) src[e] = static_cast<float>(e + 1);
  const std::vector<float> want = runsInOrder(form, src, from, before, to, slices, zeroFill);
  // The stored runs would leave another item: the case tells the two apart.
  ASSERT_NE(want, runsInOrder(stored, src, from, before, to, slices, zeroFill)) << what;
  std::vector<float> got(before.size());
  if (isInput) {
    std::vector<T> npu(before.begin(), before.end());
    ASSERT_EQ(repositionToNPU(npu.data(), src.data(), rec, MemoryFormat::HWC, seq), StatusCode::OK);
    std::copy(npu.begin(), npu.end(), got.begin());
  } else {
    const std::vector<T> npu(src.begin(), src.end());
    ASSERT_EQ(repositionFromNPU(got.data(), npu.data(), rec, MemoryFormat::HWC, seq), StatusCode::OK);
  }
  EXPECT_EQ(got, want) << what;
}

// A request copies the disjoint form that creation made of overlapping
// runs, never the stored runs themselves, which a small file can make write
// each element hundreds of times: here 500 runs of the whole slice, whose
// disjoint form is one run. Given a form that leaves the item otherwise than
// the stored runs do, every layout path follows the form.
TEST(OverlappingRuns, RequestsCopyTheDisjointFormNotTheStoredRuns) {
  constexpr uint32_t p = 12, q = 16;  // host and NPU slice elements
  struct Case {
    const char* name;
    bool isInput;
    uint8_t npuDtype;
    uint32_t reshapedChannels;  // p + 1: a reshape that changes the count, so zero fill
    size_t slices;
  };
  const Case cases[] = {
      {"into the NPU, float32 straight from the source, zero fill", true, 0, p + 1, 1},
      {"into the NPU, float32, two slices", true, 0, p, 2},
      {"into the NPU, int8 through scratch, zero fill", true, 2, p + 1, 1},
      {"out of the NPU, float32, two slices", false, 0, p, 2},
      {"out of the NPU, int8 through scratch, two slices", false, 2, p, 2},
  };
  for (const Case& c : cases) {
    IORecord rec = makeRecord(bufferInfo(1, 1, p, 1, 1, c.reshapedChannels, 1, 1, q), 1, 1, c.isInput, c.npuDtype);
    CopyRuns stored, reversed;  // the file's runs; the slice reversed, one element a run
    for (uint32_t k = 0; k < 500; ++k) {
      stored.srcOffsets.push_back(0);
      stored.lengths.push_back(p);
      stored.dstOffsets.push_back(0);
    }
    for (uint32_t k = 0; k < p; ++k) {
      reversed.srcOffsets.push_back(p - 1 - k);
      reversed.lengths.push_back(1);
      reversed.dstOffsets.push_back(k);
    }
    ASSERT_TRUE(writeEachElementOnce(reversed));
    rec.copyRuns = {stored};
    if (c.npuDtype == 0) layOutByTheForm<float>(rec, c.isInput, reversed, c.slices, c.name);
    else layOutByTheForm<int8_t>(rec, c.isInput, reversed, c.slices, c.name);
  }
}

}  // namespace
}  // namespace kestrane::test
