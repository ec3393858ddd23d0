// A host layer's axis counts from the end of the rank it refers to; one
// outside that rank fails the request with Model_PredictError after the
// layer's out-of-range line, and no output.

#include <cstdint>
#include <string>
#include <vector>

#include "inference_fixture.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

struct Row {
  const char* name;
  const char* type;
  json attributes;
  std::vector<std::string> lines;   // the error lines, in order
  std::vector<int64_t> shape = {};  // the output's, for a request that runs
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

std::string outOfRange(const char* type, int axis, int rank) {
  return "error|Layer result of type " + std::string(type) + ": axis " + std::to_string(axis) +
         " is out of range for rank " + std::to_string(rank);
}

// The last layer, "result", reads "npu_out" of shape (2, 2, 2, 4).
const Row kRows[] = {
    {"FlattenFromTheLastDimension", "Flatten", {{"axis", -1}}, {}, {8, 4}},
    {"FlattenFromTheRank", "Flatten", {{"axis", 4}}, {}, {32, 1}},
    {"FlattenBeforeTheFirstDimension", "Flatten", {{"axis", -5}}, {outOfRange("Flatten", -5, 4)}},
    {"FlattenPastTheRank", "Flatten", {{"axis", 5}}, {outOfRange("Flatten", 5, 4)}},
    {"SoftmaxAtTheRank", "Softmax", {{"axis", 4}}, {outOfRange("Softmax", 4, 4)}},
    {"UnsqueezeBeforeTheFirstPlace", "Unsqueeze", {{"axes", {-6}}}, {outOfRange("Unsqueeze", -6, 5)}},
};

class HostLayerAxes : public InferenceTest, public ::testing::WithParamInterface<Row> {};

TEST_P(HostLayerAxes, NegativeAxesCountFromTheEndAndOthersOutsideFailTheRequest) {
  const Row& row = GetParam();
  json result = {{"layerName", "result"},       {"layerType", row.type},    {"isUnsupported", true},
                 {"inputList", {"npu_out"}},    {"outputList", {"result"}}, {"srcShape", json::array()},
                 {"removeActList", {"npu_out"}}};
  result.update(row.attributes);
  const HostLayersRun run = runHostLayers(json::array({result}));
  EXPECT_EQ(run.status, row.shape.empty() ? StatusCode::Model_PredictError : StatusCode::OK);
  EXPECT_EQ(run.shape, row.shape);
  EXPECT_EQ(run.lines, row.lines);
}

INSTANTIATE_TEST_SUITE_P(Rows, HostLayerAxes, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrane::test
