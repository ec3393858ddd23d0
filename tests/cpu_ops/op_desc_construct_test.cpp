#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <memory>

#include "op_desc_test_util.h"
#include "support/log_capture.h"

namespace kestrane {
namespace {

using halvex::DType;
using halvex::Tensor;
using test::cpuLayer;
using test::described;
using test::describeStatus;
using test::json;

TEST(OpDescRouting, BundleIndexAndSourceShapeByWhereTheLayerRuns) {
  json cpu = cpuLayer("Relu", {{"bundleIndex", 7}, {"srcShape", {1, 2}}});
  OpDesc onHost = described(cpu);
  EXPECT_EQ(onHost.bundleIndex, -1);
  EXPECT_EQ(onHost.srcShape, (std::vector<int64_t>{1, 2}));

  json npu = cpuLayer("DeepLearning", {{"isUnsupported", false}, {"srcShape", {1, 2}}});
  npu.erase("bundleIndex");
  StatusCode status = StatusCode::InternalError;
  OpDesc byDefault(npu, 3, &status);
  EXPECT_EQ(status, StatusCode::OK);
  EXPECT_EQ(byDefault.bundleIndex, 3);
  EXPECT_TRUE(byDefault.srcShape.empty());
  npu["bundleIndex"] = 5;
  OpDesc byKey(npu, 3, &status);
  EXPECT_EQ(byKey.bundleIndex, 5);
}

TEST(OpDescRouting, MissingRemoveActListOnlyWarns) {
  json layer = cpuLayer("Relu");
  layer.erase("removeActList");
  test::LogCapture log;
  EXPECT_EQ(describeStatus(layer), StatusCode::OK);
  EXPECT_EQ(log.count("warning|No removeActList on \"layer0\""), 1u);
  layer["removeActList"] = {"x", "y"};
  EXPECT_EQ(described(layer).removeActList, (std::vector<std::string>{"x", "y"}));
}

TEST(OpDescRefusal, RefusedAndUnknownTypesAreNotImplemented) {
  for (std::string type :
       {"Floor", "Minimum", "Rsqrt", "erf", "HardSwish", "AddPartial", "Clip", "DeviceBridge", "GemmConstant",
        "InstanceNormalization", "NonMaxSuppression", "StridedSlice", "Unpack", "Output", "Gather "}) {
    test::LogCapture log;
    StatusCode status = StatusCode::InternalError;
    OpDesc desc(cpuLayer(type, {{"axis", 0}}), -1, &status);
    EXPECT_EQ(status, StatusCode::NotImplemented) << type;
    EXPECT_EQ(log.count("error|Layer " + type + " is not implemented yet in cpp."), 1u) << type;
    EXPECT_EQ(desc.layerType, type);
    EXPECT_EQ(desc.axis, 0);
  }
}

TEST(OpDescRefusal, UnsupportedCastResizeModeAndScatterReduction) {
  for (std::string name : {"float16", "Int8", "int16"}) {
    test::LogCapture log;
    EXPECT_EQ(describeStatus(cpuLayer("Cast", {{"data_type", name}})), StatusCode::NotImplemented);
    EXPECT_EQ(log.count("error|Unsupported cast: " + name), 1u);
  }
  std::map<std::string, DType> names = {
      {"float64", DType::Float64}, {"float32", DType::Float32}, {"int64", DType::Int64}, {"int32", DType::Int32},
      {"int8", DType::Int8},       {"uint8", DType::UInt8},     {"bool", DType::Bool}};
  for (const auto& [name, dtype] : names) {
    EXPECT_EQ(described(cpuLayer("Cast", {{"data_type", name}})).data_type, dtype);
  }
  test::LogCapture log;
  StatusCode status = StatusCode::OK;
  OpDesc resize(cpuLayer("Resize", {{"resize_mode", "Nearest"}}), -1, &status);
  EXPECT_EQ(status, StatusCode::NotImplemented);
  EXPECT_EQ(resize.resize_mode, "Nearest");
  EXPECT_EQ(log.count("error|Unsupported Resize Mode: Nearest"), 1u);
  EXPECT_EQ(describeStatus(cpuLayer("ScatterND", {{"reduction", "sum"}})), StatusCode::NotImplemented);
  for (std::string r : {"", "none", "add", "mul", "max", "min"}) {
    EXPECT_EQ(described(cpuLayer("ScatterND", {{"reduction", r}})).reduction, r);
  }
}

// Every accepted type with every key it requires, in a valid form.
const std::map<std::string, json>& requiredKeys() {
  static const std::map<std::string, json> keys = {
      {"Reshape", {{"allowzero", false}}},
      {"ArgMax", {{"axis", 1}, {"keepdims", true}}},
      {"Cast", {{"data_type", "int32"}}},
      {"Concatenate", {{"axis", 1}}},
      {"Flatten", {{"axis", 1}}},
      {"Softmax", {{"axis", 1}}},
      {"GatherND", {{"batch_dims", 0}}},
      {"Gather", {{"axis", 0}}},
      {"GatherConstant", {{"axis", 0}}},
      {"GroupNormalization", {{"scale_shape", {2}}, {"scale", {1, 2}}, {"bias_shape", {2}}, {"bias", {0, 0}},
                              {"epsilon", 1e-5}, {"num_group", 1}}},
      {"LayerNormalization", {{"scale_shape", {2}}, {"scale", {1, 2}}, {"bias_shape", {2}}, {"bias", {0, 0}},
                              {"epsilon", 1e-5}, {"normalized_shape", {2}}}},
      {"Mod", {{"fmod", 1}}},
      {"Pow", {{"pow_shape", json::array()}, {"pow", {2}}}},
      {"ReduceSum", {{"keep_dims", true}, {"noop_with_empty_axes", false}, {"reduce_axes", {1}}}},
      {"Resize", {{"resize_mode", "linear"}}},
      {"ScatterND", {{"reduction", "none"}}},
      {"Slice", {{"axes", {0}}, {"starts", {0}}, {"ends", {1}}, {"steps", {1}}}},
      {"Squeeze", {{"axes", {0}}}},
      {"Tile", {{"repeats", {1, 2}}}},
      {"TopKValues", {{"axis", -1}, {"largest", true}, {"sorted", true}}},
      {"Transpose", {{"perm", {1, 0}}}},
      {"Split", {{"split", {1, 1}}, {"axis", 0}, {"split_index", 1}}},
      {"NMS", {{"max_output", 10}, {"iou_thres", 0.5}, {"score_thres", 0.1}, {"is_center", true}}},
      {"Shape", {{"start", 0}, {"end", 2}}},
      {"ConstantOfShape", {{"value", 2}}},
      {"Bridge", {{"squeeze_axes", {2}}, {"unsqueeze_axes", json::array()}, {"permute_axes", {0, 2, 1}}}},
      {"Reverse", {{"reverse_axes", {0}}}},
  };
  return keys;
}

TEST(OpDescRefusal, MissingOrMistypedKeysAreABrokenDescription) {
  for (const auto& [type, keys] : requiredKeys()) {
    EXPECT_EQ(describeStatus(cpuLayer(type, keys)), StatusCode::OK) << type;
    for (const auto& [key, value] : keys.items()) {
      const std::string line = "error|Broken description of layer \"layer0\", key \"" + key + "\": ";
      json missing = cpuLayer(type, keys);
      missing.erase(key);
      test::LogCapture log;
      EXPECT_EQ(describeStatus(missing), StatusCode::Model_BrokenZRB) << type << " without " << key;
      EXPECT_EQ(log.count(line + "missing"), 1u) << type << " " << key << "\n" << log.text();
      json mistyped = cpuLayer(type, keys);
      mistyped[key] = value.is_string() ? json(3) : json("text");
      EXPECT_EQ(describeStatus(mistyped), StatusCode::Model_BrokenZRB) << type << " with a mistyped " << key;
      EXPECT_EQ(log.count(line + "type must be "), 1u) << type << " " << key << "\n" << log.text();
    }
  }
}

TEST(OpDescRefusal, BrokenCommonFieldsAndNonObjects) {
  for (const char* key : {"layerName", "layerType", "inputList", "outputList", "isUnsupported", "srcShape"}) {
    test::LogCapture log;
    json missing = cpuLayer("Relu");
    missing.erase(key);
    EXPECT_EQ(describeStatus(missing), StatusCode::Model_BrokenZRB) << key;
    json mistyped = cpuLayer("Relu");
    mistyped[key] = json::object();
    EXPECT_EQ(describeStatus(mistyped), StatusCode::Model_BrokenZRB) << key;
    EXPECT_EQ(log.count("key \"" + std::string(key) + "\": "), 2u) << log.text();
  }
  EXPECT_EQ(describeStatus(cpuLayer("Relu", {{"inputList", {"a", 1}}})), StatusCode::Model_BrokenZRB);
  EXPECT_EQ(describeStatus(cpuLayer("Relu", {{"isUnsupported", 1}})), StatusCode::Model_BrokenZRB);
  EXPECT_EQ(describeStatus(cpuLayer("Relu", {{"removeActList", "x"}})), StatusCode::Model_BrokenZRB);
  EXPECT_EQ(describeStatus(cpuLayer("DeepLearning", {{"isUnsupported", false}, {"bundleIndex", "1"}})),
            StatusCode::Model_BrokenZRB);
  EXPECT_EQ(describeStatus(cpuLayer("Slice", {{"axes", {0}},
                                              {"starts", {0}},
                                              {"ends", {std::numeric_limits<double>::quiet_NaN()}},
                                              {"steps", json::array()}})),
            StatusCode::Model_BrokenZRB);
  for (json notObject : {json(3), json("Relu"), json::array({1, 2}), json(nullptr)}) {
    test::LogCapture log;
    EXPECT_EQ(describeStatus(notObject), StatusCode::Model_BrokenZRB) << notObject.dump();
    EXPECT_EQ(log.lines().size(), 1u);
  }
  StatusCode* noStatus = nullptr;
  OpDesc quiet(json(3), -1, noStatus);  // no status to write: must not crash
  EXPECT_TRUE(quiet.layerName.empty());
}

TEST(OpDescAttributes, IntegersAreReadIn64BitsAndSaturated) {
  json layer = cpuLayer("Slice", {{"axes", {0, -1}},
                                  {"starts", {std::numeric_limits<int64_t>::min(), -2}},
                                  {"ends", {std::numeric_limits<int64_t>::max(), std::numeric_limits<uint64_t>::max()}},
                                  {"steps", {4294967297LL, -1e30}}});
  OpDesc d = described(layer);
  const int32_t hi = std::numeric_limits<int32_t>::max();
  const int32_t lo = std::numeric_limits<int32_t>::min();
  EXPECT_EQ(d.axes, (std::vector<int32_t>{0, -1}));
  EXPECT_EQ(d.starts, (std::vector<int32_t>{lo, -2}));
  EXPECT_EQ(d.ends, (std::vector<int32_t>{hi, hi}));
  EXPECT_EQ(d.steps, (std::vector<int32_t>{hi, lo}));
  EXPECT_EQ(described(cpuLayer("Gather", {{"axis", 4294967296LL}})).axis, hi);
  EXPECT_EQ(described(cpuLayer("Transpose", {{"perm", {std::numeric_limits<uint64_t>::max()}}})).perm,
            (std::vector<int64_t>{std::numeric_limits<int64_t>::max()}));
}

TEST(OpDescAttributes, ConstantsWithTheirShapes) {
  EXPECT_FALSE(described(cpuLayer("AddingConstant", {{"constant", json::array()}})).constant.defined());
  Tensor one = described(cpuLayer("AddingConstant", {{"constant", {2.5}}})).constant;
  EXPECT_EQ(one.dtype(), DType::Float32);
  EXPECT_EQ(test::values(one), (std::vector<double>{2.5}));
  for (auto [shape, want] : std::vector<std::pair<json, std::vector<int64_t>>>{
           {json(nullptr), {1}}, {json::array(), {1}}, {{1, 1}, {1, 1}}}) {
    json layer = cpuLayer("AddingConstant", {{"constant", {2.5}}});
    if (!shape.is_null()) layer["constant_shape"] = shape;
    EXPECT_EQ(described(layer).constant.shape(), want) << shape.dump();
  }
  OpDesc both = described(cpuLayer("Where", {{"constant", {1, 2, 3, 4, 5, 6}},
                                             {"constant_shape", {2, 3}},
                                             {"constant2", {7}},
                                             {"is_const_second", true},
                                             {"is_const_third", true}}));
  EXPECT_EQ(both.constant.shape(), (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(test::values(both.constant2), (std::vector<double>{7}));
  // A shape that does not fit the values loses nothing silently.
  EXPECT_EQ(describeStatus(cpuLayer("AddingConstant", {{"constant", {1, 2, 3}}, {"constant_shape", {2, 2}}})),
            StatusCode::Model_BrokenZRB);
  EXPECT_EQ(describeStatus(cpuLayer("Pow", {{"pow_shape", {3}}, {"pow", {1, 2}}})), StatusCode::Model_BrokenZRB);
  EXPECT_EQ(describeStatus(cpuLayer("AddingConstant", {{"constant", {1, true}}})), StatusCode::Model_BrokenZRB);
}

TEST(OpDescAttributes, ShapedPowAndScalarsOfAnyJsonType) {
  // Attributes the layers read are checked by running them in python/.
  OpDesc pow = described(cpuLayer("Pow", {{"pow_shape", {2, 1}}, {"pow", {2, 3}}}));
  EXPECT_EQ(pow.pow.shape(), (std::vector<int64_t>{2, 1}));
  EXPECT_EQ(pow.pow.dtype(), DType::Float32);
  for (auto [value, want] : std::vector<std::pair<json, float>>{{true, 1.0f}, {3, 3.0f}, {0.25, 0.25f}}) {
    EXPECT_EQ(described(cpuLayer("ConstantOfShape", {{"value", value}})).value, want);
  }
  EXPECT_EQ(described(cpuLayer("Relu")).score_thres, -99999.0);
  // A type written in capitals is described like its camel-case spelling.
  EXPECT_EQ(described(cpuLayer("GATHER", {{"axis", 2}})).axis, 2);
}

TEST(OpDescAttributes, CopiesOutliveTheirOriginal) {
  auto original = std::make_unique<OpDesc>(described(cpuLayer("Transpose", {{"perm", {1, 0}}})));
  OpDesc copy = *original;
  auto tile = std::make_unique<OpDesc>(described(cpuLayer("Tile", {{"repeats", {2, 1}}})));
  OpDesc tileCopy = *tile;
  original.reset();
  tile.reset();
  StatusCode status = StatusCode::InternalError;
  Tensor x = test::floats({1, 2, 3, 4, 5, 6}, {2, 3});
  EXPECT_EQ(test::values(copy.runCPU({x}, &status)), (std::vector<double>{1, 4, 2, 5, 3, 6}));
  EXPECT_EQ(status, StatusCode::OK);
  EXPECT_EQ(tileCopy.runCPU({x}, &status).shape(), (std::vector<int64_t>{4, 3}));
}

}  // namespace
}  // namespace kestrane
