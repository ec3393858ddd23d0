// Operand assembly from inputs and constants, GatherND and ScatterND.

#include <fmt/ranges.h>

#include <algorithm>

#include "halvex/checked_size.h"
#include "halvex/free_functions.h"
#include "halvex/indexing.h"
#include "layers/op_desc.h"
#include "op_desc_util.h"

namespace kestrane {

using halvex::DType;
using halvex::Tensor;
using halvex::indexing::TensorIndex;

std::pair<Tensor, Tensor> OpDesc::prepareInputs2(const TensorList& inputs) const {
  const size_t n = inputs.size();
  if (n == 1) {
    if (!constant.defined()) {
      KLOG_ERROR(
          "Layer {} of type {} is expected to have two inputs, but only one input is provided from the previous "
          "layer. A constant value is required, but it cannot be found.",
          layerName, layerType);
    }
    return is_const_first ? std::make_pair(constant, inputs[0]) : std::make_pair(inputs[0], constant);
  }
  if (n == 2) return {inputs[0], inputs[1]};
  KLOG_ERROR("The size of inputTensors is not 1 or 2, but {}", n);
  return {};
}

std::tuple<Tensor, Tensor, Tensor> OpDesc::prepareInputs3(const TensorList& inputs) const {
  const size_t n = inputs.size();
  if (n == 0 || n > 3) {
    KLOG_ERROR("inputTensor is expected to have 1, 2, or 3 elements, but it has {} elements.", n);
  }
  std::vector<Tensor> constants;
  if (constant.defined()) constants.push_back(constant);
  if (constant2.defined()) constants.push_back(constant2);
  if (n + constants.size() != 3) {
    KLOG_ERROR("Total number of constant and nonconstant inputs is expected to be 3, but it is {}.",
               n + constants.size());
  }
  const bool flags[3] = {is_const_first, is_const_second, is_const_third};
  const size_t setFlags = static_cast<size_t>(std::count(flags, flags + 3, true));
  if (setFlags != constants.size()) {
    KLOG_ERROR("Number of constant inputs is expected to be {}, but it is {}.", setFlags, constants.size());
  }
  // Operands that run out of constants or inputs stay undefined.
  Tensor operands[3];
  size_t nextConstant = 0;
  size_t nextInput = 0;
  for (size_t k = 0; k < 3; ++k) {
    if (flags[k]) {
      if (nextConstant < constants.size()) operands[k] = constants[nextConstant++];
    } else if (nextInput < n) {
      operands[k] = inputs[nextInput++];
    }
  }
  return {operands[0], operands[1], operands[2]};
}

void OpDesc::wrapNegativeIndices(Tensor& indices, int32_t size) {
  Tensor wrapped = (indices + size).where(indices < 0, indices);
  if (wrapped.defined()) indices.copy_(wrapped.to(indices.dtype()));
}

StatusCode OpDesc::predictGatherND(const Tensor& data, const Tensor& indices, int32_t batchDims, Tensor* result) const {
  if (!data.defined() || !indices.defined()) OPDESC_PREDICT_ERROR("GatherND needs data and indices.");
  const int64_t dataRank = data.ndim();
  const int64_t indicesRank = indices.ndim();
  if (dataRank < 1 || indicesRank < 1 || batchDims < 0 || batchDims >= std::min(dataRank, indicesRank)) {
    OPDESC_PREDICT_ERROR("Invalid dataRank: {}, indicesRank: {}, batchDims: {}", dataRank, indicesRank, batchDims);
  }
  const int64_t k = indices.size(indicesRank - 1);
  if (k > dataRank - batchDims) {
    OPDESC_PREDICT_ERROR("indices.size(-1) > dataRank - batchDims, indices.size(-1): {}, dataRank: {}, batchDims: {}",
                         k, dataRank, batchDims);
  }
  for (int64_t i = 0; i < batchDims; ++i) {
    if (data.size(i) != indices.size(i)) {
      OPDESC_PREDICT_ERROR("data.size({}) != indices.size({}), data.size({}): {}, indices.size({}): {}", i, i, i,
                           data.size(i), i, indices.size(i));
    }
  }
  // Coordinates are checked in 64 bits: they may count from the end.
  std::vector<int64_t> coords = opdesc::int64Values(indices);
  for (size_t c = 0; c < coords.size(); ++c) {
    const int64_t s = data.size(batchDims + static_cast<int64_t>(c) % k);
    int64_t& v = coords[c];
    if (v >= s || v < -s) OPDESC_PREDICT_ERROR("The value of indices is out of bounds of data.");
    if (v < 0) v += s;
  }
  const std::vector<int64_t>& ds = data.shape();
  const std::vector<int64_t>& is = indices.shape();
  std::vector<int64_t> outShape(ds.begin(), ds.begin() + batchDims);
  outShape.insert(outShape.end(), is.begin() + batchDims, is.end() - 1);
  outShape.insert(outShape.end(), ds.begin() + batchDims + k, ds.end());
  // Indices without elements may still have sizes whose product does not fit:
  // no rows, or more rows than any result could hold.
  const std::optional<int64_t> batches = halvex::checkedProduct(ds.begin(), ds.begin() + batchDims);
  const std::optional<int64_t> rows = halvex::checkedProduct(is.begin() + batchDims, is.end() - 1);
  if (batches == 0 || rows == 0) {
    *result = halvex::zeros(outShape, data.dtype());
    return StatusCode::OK;
  }
  if (!batches || !rows || !halvex::checkedMul(*batches, *rows)) {
    OPDESC_PREDICT_ERROR("GatherND: indices of shape [{}] give more rows than 64 bits hold.", fmt::join(is, ", "));
  }

  std::vector<int64_t> grouped{*batches};
  grouped.insert(grouped.end(), ds.begin() + batchDims, ds.end());
  Tensor blocks = data.reshape(grouped);
  if (!blocks.defined()) return StatusCode::Model_PredictError;
  std::vector<Tensor> slices;
  slices.reserve(static_cast<size_t>(*batches * *rows));
  std::vector<TensorIndex> at(static_cast<size_t>(blocks.ndim()));
  for (int64_t b = 0; b < *batches; ++b) {
    at[0] = TensorIndex(b);
    for (int64_t r = 0; r < *rows; ++r) {
      for (int64_t j = 0; j < k; ++j)
        at[static_cast<size_t>(j + 1)] = TensorIndex(coords[static_cast<size_t>((b * *rows + r) * k + j)]);
      slices.push_back(blocks.index(at));
    }
  }
  *result = halvex::stack(slices, 0).reshape(outShape);
  return StatusCode::OK;
}

StatusCode OpDesc::updateScatterNDtensor(const TensorList& inputs, Tensor* result) const {
  auto [data, updates, indices] = prepareInputs3(inputs);
  if (!data.defined() || !updates.defined() || !indices.defined()) {
    OPDESC_PREDICT_ERROR("ScatterND layer {} needs data, updates and indices.", layerName);
  }
  if (indices.ndim() < 1 || indices.size(indices.ndim() - 1) > data.ndim()) {
    OPDESC_PREDICT_ERROR("ScatterND layer {}: indices of shape [{}] do not address data of rank {}.", layerName,
                         fmt::join(indices.shape(), ", "), data.ndim());
  }
  const int64_t k = indices.size(indices.ndim() - 1);
  const std::vector<int64_t> limits(indices.shape().begin(), indices.shape().end() - 1);
  const std::vector<int64_t>& us = updates.shape();
  if (us.size() < limits.size() || !std::equal(limits.begin(), limits.end(), us.begin())) {
    OPDESC_PREDICT_ERROR("ScatterND layer {}: updates of shape [{}] do not match indices of shape [{}].", layerName,
                         fmt::join(us, ", "), fmt::join(indices.shape(), ", "));
  }
  if (halvex::checkedProduct(us.begin() + static_cast<int64_t>(limits.size()), us.end()) != 1) {
    OPDESC_PREDICT_ERROR("The length of tensors should be one");
  }
  // One element per row: the rows are the element count of updates, which
  // fits (a product of limits could overflow before a size of 0).
  const int64_t count = updates.numel();
  Tensor values = updates.to(data.dtype()).reshape({count});
  std::vector<int64_t> coords = opdesc::int64Values(indices);
  Tensor out = data.clone();
  if (!out.defined() || !values.defined()) return StatusCode::Model_PredictError;
  std::vector<TensorIndex> at(static_cast<size_t>(data.ndim()));
  for (int64_t p = 0; p < count; ++p) {
    for (int64_t j = 0; j < k; ++j) {
      const int64_t s = data.size(j);
      int64_t v = coords[static_cast<size_t>(p * k + j)];
      if (v >= s || v < -s) {
        OPDESC_PREDICT_ERROR("ScatterND layer {}: index {} is out of bounds for dimension {} of size {}.", layerName, v,
                             j, s);
      }
      at[static_cast<size_t>(j)] = TensorIndex(v < 0 ? v + s : v);
    }
    Tensor block = out.index(at);
    Tensor value = values.select(0, p);
    Tensor combined = value;
    if (reduction == "add") {
      combined = block + value;
    } else if (reduction == "mul") {
      combined = block * value;
    } else if (reduction == "max") {
      combined = block.maximum(value);
    } else if (reduction == "min") {
      combined = block.binaryOp(value, halvex::optables::clampMax(), std::nullopt, false);
    }
    block.copy_(combined.to(data.dtype()));
  }
  *result = out;
  return StatusCode::OK;
}

}  // namespace kestrane
