// Construction of a layer description from its layer object.

#include "layers/op_desc.h"

#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "core/log.h"
#include "halvex/free_functions.h"
#include "layers/description_numbers.h"

namespace kestrane {

using halvex::DType;
using halvex::Tensor;
using json = nlohmann::json;

namespace {

// A description value that no JSON type error covers (a shape that does not
// fit its values).
class BrokenValue : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

int32_t saturateInt32(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

int32_t readInt32(const json& v) { return saturateInt32(readInt64(v)); }

const json& arrayAt(const json& layer, const char* key) {
  const json& v = layer.at(key);
  if (!v.is_array()) v.get<std::vector<json>>();  // the JSON library's own type error
  return v;
}

std::vector<int64_t> readInt64List(const json& layer, const char* key) {
  std::vector<int64_t> out;
  for (const json& e : arrayAt(layer, key)) out.push_back(readInt64(e));
  return out;
}

std::vector<int32_t> readInt32List(const json& layer, const char* key) {
  std::vector<int32_t> out;
  for (const json& e : arrayAt(layer, key)) out.push_back(readInt32(e));
  return out;
}

std::vector<std::string> readStringList(const json& layer, const char* key) {
  return arrayAt(layer, key).get<std::vector<std::string>>();
}

// pow, scale and bias: a required shape key and a required list of values.
Tensor readShapedAttribute(const json& layer, const char* shapeKey, const char* valueKey, DType dtype) {
  std::vector<int64_t> shape = readInt64List(layer, shapeKey);
  std::vector<double> values = arrayAt(layer, valueKey).get<std::vector<double>>();
  Tensor t = halvex::fromVector(values).reshape(shape).to(dtype);
  if (!t.defined()) throw BrokenValue(fmt::format("\"{}\" does not fit \"{}\"", shapeKey, valueKey));
  return t;
}

bool isRefused(OpDescType t) {
  switch (t) {
    case OpDescType::Floor:
    case OpDescType::Minimum:
    case OpDescType::Rsqrt:
    case OpDescType::Erf:
    case OpDescType::HardSwish:
    case OpDescType::AddPartial:
    case OpDescType::Clip:
    case OpDescType::DeviceBridge:
    case OpDescType::GemmConstant:
    case OpDescType::InstanceNormalization:
    case OpDescType::NonMaxSuppression:
    case OpDescType::StridedSlice:
    case OpDescType::Unpack:
    case OpDescType::Unknown:
      return true;
    default:
      return false;
  }
}

bool isKnownReduction(const std::string& r) {
  return r.empty() || r == "none" || r == "add" || r == "mul" || r == "max" || r == "min";
}

}  // namespace

OpDesc::OpDesc(const json& layer, int32_t defaultBundleIndex, StatusCode* status) {
  StatusCode ignored = StatusCode::OK;
  StatusCode& st = status != nullptr ? *status : ignored;
  dtypeByName = {{"float64", DType::Float64}, {"float32", DType::Float32}, {"int64", DType::Int64},
                 {"int32", DType::Int32},     {"int8", DType::Int8},       {"uint8", DType::UInt8},
                 {"bool", DType::Bool}};
  try {
    if (!layer.is_object()) throw BrokenValue(fmt::format("a layer must be an object, but is {}", layer.type_name()));
    layerName = layer.at("layerName").get<std::string>();
    layerType = layer.at("layerType").get<std::string>();
    inputList = readStringList(layer, "inputList");
    outputList = readStringList(layer, "outputList");
    isUnsupported = layer.at("isUnsupported").get<bool>();
    if (isUnsupported) {
      srcShape = readInt64List(layer, "srcShape");
    } else {
      bundleIndex = layer.contains("bundleIndex") ? readInt32(layer["bundleIndex"]) : defaultBundleIndex;
    }
    if (layer.contains("removeActList")) {
      removeActList = readStringList(layer, "removeActList");
    } else {
      KLOG_WARN("No removeActList on \"{}\"", layerName);
    }
    st = StatusCode::OK;
    opType = OpDescTypeMapper::fromString(layerType);
    if (isRefused(opType)) {
      KLOG_ERROR("Layer {} is not implemented yet in cpp.", layerType);
      st = StatusCode::NotImplemented;
      return;
    }
    readTypeAttributes(layer, &st);
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("Out of memory while reading the description of layer \"{}\"", layerName);
    st = StatusCode::BadAlloc;
  } catch (const std::exception& e) {
    KLOG_ERROR("Broken description of layer \"{}\": {}", layerName, e.what());
    st = StatusCode::Model_BrokenZRB;
  }
}

void OpDesc::readTypeAttributes(const json& layer, StatusCode* status) {
  switch (opType) {
    case OpDescType::And:
    case OpDescType::AddingConstant:
    case OpDescType::DivConstant:
    case OpDescType::Equal:
    case OpDescType::Greater:
    case OpDescType::Less:
    case OpDescType::MultiplyConstant:
    case OpDescType::Or:
    case OpDescType::SubConstant:
    case OpDescType::Where:
    case OpDescType::Xor:
    case OpDescType::Expand:
    case OpDescType::Range:
    case OpDescType::InputConstant:
      readConstantInputs(layer);
      break;
    case OpDescType::Reshape:
      allowzero = layer.at("allowzero").get<bool>();
      readConstantInputs(layer);
      break;
    case OpDescType::ArgMax:
      axis = readInt32(layer.at("axis"));
      keepdims = layer.at("keepdims").get<bool>();
      break;
    case OpDescType::Cast: {
      std::string name = layer.at("data_type").get<std::string>();
      auto it = dtypeByName.find(name);
      if (it != dtypeByName.end()) {
        data_type = it->second;
      } else {
        KLOG_ERROR("Unsupported cast: {}", name);
        *status = StatusCode::NotImplemented;
      }
      break;
    }
    case OpDescType::Concatenate:
    case OpDescType::Flatten:
    case OpDescType::Softmax:
      axis = readInt32(layer.at("axis"));
      break;
    case OpDescType::GatherND:
      readConstantInputs(layer);
      batch_dims = readInt32(layer.at("batch_dims"));
      break;
    case OpDescType::Gather:
    case OpDescType::GatherConstant:
      readConstantInputs(layer);
      axis = readInt32(layer.at("axis"));
      break;
    case OpDescType::GroupNormalization:
    case OpDescType::LayerNormalization:
      scale = readShapedAttribute(layer, "scale_shape", "scale", attributeDtype);
      bias = readShapedAttribute(layer, "bias_shape", "bias", attributeDtype);
      epsilon = layer.at("epsilon").get<double>();
      if (opType == OpDescType::GroupNormalization) {
        num_group = readInt32(layer.at("num_group"));
      } else {
        normalized_shape = readInt64List(layer, "normalized_shape");
      }
      break;
    case OpDescType::Mod:
      fmod = readInt32(layer.at("fmod"));
      readConstantInputs(layer);
      break;
    case OpDescType::Pow:
      pow = readShapedAttribute(layer, "pow_shape", "pow", attributeDtype);
      break;
    case OpDescType::ReduceMax:
    case OpDescType::ReduceMean:
    case OpDescType::ReduceProd:
    case OpDescType::ReduceSum:
    case OpDescType::ReduceMin:
      keepdims = layer.at("keep_dims").get<bool>();
      noop_with_empty_axes = layer.at("noop_with_empty_axes").get<bool>();
      axes = readInt32List(layer, "reduce_axes");
      break;
    case OpDescType::Resize:
      resize_mode = layer.at("resize_mode").get<std::string>();
      if (resize_mode != "nearest" && resize_mode != "linear") {
        KLOG_ERROR("Unsupported Resize Mode: {}", resize_mode);
        *status = StatusCode::NotImplemented;
      }
      break;
    case OpDescType::ScatterND:
      readConstantInputs(layer);
      reduction = layer.at("reduction").get<std::string>();
      if (!isKnownReduction(reduction)) {
        KLOG_ERROR("Unsupported ScatterND reduction: {}", reduction);
        *status = StatusCode::NotImplemented;
      }
      break;
    case OpDescType::Slice:
      axes = readInt32List(layer, "axes");
      starts = readInt32List(layer, "starts");
      ends = readInt32List(layer, "ends");
      steps = readInt32List(layer, "steps");
      break;
    case OpDescType::Squeeze:
    case OpDescType::Unsqueeze:
      axes = readInt32List(layer, "axes");
      break;
    case OpDescType::Tile:
      repeats = readInt64List(layer, "repeats");
      break;
    case OpDescType::TopKIndices:
    case OpDescType::TopKValues:
      readConstantInputs(layer);
      axis = readInt32(layer.at("axis"));
      largest = layer.at("largest").get<bool>();
      sorted = layer.at("sorted").get<bool>();
      break;
    case OpDescType::Transpose:
      perm = readInt64List(layer, "perm");
      break;
    case OpDescType::Split:
      split = readInt64List(layer, "split");
      axis = readInt32(layer.at("axis"));
      split_index = readInt32(layer.at("split_index"));
      break;
    case OpDescType::Nms:
      max_output = readInt32(layer.at("max_output"));
      iou_thres = layer.at("iou_thres").get<double>();
      score_thres = layer.at("score_thres").get<double>();
      is_center = layer.at("is_center").get<bool>();
      break;
    case OpDescType::Shape:
      start = readInt32(layer.at("start"));
      end = readInt32(layer.at("end"));
      break;
    case OpDescType::ConstantOfShape: {
      const json& v = layer.at("value");
      value = v.is_boolean() ? (v.get<bool>() ? 1.0f : 0.0f) : static_cast<float>(v.get<double>());
      break;
    }
    case OpDescType::Bridge:
      axes = readInt32List(layer, "squeeze_axes");
      unsqueeze_axes = readInt32List(layer, "unsqueeze_axes");
      perm = readInt64List(layer, "permute_axes");
      break;
    case OpDescType::Reverse:
      reverse_axes = readInt64List(layer, "reverse_axes");
      break;
    default:
      break;  // no attributes
  }
}

Tensor OpDesc::readTensorAttribute(const json& layer, const std::string& key) const {
  if (!layer.contains(key)) return {};
  std::vector<double> values = arrayAt(layer, key.c_str()).get<std::vector<double>>();
  Tensor t = halvex::fromVector(values).to(attributeDtype);
  const std::string shapeKey = key + "_shape";
  if (layer.contains(shapeKey)) {
    std::vector<int64_t> shape = readInt64List(layer, shapeKey.c_str());
    if (!shape.empty()) t = t.reshape(shape);
  }
  return t;
}

void OpDesc::readConstantInputs(const json& layer) {
  for (auto [key, field] : {std::pair<const char*, Tensor*>{"constant", &constant}, {"constant2", &constant2}}) {
    Tensor t = readTensorAttribute(layer, key);
    if (!t.defined() && layer.contains(key) && !layer[key].empty()) {
      throw BrokenValue(fmt::format("\"{}_shape\" does not fit \"{}\"", key, key));
    }
    if (t.defined() && t.numel() >= 1) *field = t;
  }
  for (auto [key, flag] : {std::pair<const char*, bool*>{"is_const_first", &is_const_first},
                           {"is_const_second", &is_const_second},
                           {"is_const_third", &is_const_third}}) {
    if (layer.contains(key)) *flag = layer[key].get<bool>();
  }
}

}  // namespace kestrane
