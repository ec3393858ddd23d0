// Layers that adapt the previous layer's output to the compiled shape:
// Reshape, Bridge, Resize and the Reduce family.

#include <algorithm>

#include "halvex/functional.h"
#include "layers/op_desc.h"
#include "op_desc_util.h"

namespace kestrane {

using halvex::DType;
using halvex::Tensor;
using opdesc::normaliseAxis;

StatusCode OpDesc::predictReshape(const TensorList& inputs, Tensor* result) const {
  if (inputs.empty() || inputs[0].ndim() == 0 || srcShape.empty()) {
    OPDESC_PREDICT_ERROR("Layer {} of type {} needs an input with a batch dimension and a srcShape.", layerName,
                         layerType);
  }
  const Tensor& x = inputs[0];
  std::vector<int64_t> shape = srcShape;
  if (!allowzero) {
    for (size_t i = 0; i < srcShape.size(); ++i) {
      if (srcShape[i] != 0) continue;
      if (static_cast<int64_t>(i) >= x.ndim()) {
        OPDESC_PREDICT_ERROR(
            "AllowZero attribute is set to false for layer {} of type {}, but shape cannot be inferred from "
            "input_shape.",
            layerName, layerType);
      }
      shape[i] = x.size(static_cast<int64_t>(i));
    }
  }
  // The batch dimension follows the input, not the compiled shape.
  shape[0] = x.size(0);
  *result = x.reshape(shape);
  return StatusCode::OK;
}

StatusCode OpDesc::predictBridge(const TensorList& inputs, Tensor* result) const {
  if (inputs.empty()) OPDESC_PREDICT_ERROR("BridgeLayer {} has no input.", layerName);
  Tensor r = inputs[0];
  const int64_t compiledRank = static_cast<int64_t>(srcShape.size());
  if (!axes.empty() && r.ndim() > compiledRank) {
    for (int32_t a : axes) {
      int64_t dim = 0;
      if (!normaliseAxis(a, r.ndim(), &dim))
        OPDESC_PREDICT_ERROR("BridgeLayer {} has invalid squeeze axes.", layerName);
      r = r.squeeze(dim);
    }
  }
  if (!unsqueeze_axes.empty() && r.ndim() < compiledRank) {
    for (int32_t a : unsqueeze_axes) {
      int64_t dim = 0;
      if (!normaliseAxis(a, r.ndim() + 1, &dim)) {
        OPDESC_PREDICT_ERROR("BridgeLayer {} has invalid unsqueeze axes.", layerName);
      }
      r = r.unsqueeze(dim);
    }
  }
  *result = r;
  if (perm.empty()) return StatusCode::OK;
  std::vector<int64_t> dims(perm.size());
  bool valid = static_cast<int64_t>(perm.size()) == r.ndim();
  for (size_t i = 0; valid && i < perm.size(); ++i) valid = normaliseAxis(perm[i], r.ndim(), &dims[i]);
  if (!valid) OPDESC_PREDICT_ERROR("BridgeLayer {} has invalid permute axes.", layerName);
  bool identity = true;
  for (size_t i = 0; i < dims.size(); ++i) identity = identity && dims[i] == static_cast<int64_t>(i);
  if (!identity) *result = r.permute(dims).contiguous();
  return StatusCode::OK;
}

StatusCode OpDesc::predictResize(const TensorList& inputs, Tensor* result) const {
  if (inputs.empty()) OPDESC_PREDICT_ERROR("Layer {} of type {} has no input.", layerName, layerType);
  const Tensor& x = inputs[0];
  const int64_t rank = x.ndim();
  if (rank != static_cast<int64_t>(srcShape.size())) {
    OPDESC_PREDICT_ERROR("Input nDim ({}) and Target nDim ({}) are different.", rank, srcShape.size());
  }
  // Dimensions that change move to the end, where interpolation resizes
  // them. The batch dimension is never resized: it follows the input.
  std::vector<int64_t> order;
  std::vector<int64_t> changed;
  for (int64_t i = 0; i < rank; ++i) {
    (i == 0 || x.size(i) == srcShape[static_cast<size_t>(i)] ? order : changed).push_back(i);
  }
  order.insert(order.end(), changed.begin(), changed.end());
  std::vector<int64_t> inverse(order.size());
  for (size_t j = 0; j < order.size(); ++j) inverse[static_cast<size_t>(order[j])] = static_cast<int64_t>(j);
  halvex::nn::functional::InterpolateOptions options;
  for (size_t j = 2; j < order.size(); ++j) options.size.push_back(srcShape[static_cast<size_t>(order[j])]);
  options.mode = resize_mode == "linear" ? halvex::nn::functional::kInterpolateLinear
                                         : halvex::nn::functional::kInterpolateNearest;
  Tensor y = halvex::nn::functional::interpolate(x.permute(order), options);
  *result = y.defined() ? y.permute(inverse) : y;
  return StatusCode::OK;
}

StatusCode OpDesc::predictReduce(const TensorList& inputs, Tensor* result) const {
  enum class Kind { Min, Max, Prod, Mean, Sum } kind;
  if (layerType == "ReduceMin") {
    kind = Kind::Min;
  } else if (layerType == "ReduceMax") {
    kind = Kind::Max;
  } else if (layerType == "ReduceProd") {
    kind = Kind::Prod;
  } else if (layerType == "ReduceMean") {
    kind = Kind::Mean;
  } else if (layerType == "ReduceSum") {
    kind = Kind::Sum;
  } else {
    OPDESC_PREDICT_ERROR("This layer is invalid for Reduce Operations.");
  }
  if (inputs.empty()) OPDESC_PREDICT_ERROR("Layer {} of type {} has no input.", layerName, layerType);
  Tensor r = inputs[0];
  if (kind == Kind::Mean && r.dtype() != DType::Float32) r = r.to(DType::Float32);
  if (axes.empty()) {
    if (noop_with_empty_axes) {
      *result = inputs[0];
      return StatusCode::OK;
    }
    switch (kind) {
      case Kind::Min:
        *result = r.min();
        break;
      case Kind::Max:
        *result = r.max();
        break;
      case Kind::Prod:
        *result = r.prod();
        break;
      case Kind::Mean:
        *result = r.mean();
        break;
      case Kind::Sum:
        *result = r.sum();
        break;
    }
    return StatusCode::OK;
  }
  // Each axis indexes the tensor reduced by the entries before it.
  for (int32_t a : axes) {
    int64_t dim = 0;
    if (!normaliseAxis(a, r.ndim(), &dim)) {
      OPDESC_PREDICT_ERROR("Layer {} of type {}: axis {} is out of range for rank {}", layerName, layerType, a,
                           r.ndim());
    }
    switch (kind) {
      case Kind::Min:
        r = std::get<0>(r.min(dim, keepdims));
        break;
      case Kind::Max:
        r = std::get<0>(r.max(dim, keepdims));
        break;
      case Kind::Prod:
        r = r.prod(dim, keepdims);
        break;
      case Kind::Mean:
        r = r.mean(dim, keepdims);
        break;
      case Kind::Sum:
        r = r.sum(dim, keepdims);
        break;
    }
    if (!r.defined()) break;
  }
  *result = r;
  return StatusCode::OK;
}

}  // namespace kestrane
