// Host layers whose description gives sizes that add or multiply past
// int64: each request fails with Model_PredictError after the failing
// operation's own line, and no line shows a wrapped figure. A Split whose
// sizes fall short of the dimension still runs, with its line.

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "inference_fixture.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kTwo62 = int64_t{1} << 62;

json hostLayer(const char* name, const char* type, std::vector<std::string> inputs, json attributes) {
  json layer = {{"layerName", name},   {"layerType", type},    {"isUnsupported", true},
                {"inputList", inputs}, {"outputList", {name}}, {"srcShape", json::array()},
                {"removeActList", json::array()}};
  layer.update(attributes);
  return layer;
}

// The last layer, "result", reads "npu_out" of shape (2, 2, 2, 4) in these requests.
json result(const char* type, json attributes, std::vector<std::string> inputs = {"npu_out"}) {
  return hostLayer("result", type, std::move(inputs), std::move(attributes));
}

// "empty": a tensor of shape (2^62, 2^62, 0), whose leading sizes multiply
// past int64: a constant shape (taking the request's batch of 2 as its first
// dimension), its first row, and a tensor of that shape.
json emptyOfHugeSizes() {
  const double s = static_cast<double>(kTwo62);
  return {hostLayer("sizes", "InputConstant", {}, {{"constant", {s, s, 0}}, {"constant_shape", {1, 3}}}),
          hostLayer("first", "Slice", {"sizes"}, {{"axes", {0}}, {"starts", {0}}, {"ends", {1}}, {"steps", {1}}}),
          hostLayer("empty", "ConstantOfShape", {"first"}, {{"value", 0}})};
}

const std::string kEmptyShape = "[4611686018427387904, 4611686018427387904, 0]";

json withEmpty(json last) {
  json layers = emptyOfHugeSizes();
  layers.push_back(std::move(last));
  return layers;
}

struct Row {
  const char* name;
  json layers;                      // the layers that replace "result", the last of them named "result"
  std::vector<std::string> lines;   // the error lines, in order
  std::vector<int64_t> shape = {};  // the output's, for a request that runs
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

std::string noResult(const char* type) {
  return "error|Layer result of type " + std::string(type) + " gave no result.";
}

std::vector<Row> rows() {
  const uint64_t beyondInt64 = std::numeric_limits<uint64_t>::max();
  const std::string sumTooLarge = "error|Sum of split_size does not fit 64 bits: it exceeds tensor's size (4).";
  return {
      {"SplitSumOverflows",
       {result("Split", {{"split", {2, kMax}}, {"axis", 3}, {"split_index", 1}})},
       {sumTooLarge, noResult("Split")}},
      {"SplitSumOverflowsBeforeTheFirstPiece",
       {result("Split", {{"split", {2, kMax}}, {"axis", 3}, {"split_index", 0}})},
       {sumTooLarge, noResult("Split")}},
      {"SplitSizeBeyondInt64",
       {result("Split", {{"split", json::array({uint64_t{2}, beyondInt64})}, {"axis", -1}, {"split_index", 0}})},
       {sumTooLarge, noResult("Split")}},
      {"SplitShortOfTheDimension",
       {result("Split", {{"split", {1, 2}}, {"axis", 3}, {"split_index", 1}})},
       {"error|Sum of split_size (3) does not equal to tensor's size (4)."},
       {2, 2, 2, 2}},
      {"SplitSumPastTheDimension",
       {result("Split", {{"split", {3, 3}}, {"axis", 3}, {"split_index", 0}})},
       {"error|Sum of split_size (6) does not equal to tensor's size (4).", noResult("Split")}},
      {"TileCounts",
       {result("Tile", {{"repeats", {1, 1, 1, kTwo62}}})},
       {"error|tile: the result is too large.", noResult("Tile")}},
      {"ExpandPastTheBytes",
       // 2^61 float32 elements: the count fits int64, the bytes do not.
       {result("Expand", {{"constant", {static_cast<double>(int64_t{1} << 56), 2, 2, 2, 4}}})},
       {"error|expand: the expanded tensor has too many elements.", noResult("Expand")}},
      {"ReshapeSourceShape",
       {result("Reshape", {{"allowzero", true}, {"srcShape", {1, kTwo62, kTwo62, 4}}})},
       {"error|reshape: The number of elements in the target shape is not the same as in the original shape",
        noResult("Reshape")}},
      {"ResizeSourceShape",
       {result("Resize", {{"resize_mode", "nearest"}, {"srcShape", {2, 2, kTwo62, kTwo62}}})},
       {"error|Invalid tensor shape: a size is negative or the byte size overflows", noResult("Resize")}},
      {"ConstantOfShape",
       {hostLayer("sizes", "InputConstant", {}, {{"constant", {4294967296.0, 1.0}}, {"constant_shape", {1, 2}}}),
        result("ConstantOfShape", {{"value", 1}}, {"sizes"})},
       {"error|Invalid tensor shape: a size is negative or the byte size overflows", noResult("ConstantOfShape")}},
      {"ConcatenateSizes",
       withEmpty(result("Concatenate", {{"axis", 0}}, {"empty", "empty"})),
       {"error|cat: tensor of shape " + kEmptyShape + " cannot be joined to shape " + kEmptyShape + " along dim 0",
        noResult("Concatenate")}},
      {"FlattenOuterSizes",
       withEmpty(result("Flatten", {{"axis", 2}}, {"empty"})),
       {"error|Layer result of type Flatten: the sizes before axis 2 multiply past 64 bits.", noResult("Flatten")}},
      {"GatherNDIndexRows",
       withEmpty(result("GatherND", {{"batch_dims", 0}}, {"npu_out", "empty"})),
       {"error|GatherND: indices of shape " + kEmptyShape + " give more rows than 64 bits hold."}},
      {"SliceBeyondInt32",
       withEmpty(result("Slice", {{"axes", {0}}, {"starts", {0}}, {"ends", {-1}}, {"steps", {1}}}, {"empty"})),
       {"error|Layer result of type Slice: start 0 and end 4611686018427387903 on axis 0 do not fit 32 bits.",
        noResult("Slice")}},
  };
}

class HostLayerSizes : public InferenceTest, public ::testing::WithParamInterface<Row> {};

TEST_P(HostLayerSizes, RequestEndsOnTheOperationsOwnLine) {
  const Row& row = GetParam();
  const HostLayersRun run = runHostLayers(row.layers);
  EXPECT_EQ(run.status, row.shape.empty() ? StatusCode::Model_PredictError : StatusCode::OK);
  EXPECT_EQ(run.shape, row.shape);
  EXPECT_EQ(run.lines, row.lines);
}

INSTANTIATE_TEST_SUITE_P(Rows, HostLayerSizes, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrane::test
