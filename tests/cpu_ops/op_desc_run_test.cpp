#include <gtest/gtest.h>

#include <thread>

#include "halvex/free_functions.h"
#include "op_desc_test_util.h"
#include "support/log_capture.h"

namespace kestrane {
namespace {

using halvex::DType;
using halvex::Tensor;
using test::cpuLayer;
using test::described;
using test::floats;
using test::json;
using test::longs;
using test::values;
using Shape = std::vector<int64_t>;
using Values = std::vector<double>;

// Runs the layer; `defined` is whether a result is expected (by default
// with the status OK).
Tensor run(const OpDesc& d, const std::vector<Tensor>& inputs, StatusCode expect = StatusCode::OK,
           bool defined = true) {
  StatusCode status = StatusCode::InternalError;
  Tensor r = d.runCPU(inputs, &status);
  EXPECT_EQ(status, expect) << d.layerType;
  EXPECT_EQ(r.defined(), defined && expect == StatusCode::OK) << d.layerType;
  return r;
}

TEST(OpDescDispatch, TypeTextsAreMatchedCaseSensitively) {
  for (std::string type : {"relu", "GATHER", "DeepLearning"}) {
    OpDesc d = described(cpuLayer(type, {{"axis", 0}}));
    test::LogCapture log;
    run(d, {floats({1})}, StatusCode::NotImplemented);
    EXPECT_EQ(log.count("error|Predict Layer " + type + " is not implemented yet in cpp."), 1u);
  }
}

TEST(OpDescDispatch, InputSharesStorageAndLowerCaseInputCopies) {
  Tensor x = floats({1, 2, 3});
  EXPECT_EQ(run(described(cpuLayer("Input")), {x}).data(), x.data());
  Tensor copy = run(described(cpuLayer("input")), {x});
  EXPECT_NE(copy.data(), x.data());
  EXPECT_EQ(values(copy), values(x));
  OpDesc c = described(cpuLayer("InputConstant", {{"constant", {4, 5}}}));
  EXPECT_EQ(values(run(c, {})), (Values{4, 5}));
}

TEST(OpDescDispatch, FailedTensorOperationsGiveNoResultAndMissingInputsAreErrors) {
  test::LogCapture log;
  // A failed tensor operation: its own line, no result, the status left to the caller.
  run(described(cpuLayer("Adding")), {floats({1, 2, 3}), floats({1, 2})}, StatusCode::OK, false);
  EXPECT_EQ(log.count("gave no result"), 0u);
  run(described(cpuLayer("Adding")), {floats({1, 2, 3})}, StatusCode::Model_PredictError);
  run(described(cpuLayer("Relu")), {}, StatusCode::Model_PredictError);
  run(described(cpuLayer("ConstantOfShape", {{"value", 1}})), {Tensor()}, StatusCode::Model_PredictError);
  EXPECT_EQ(log.count("error|Layer layer0 of type ConstantOfShape: input 0 is undefined."), 1u);
  run(described(cpuLayer("AddingConstant")), {floats({1})}, StatusCode::OK, false);
  run(described(cpuLayer("Less")), {floats({1})}, StatusCode::OK, false);
  EXPECT_EQ(log.count("A constant value is required, but it cannot be found."), 1u);
  run(described(cpuLayer("MatMul")), {longs({1, 2}), longs({1, 2})}, StatusCode::OK, false);
}

TEST(OpDescDispatch, RowsOfTypesTheDescriptionRefuses) {
  // Reached only by a record filled in by its owner: the constructor refuses these types.
  OpDesc d = described(cpuLayer("Relu"));
  d.layerType = "Clip";
  d.clipMin = -1.0f;
  d.clipMax = 2.0f;
  EXPECT_EQ(values(run(d, {floats({-3, 0.5, 7})})), (Values{-1, 0.5, 2}));
  d.layerType = "GemmConstant";
  d.constant = floats({1, 2, 3, 4}, {2, 2});
  d.constant2 = floats({10, 20});
  d.alpha = 2.0f;
  d.beta = 1.0f;
  d.transB = true;
  // x [1, 2] times w^T: [1*1 + 1*2, 1*3 + 1*4] = [3, 7]; times 2 plus [10, 20].
  EXPECT_EQ(values(run(d, {floats({1, 1}, {1, 2})})), (Values{16, 34}));
  EXPECT_EQ(values(d.constant), (Values{1, 2, 3, 4}));
}

TEST(OpDescGather, NegativeIndicesAreWrappedOnACopy) {
  // Values against numpy are in python/; here the description itself stays as it was.
  OpDesc d = described(cpuLayer("GatherConstant", {{"axis", 0}, {"constant", {-1, 0}}, {"srcShape", {2}}}));
  Tensor x = floats({10, 11, 12, 13, 14});
  for (int i = 0; i < 2; ++i) EXPECT_EQ(values(run(d, {x})), (Values{14, 10}));
  EXPECT_EQ(values(d.constant), (Values{-1, 0}));
  OpDesc first = described(cpuLayer("GatherConstant", {{"axis", 0}, {"constant", {0}}, {"is_const_first", true}}));
  test::LogCapture log;
  // No result and no status of its own: the model run fails it as a layer without a result.
  run(first, {x}, StatusCode::OK, false);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"error|Not Implemented yet"}));
}

// An index below -d or above d - 1 is refused before anything is selected,
// whether the indices are the layer's constant or its second input.
TEST(OpDescGather, IndicesOutsideTheDimensionAreRefused) {
  struct Row {
    const char* type;
    std::vector<int64_t> indices;
  };
  const Tensor x = floats({10, 11, 12, 13, 14});
  for (const Row& row : {Row{"GatherConstant", {0, 5}}, Row{"GatherConstant", {-6}}, Row{"Gather", {4, 5}},
                         Row{"Gather", {-6, 0}}}) {
    const bool constant = std::string(row.type) == "GatherConstant";
    json layer = cpuLayer(row.type, {{"axis", 0}, {"srcShape", {2}}});
    if (constant) {
      layer["constant"] = row.indices;
    } else {
      layer["inputList"] = {"a", "i"};
    }
    const OpDesc d = described(layer);
    test::LogCapture log;
    run(d, constant ? std::vector<Tensor>{x} : std::vector<Tensor>{x, longs(row.indices)},
        StatusCode::Model_PredictError);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"error|Layer layer0 of type " + std::string(row.type) +
                                                     ": an index lies outside [-5, 4]"}))
        << layer.dump();
  }
}

TEST(OpDescGather, RankFixUpAgainstTheCompiledShape) {
  Tensor x = halvex::arange(0, 24, 1).to(DType::Float32).reshape({2, 3, 4});
  // A selection of rank 3 for a compiled rank 2 loses its gathered axis.
  OpDesc squeeze = described(cpuLayer("GatherConstant", {{"axis", 1}, {"constant", {2}}, {"srcShape", {2, 4}}}));
  EXPECT_EQ(values(run(squeeze, {x})), (Values{8, 9, 10, 11, 20, 21, 22, 23}));
  // A selection of rank 2 for a compiled rank 3 gains the first size-1 axis.
  Tensor m = halvex::arange(0, 24, 1).to(DType::Float32).reshape({4, 6});
  OpDesc unsqueeze =
      described(cpuLayer("GatherConstant", {{"axis", 0}, {"constant", {1, 3, 0, 2}}, {"srcShape", {1, 4, 6}}}));
  EXPECT_EQ(run(unsqueeze, {m}).shape(), (Shape{1, 4, 6}));
  OpDesc none =
      described(cpuLayer("GatherConstant", {{"axis", 0}, {"constant", {1, 3, 0, 2}}, {"srcShape", {2, 4, 6}}}));
  test::LogCapture log;
  EXPECT_EQ(run(none, {m}).shape(), (Shape{4, 6}));
  EXPECT_EQ(log.count("error|Unsupported Gather, Cannot find unsqueeze axis"), 1u);
  // The fall-back position -1 is refused by the tensor library, in that order.
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"error|Unsupported Gather, Cannot find unsqueeze axis",
                                                   "error|Dim (-1) is out of range"}));
}

TEST(OpDescOperands, PrepareInputs2PlacesTheConstant) {
  Tensor x = floats({1});
  OpDesc d = described(cpuLayer("AddingConstant", {{"constant", {2}}}));
  auto [a, b] = d.prepareInputs2({x});
  EXPECT_EQ(a.data(), x.data());
  EXPECT_EQ(b.data(), d.constant.data());
  d.is_const_first = true;
  std::tie(a, b) = d.prepareInputs2({x});
  EXPECT_EQ(a.data(), d.constant.data());
  EXPECT_EQ(b.data(), x.data());
  test::LogCapture log;
  std::tie(a, b) = d.prepareInputs2({x, x, x});
  EXPECT_FALSE(a.defined() || b.defined());
  EXPECT_EQ(log.count("error|The size of inputTensors is not 1 or 2, but 3"), 1u);
}

TEST(OpDescOperands, PrepareInputs3FillsByFlagsAndNeverReadsPastTheLists) {
  Tensor x = floats({1});
  OpDesc d = described(cpuLayer("Where", {{"constant", {2}}, {"constant2", {3}}}));
  auto operands = [&] {
    auto [s0, s1, s2] = d.prepareInputs3({x});
    return Values{values(s0)[0], values(s1)[0], values(s2)[0]};
  };
  d.is_const_second = d.is_const_third = true;
  EXPECT_EQ(operands(), (Values{1, 2, 3}));
  d.is_const_second = false;
  d.is_const_first = true;
  EXPECT_EQ(operands(), (Values{2, 1, 3}));
  test::LogCapture log;
  OpDesc bare = described(cpuLayer("Where"));
  bare.is_const_first = true;
  auto [s0, s1, s2] = bare.prepareInputs3({});
  EXPECT_FALSE(s0.defined() || s1.defined() || s2.defined());
  EXPECT_EQ(log.count("inputTensor is expected to have 1, 2, or 3 elements, but it has 0 elements."), 1u);
  EXPECT_EQ(log.count("Total number of constant and nonconstant inputs is expected to be 3, but it is 0."), 1u);
  EXPECT_EQ(log.count("Number of constant inputs is expected to be 1, but it is 0."), 1u);
}

TEST(OpDescGatherND, RefusalsNameTheirCause) {
  OpDesc d = described(cpuLayer("GatherND", {{"batch_dims", 0}}));
  Tensor data = floats({0, 1, 2, 10, 11, 12}, {2, 3});
  Tensor r;
  // Values against numpy are in python/; here each refusal's message, and the
  // result left as it was.
  Tensor untouched = floats({-7});
  r = untouched;
  struct Case {
    Tensor indices;
    int32_t batchDims;
    const char* message;
  } cases[] = {
      {longs({0, -4}, {1, 2}), 0, "The value of indices is out of bounds of data."},
      {longs({0, 4294967297LL}, {1, 2}), 0, "The value of indices is out of bounds of data."},
      {longs({0, 0, 0}, {1, 3}), 0, "indices.size(-1) > dataRank - batchDims, indices.size(-1): 3, dataRank: 2"},
      {longs({0}, {1, 1}), 2, "Invalid dataRank: 2, indicesRank: 2, batchDims: 2"},
      {longs({0, 0, 0}, {3, 1}), 1, "data.size(0) != indices.size(0), data.size(0): 2, indices.size(0): 3"},
  };
  for (const Case& c : cases) {
    test::LogCapture log;
    EXPECT_EQ(d.predictGatherND(data, c.indices, c.batchDims, &r), StatusCode::Model_PredictError) << c.message;
    EXPECT_EQ(log.count(c.message), 1u) << log.text();
    EXPECT_EQ(r.data(), untouched.data());
  }
}

TEST(OpDescScatterND, WideUpdatesAreRefusedWithTheirMessage) {
  OpDesc d = described(cpuLayer("ScatterND", {{"reduction", "none"}}));
  test::LogCapture log;
  run(d, {floats({1, 2, 3, 4}), floats({1, 2, 3, 4}, {2, 2}), longs({1, 3}, {2, 1})}, StatusCode::Model_PredictError);
  EXPECT_EQ(log.count("error|The length of tensors should be one"), 1u);
}

TEST(OpDescShapeOps, ReshapeTakesZerosAndTheBatchFromTheInput) {
  OpDesc d = described(cpuLayer("Reshape", {{"allowzero", false}, {"srcShape", {1, 0, 8}}}));
  EXPECT_EQ(run(d, {halvex::zeros({4, 6, 2, 4}, DType::Float32)}).shape(), (Shape{4, 6, 8}));
  test::LogCapture log;
  OpDesc beyond = described(cpuLayer("Reshape", {{"allowzero", false}, {"srcShape", {1, 2, 0}}}));
  run(beyond, {halvex::zeros({2, 3}, DType::Float32)}, StatusCode::Model_PredictError);
  EXPECT_EQ(log.count("AllowZero attribute is set to false for layer layer0 of type Reshape, but shape cannot be "
                      "inferred from input_shape."),
            1u);
  OpDesc empty = described(cpuLayer("Reshape", {{"allowzero", true}}));
  run(empty, {halvex::zeros({2, 3}, DType::Float32)}, StatusCode::Model_PredictError);
  OpDesc mismatch = described(cpuLayer("Reshape", {{"allowzero", true}, {"srcShape", {1, 48}}}));
  run(mismatch, {halvex::zeros({3, 16}, DType::Float32)}, StatusCode::OK, false);
}

TEST(OpDescShapeOps, BridgeSqueezesUnsqueezesAndPermutes) {
  json keys = {{"squeeze_axes", {2}}, {"unsqueeze_axes", {-1}}, {"permute_axes", {0, 1, 2}}, {"srcShape", {2, 3, 4}}};
  OpDesc d = described(cpuLayer("Bridge", keys));
  Tensor x = halvex::zeros({2, 3, 1, 4}, DType::Float32);
  EXPECT_EQ(run(d, {x}).shape(), (Shape{2, 3, 4}));
  Tensor same = halvex::zeros({2, 3, 4}, DType::Float32);
  EXPECT_EQ(run(d, {same}).data(), same.data());
  EXPECT_EQ(run(d, {halvex::zeros({2, 3}, DType::Float32)}).shape(), (Shape{2, 3, 1}));
  d.perm = {0, 2, 1};
  Tensor m = halvex::arange(0, 6, 1).reshape({1, 2, 3});
  Tensor p = run(d, {m});
  EXPECT_TRUE(p.isContiguous());
  EXPECT_EQ(values(p), (Values{0, 3, 1, 4, 2, 5}));
  d.perm = {0, 2};
  test::LogCapture log;
  run(d, {m}, StatusCode::Model_PredictError);
  EXPECT_EQ(log.count("error|BridgeLayer layer0 has invalid permute axes."), 1u);
}

TEST(OpDescShapeOps, ResizeAndReduceRefusalsNameTheirCause) {
  OpDesc resize = described(cpuLayer("Resize", {{"resize_mode", "nearest"}, {"srcShape", {1, 3, 20, 20}}}));
  test::LogCapture log;
  run(resize, {halvex::zeros({3, 10, 10}, DType::Float32)}, StatusCode::Model_PredictError);
  EXPECT_EQ(log.count("error|Input nDim (3) and Target nDim (4) are different."), 1u);
  OpDesc reduce = described(cpuLayer("ReduceSum", {{"keep_dims", false}, {"noop_with_empty_axes", false}, {"reduce_axes", {1}}}));
  reduce.layerType = "ReduceL2";
  Tensor r;
  EXPECT_EQ(reduce.predictReduce({floats({1})}, &r), StatusCode::Model_PredictError);
  EXPECT_EQ(log.count("error|This layer is invalid for Reduce Operations."), 1u);
}

TEST(OpDescShapeOps, EmptyShapesWithHugeSizesEndPromptly) {
  // Sizes whose product does not fit 64 bits before the 0 is reached, from a
  // constant's shape, an Expand target, a Tile count and a ConstantOfShape
  // input: empty results at once, or a refusal where the result would not be
  // empty.
  const int64_t g = int64_t{1} << 31;
  const Shape huge = {g, g, 3, 0};
  OpDesc pow = described(cpuLayer("Pow", {{"pow", json::array()}, {"pow_shape", huge}}));
  EXPECT_EQ(pow.pow.shape(), huge);
  EXPECT_EQ(run(pow, {floats({1, 2, 3}, {3, 1})}).shape(), huge);
  EXPECT_EQ(run(described(cpuLayer("Expand")), {floats({1}), longs(huge)}).shape(), huge);
  EXPECT_EQ(run(described(cpuLayer("ConstantOfShape", {{"value", 1}})), {longs(huge)}).shape(), huge);
  EXPECT_EQ(run(described(cpuLayer("Tile", {{"repeats", {g, g}}})), {floats({}, {0, 2})}).shape(), (Shape{0, 2 * g}));
  EXPECT_EQ(run(described(cpuLayer("Tile", {{"repeats", {g, 1, 1, 1}}})), {pow.pow}).shape(),
            (Shape{g * g, g, 3, 0}));
  // Such tensors as a Flatten input, GatherND indices, ScatterND updates and
  // the scores of non-maximum suppression.
  const Tensor data = floats({1, 2, 3, 4}, {2, 2});
  const Tensor noIndices = halvex::zeros({g, g, 3, 0, 1}, DType::Int64);
  EXPECT_EQ(run(described(cpuLayer("Flatten", {{"axis", 0}})), {pow.pow}).shape(), (Shape{1, 0}));
  EXPECT_EQ(run(described(cpuLayer("GatherND", {{"batch_dims", 0}})), {data, noIndices}).shape(),
            (Shape{g, g, 3, 0, 2}));
  EXPECT_EQ(values(run(described(cpuLayer("ScatterND", {{"reduction", "add"}})), {data, pow.pow, noIndices})),
            values(data));
  OpDesc nms = described(
      cpuLayer("nms", {{"max_output", 0}, {"iou_thres", 0.5}, {"score_thres", 0.0}, {"is_center", false}}));
  EXPECT_EQ(run(nms, {halvex::zeros({1, 0, 4}, DType::Float32), halvex::zeros({1, g * g, 0}, DType::Float32)}).shape(),
            (Shape{0, 3}));
  test::LogCapture log;
  run(described(cpuLayer("Expand")), {floats({1}), longs({g, g, 3, 1})}, StatusCode::OK, false);
  run(described(cpuLayer("ConstantOfShape", {{"value", 1}})), {longs({g, g, 3, 1})}, StatusCode::OK, false);
  run(described(cpuLayer("Tile", {{"repeats", {g, g}}})), {floats({1, 2}, {1, 2})}, StatusCode::OK, false);
  StatusCode status = StatusCode::OK;
  OpDesc refused(cpuLayer("Pow", {{"pow", {1.0}}, {"pow_shape", {g, g, 3, 1}}}), -1, &status);
  EXPECT_EQ(status, StatusCode::Model_BrokenZRB);
}

TEST(OpDescConcurrency, OneDescriptionRunsOnSeveralThreads) {
  OpDesc d = described(cpuLayer("GatherConstant", {{"axis", 0}, {"constant", {-1, 0, 2}}, {"srcShape", {3}}}));
  Tensor x = floats({10, 11, 12, 13});
  std::vector<std::thread> threads;
  std::vector<int> good(4, 0);
  for (size_t t = 0; t < good.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        StatusCode status = StatusCode::InternalError;
        Tensor r = d.runCPU({x}, &status);
        good[t] += status == StatusCode::OK && values(r) == Values{13, 10, 12};
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int g : good) EXPECT_EQ(g, 50);
}

}  // namespace
}  // namespace kestrane
