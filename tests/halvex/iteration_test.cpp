#include <gtest/gtest.h>

#include "halvex/indexing.h"
#include "halvex/iteration.h"
#include "support/log_capture.h"
#include "tensor_test_util.h"

using namespace kestrane::halvex;
using kestrane::halvex::test::iota;
using kestrane::halvex::test::values;
using kestrane::test::LogCapture;
using kestrane::halvex::indexing::TensorIndex;

namespace {

// Byte offsets from the storage block that a walk visits, in order, checked
// against the end iterator and the element count.
std::vector<int64_t> visitedOffsets(const Tensor& t, IntArrayRef ratios = {}) {
  std::vector<int64_t> out;
  Tensor::IterImpl<const char> it(t, true, ratios);
  Tensor::IterImpl<const char> end(t, false, ratios);
  for (; it != end && out.size() < 1000; ++it) out.push_back(&*it - static_cast<const char*>(t.data()));
  return out;
}

}  // namespace

TEST(StridedIteration, RunsOfRowMajorAndTransposedLayouts) {
  Tensor t = iota({2, 3});
  ContiguousRun run = computeContiguousRun(t, true);
  EXPECT_EQ(run.unit, 4);
  EXPECT_EQ(run.outerDims, 0);
  EXPECT_EQ(run.runBytes, 24);
  EXPECT_EQ(Tensor::IterImpl<const float>(t, true).remainingInRun(), 6);
  run = computeContiguousRun(iota({3, 2}).transpose(0, 1), true);
  EXPECT_EQ(run.unit, 8);
  EXPECT_EQ(run.outerDims, 1);
  EXPECT_EQ(run.runBytes, 24);
}

TEST(StridedIteration, VisitsElementsInLogicalOrder) {
  Tensor t = iota({2, 3});
  const std::pair<Tensor, std::vector<int64_t>> cases[] = {
      {t, {0, 4, 8, 12, 16, 20}},
      {iota({3, 2}).transpose(0, 1), {0, 8, 16, 4, 12, 20}},
      {t.flip({1}), {8, 4, 0, 20, 16, 12}},
      {t.flip({0}), {12, 16, 20, 0, 4, 8}},
      {t.flip({0, 1}), {20, 16, 12, 8, 4, 0}},
      {iota({4, 5}).index({TensorIndex::slice(1, 3), TensorIndex::slice(1, 4)}), {24, 28, 32, 44, 48, 52}},
      {iota({3}).reshape({3, 1}).expand({3, 2}), {0, 0, 4, 4, 8, 8}},
      {TensorData({}, DType::Int64), {0}},
      {TensorData({2, 0, 3}, DType::Float32), {}},
      {Tensor(), {}},
  };
  for (const auto& [tensor, offsets] : cases) EXPECT_EQ(visitedOffsets(tensor), offsets);
}

TEST(StridedIteration, BroadcastsWithRatiosAndZeroStrides) {
  Tensor col = iota({2, 1});
  std::vector<int64_t> ratios = {1, 3};
  EXPECT_EQ(visitedOffsets(col, ratios), (std::vector<int64_t>{0, 0, 0, 4, 4, 4}));
  // A repeated innermost dimension is one run of step 0, not a run per element.
  Tensor::IterImpl<const float> it(col, true, ratios);
  EXPECT_EQ(it.step(), 0);
  EXPECT_EQ(it.remainingInRun(), 3);
  std::vector<int64_t> zero = {0, 1};
  EXPECT_TRUE(visitedOffsets(iota({1, 3}), zero).empty());
  LogCapture log;
  std::vector<int64_t> bad = {2, 1};
  EXPECT_EQ(visitedOffsets(col, bad).size(), 2u);
  // One line from each of the begin and end iterators.
  EXPECT_EQ(log.count("Both ratio (2) and shape(2) are not 1."), 2u);
}

TEST(BroadcastRatios, PairsTrailingDimensions) {
  std::vector<int64_t> ra, rb, out;
  ASSERT_TRUE(computeBroadcastRatios({3, 1}, {1, 4}, ra, rb, out));
  EXPECT_EQ(ra, (std::vector<int64_t>{1, 4}));
  EXPECT_EQ(rb, (std::vector<int64_t>{3, 1}));
  EXPECT_EQ(out, (std::vector<int64_t>{3, 4}));
  EXPECT_FALSE(computeBroadcastRatios({2, 3}, {3, 2}, ra, rb, out));
}

TEST(DenseLayout, IsDenseInAnyDimensionOrder) {
  EXPECT_TRUE(iota({3, 2}).transpose(0, 1).isDense());
  EXPECT_TRUE(iota({2, 1, 3}).asStrided({2, 1, 3}, {12, -7, 4}, 0).isDense());
  EXPECT_TRUE(iota({4, 4}).index({TensorIndex::slice(0, 2)}).transpose(0, 1).isDense());
  EXPECT_FALSE(iota({4, 4}).index({TensorIndex(), TensorIndex::slice(0, 2)}).isDense());
  EXPECT_FALSE(iota({3, 1}).expand({3, 2}).isDense());
  EXPECT_FALSE(iota({3}).flip({0}).isDense());
}

TEST(CopyInPlace, RefusesOtherTypesAndShapes) {
  LogCapture log;
  Tensor dst = iota({2, 3});
  dst.copy_(dst);
  dst.copy_(iota({2, 3}, DType::Int32));
  EXPECT_EQ(log.count("copy_: Not implemented yet for the case where this tensor and src tensor have different type."),
            1u);
  Tensor col = TensorData({3, 1}, DType::Float32);
  col.copy_(iota({3}));
  dst.copy_(iota({2, 2, 3}));
  dst.copy_(iota({2, 2}));
  EXPECT_EQ(log.count("copy_: src tensor must be broadcastable to this tensor but it is not."), 3u);
  EXPECT_EQ(values(dst), (std::vector<double>{0, 1, 2, 3, 4, 5}));
}
