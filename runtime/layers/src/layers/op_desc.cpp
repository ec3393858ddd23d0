// Construction of a layer description from its layer object.

#include "layers/op_desc.h"

#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "core/log.h"
#include "halvex/free_functions.h"
#include "layers/description_numbers.h"

namespace kestrane {

using halvex::DType;
using halvex::Tensor;
using json = nlohmann::json;

namespace {

// A layer object refused at one of its keys; what() says what is wrong there.
class BrokenKey : public std::runtime_error {
 public:
  BrokenKey(std::string key, const std::string& reason) : std::runtime_error(reason), key_(std::move(key)) {}
  const std::string& key() const { return key_; }

 private:
  std::string key_;
};

// The JSON library's message without its tag ("[json.exception.type_error.302] ").
std::string untagged(std::string_view what) {
  const size_t end = what.find("] ");
  if (what.rfind("[json.exception.", 0) == 0 && end != std::string_view::npos) what.remove_prefix(end + 2);
  return std::string(what);
}

// read(value of key): the key missing, or any error of read, is a BrokenKey.
// Every value of a layer object is read through here, so that the refusal
// names its key.
template <typename Read>
auto readAt(const json& layer, const char* key, Read read) {
  const auto it = layer.find(key);
  if (it == layer.end()) throw BrokenKey(key, "missing");
  try {
    return read(*it);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    throw BrokenKey(key, untagged(e.what()));
  }
}

int32_t saturateInt32(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

const json& asArray(const json& v) {
  if (!v.is_array()) v.get<std::vector<json>>();  // the JSON library's own type error
  return v;
}

std::string readString(const json& layer, const char* key) {
  return readAt(layer, key, [](const json& v) { return v.get<std::string>(); });
}

bool readBool(const json& layer, const char* key) {
  return readAt(layer, key, [](const json& v) { return v.get<bool>(); });
}

double readDouble(const json& layer, const char* key) {
  return readAt(layer, key, [](const json& v) { return v.get<double>(); });
}

int32_t readInt32(const json& layer, const char* key) {
  return readAt(layer, key, [](const json& v) { return saturateInt32(readInt64(v)); });
}

std::vector<int64_t> readInt64List(const json& layer, const char* key) {
  return readAt(layer, key, [](const json& v) {
    std::vector<int64_t> out;
    for (const json& e : asArray(v)) out.push_back(readInt64(e));
    return out;
  });
}

std::vector<int32_t> readInt32List(const json& layer, const char* key) {
  return readAt(layer, key, [](const json& v) {
    std::vector<int32_t> out;
    for (const json& e : asArray(v)) out.push_back(saturateInt32(readInt64(e)));
    return out;
  });
}

std::vector<double> readDoubleList(const json& layer, const char* key) {
  return readAt(layer, key, [](const json& v) { return asArray(v).get<std::vector<double>>(); });
}

std::vector<std::string> readStringList(const json& layer, const char* key) {
  return readAt(layer, key, [](const json& v) { return asArray(v).get<std::vector<std::string>>(); });
}

// pow, scale and bias: a required shape key and a required list of values.
Tensor readShapedAttribute(const json& layer, const char* shapeKey, const char* valueKey, DType dtype) {
  std::vector<int64_t> shape = readInt64List(layer, shapeKey);
  std::vector<double> values = readDoubleList(layer, valueKey);
  Tensor t = halvex::fromVector(values).reshape(shape).to(dtype);
  if (!t.defined()) throw BrokenKey(valueKey, fmt::format("its values do not fit \"{}\"", shapeKey));
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

std::string LayerRefusal::describe(const std::string& layerName) const {
  if (key.empty()) return fmt::format("layer \"{}\": {}", layerName, reason);
  return fmt::format("layer \"{}\", key \"{}\": {}", layerName, key, reason);
}

OpDesc::OpDesc(const json& layer, int32_t defaultBundleIndex, StatusCode* status, LayerRefusal* refusal) {
  StatusCode ignored = StatusCode::OK;
  StatusCode& st = status != nullptr ? *status : ignored;
  dtypeByName = {{"float64", DType::Float64}, {"float32", DType::Float32}, {"int64", DType::Int64},
                 {"int32", DType::Int32},     {"int8", DType::Int8},       {"uint8", DType::UInt8},
                 {"bool", DType::Bool}};
  std::optional<LayerRefusal> broken;
  try {
    if (!layer.is_object()) {
      throw std::runtime_error(fmt::format("a layer must be an object, but is {}", layer.type_name()));
    }
    layerName = readString(layer, "layerName");
    layerType = readString(layer, "layerType");
    inputList = readStringList(layer, "inputList");
    outputList = readStringList(layer, "outputList");
    isUnsupported = readBool(layer, "isUnsupported");
    if (isUnsupported) {
      srcShape = readInt64List(layer, "srcShape");
    } else {
      bundleIndex = layer.contains("bundleIndex") ? readInt32(layer, "bundleIndex") : defaultBundleIndex;
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
  } catch (const BrokenKey& e) {
    broken = LayerRefusal{e.key(), e.what()};
  } catch (const std::exception& e) {
    broken = LayerRefusal{{}, e.what()};
  }
  if (!broken) return;
  st = StatusCode::Model_BrokenZRB;
  if (refusal != nullptr) {
    *refusal = std::move(*broken);
  } else {
    KLOG_ERROR("Broken description of {}", broken->describe(layerName));
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
      allowzero = readBool(layer, "allowzero");
      readConstantInputs(layer);
      break;
    case OpDescType::ArgMax:
      axis = readInt32(layer, "axis");
      keepdims = readBool(layer, "keepdims");
      break;
    case OpDescType::Cast: {
      std::string name = readString(layer, "data_type");
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
      axis = readInt32(layer, "axis");
      break;
    case OpDescType::GatherND:
      readConstantInputs(layer);
      batch_dims = readInt32(layer, "batch_dims");
      break;
    case OpDescType::Gather:
    case OpDescType::GatherConstant:
      readConstantInputs(layer);
      axis = readInt32(layer, "axis");
      break;
    case OpDescType::GroupNormalization:
    case OpDescType::LayerNormalization:
      scale = readShapedAttribute(layer, "scale_shape", "scale", attributeDtype);
      bias = readShapedAttribute(layer, "bias_shape", "bias", attributeDtype);
      epsilon = readDouble(layer, "epsilon");
      if (opType == OpDescType::GroupNormalization) {
        num_group = readInt32(layer, "num_group");
      } else {
        normalized_shape = readInt64List(layer, "normalized_shape");
      }
      break;
    case OpDescType::Mod:
      fmod = readInt32(layer, "fmod");
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
      keepdims = readBool(layer, "keep_dims");
      noop_with_empty_axes = readBool(layer, "noop_with_empty_axes");
      axes = readInt32List(layer, "reduce_axes");
      break;
    case OpDescType::Resize:
      resize_mode = readString(layer, "resize_mode");
      if (resize_mode != "nearest" && resize_mode != "linear") {
        KLOG_ERROR("Unsupported Resize Mode: {}", resize_mode);
        *status = StatusCode::NotImplemented;
      }
      break;
    case OpDescType::ScatterND:
      readConstantInputs(layer);
      reduction = readString(layer, "reduction");
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
      axis = readInt32(layer, "axis");
      largest = readBool(layer, "largest");
      sorted = readBool(layer, "sorted");
      break;
    case OpDescType::Transpose:
      perm = readInt64List(layer, "perm");
      break;
    case OpDescType::Split:
      split = readInt64List(layer, "split");
      axis = readInt32(layer, "axis");
      split_index = readInt32(layer, "split_index");
      break;
    case OpDescType::Nms:
      max_output = readInt32(layer, "max_output");
      iou_thres = readDouble(layer, "iou_thres");
      score_thres = readDouble(layer, "score_thres");
      is_center = readBool(layer, "is_center");
      break;
    case OpDescType::Shape:
      start = readInt32(layer, "start");
      end = readInt32(layer, "end");
      break;
    case OpDescType::ConstantOfShape:
      value = readAt(layer, "value", [](const json& v) {
        return v.is_boolean() ? (v.get<bool>() ? 1.0f : 0.0f) : static_cast<float>(v.get<double>());
      });
      break;
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
  Tensor t = halvex::fromVector(readDoubleList(layer, key.c_str())).to(attributeDtype);
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
      throw BrokenKey(key, fmt::format("its values do not fit \"{}_shape\"", key));
    }
    if (t.defined() && t.numel() >= 1) *field = t;
  }
  for (auto [key, flag] : {std::pair<const char*, bool*>{"is_const_first", &is_const_first},
                           {"is_const_second", &is_const_second},
                           {"is_const_third", &is_const_third}}) {
    if (layer.contains(key)) *flag = readBool(layer, key);
  }
}

}  // namespace kestrane
