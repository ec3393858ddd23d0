#pragma once

// Layer objects and tensors for the layer-description tests.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "halvex/free_functions.h"
#include "layers/op_desc.h"

namespace kestrane::test {

using nlohmann::json;

// A CPU layer object of the type with the given attributes merged in.
inline json cpuLayer(const std::string& type, const json& attributes = json::object()) {
  json layer = {{"layerName", "layer0"},         {"layerType", type},     {"inputList", {"a"}},
                {"outputList", {"b"}},           {"isUnsupported", true}, {"srcShape", json::array()},
                {"removeActList", json::array()}};
  layer.update(attributes);
  return layer;
}

// The description of a layer object that must be accepted.
inline OpDesc described(const json& layer) {
  StatusCode status = StatusCode::InternalError;
  OpDesc desc(layer, -1, &status);
  EXPECT_EQ(status, StatusCode::OK) << layer.dump();
  return desc;
}

inline StatusCode describeStatus(const json& layer) {
  StatusCode status = StatusCode::InternalError;
  OpDesc desc(layer, -1, &status);
  return status;
}

inline halvex::Tensor floats(const std::vector<double>& v, std::vector<int64_t> shape = {}) {
  halvex::Tensor t = halvex::fromVector(v).to(halvex::DType::Float32);
  return shape.empty() ? t : t.reshape(shape);
}

inline halvex::Tensor longs(const std::vector<int64_t>& v, std::vector<int64_t> shape = {}) {
  halvex::Tensor t = halvex::fromVector(v);
  return shape.empty() ? t : t.reshape(shape);
}

inline std::vector<double> values(const halvex::Tensor& t) { return halvex::toDoubleVector(t); }

}  // namespace kestrane::test
