// Host execution of a layer: dispatch on the layer type text and the layers
// that need no operation of their own.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <unordered_map>

#include "halvex/checked_size.h"
#include "halvex/free_functions.h"
#include "halvex/functional.h"
#include "layers/op_desc.h"
#include "op_desc_util.h"

namespace kestrane {

using halvex::DType;
using halvex::Tensor;
namespace nnf = halvex::nn::functional;

namespace opdesc {

std::vector<int64_t> int64Values(const Tensor& t) {
  Tensor c = t.to(DType::Int64).contiguous();
  std::vector<int64_t> out(static_cast<size_t>(c.defined() ? c.numel() : 0));
  if (!out.empty()) std::memcpy(out.data(), c.basePtr(), out.size() * sizeof(int64_t));
  return out;
}

double firstValue(const Tensor& t) {
  if (!t.defined() || t.numel() == 0) return 0.0;
  std::vector<double> v = halvex::toDoubleVector(t.reshape({-1}).select(0, 0));
  return v.empty() ? 0.0 : v[0];
}

Tensor ownCopy(const Tensor& t, DType dtype) { return t.dtype() == dtype ? t.clone() : t.to(dtype); }

}  // namespace opdesc

namespace {

using TensorList = OpDesc::TensorList;
using opdesc::normaliseAxis;

// One layer's computation; on a failure of its own it logs one line and sets
// the status. An undefined result with status OK is a failed tensor operation.
using Layer = Tensor (*)(const OpDesc&, const TensorList&, StatusCode&);

#define LAYER_ERROR(st, ...)               \
  do {                                     \
    KLOG_ERROR(__VA_ARGS__);               \
    (st) = StatusCode::Model_PredictError; \
    return Tensor();                       \
  } while (0)

// Truncated toward zero; v is not NaN.
int32_t saturateInt32(double v) {
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// The layer's axis attribute as a dimension of a tensor of the rank.
#define LAYER_AXIS(st, d, a, rank, out)    \
  if (!normaliseAxis((a), (rank), &(out))) \
  LAYER_ERROR(st, "Layer {} of type {}: axis {} is out of range for rank {}", (d).layerName, (d).layerType, (a), (rank))

Tensor gather(const OpDesc& d, const TensorList& in, StatusCode& st) {
  Tensor data;
  Tensor indices;
  if (d.layerType == "GatherConstant") {
    if (d.is_const_first) {
      // The status stays OK: the model run fails a layer without a result.
      KLOG_ERROR("Not Implemented yet");
      return {};
    }
    data = in[0];
    indices = d.constant;
  } else {
    std::tie(data, indices) = d.prepareInputs2(in);
  }
  if (!data.defined() || !indices.defined()) return {};
  int64_t axis = 0;
  LAYER_AXIS(st, d, d.axis, data.ndim(), axis);
  const int64_t size = data.size(axis);
  // Wrapped on a copy: the indices may be a constant of the description or
  // the output of another layer.
  Tensor idx = opdesc::ownCopy(indices, DType::Int64);
  OpDesc::wrapNegativeIndices(idx, static_cast<int32_t>(std::min<int64_t>(size, std::numeric_limits<int32_t>::max())));
  if (idx.numel() > 0 && (idx.min().item<int64_t>() < 0 || idx.max().item<int64_t>() >= size)) {
    LAYER_ERROR(st, "Layer {} of type {}: an index lies outside [-{}, {}]", d.layerName, d.layerType, size, size - 1);
  }
  idx = idx.squeeze();
  if (idx.ndim() == 0) idx = idx.reshape({1});
  Tensor r = data.index_select(axis, idx);
  if (!r.defined()) return {};
  const int64_t n = static_cast<int64_t>(d.srcShape.size());
  const int64_t k = r.ndim();
  if (k > n) {
    r = r.squeeze(axis);
  } else if (k < n && k == 2) {
    auto one = std::find(d.srcShape.begin(), d.srcShape.end(), 1);
    int64_t at = -1;
    if (one == d.srcShape.end()) {
      // -1 is refused by unsqueeze with a line of its own; r keeps rank 2.
      KLOG_ERROR("Unsupported Gather, Cannot find unsqueeze axis");
    } else {
      at = one - d.srcShape.begin();
    }
    r = r.unsqueeze(at);
  }
  return r;
}

Tensor gemmConstant(const OpDesc& d, const TensorList& in, StatusCode&) {
  Tensor w = d.constant.clone();
  const Tensor& x = in[0];
  Tensor m;
  if (d.is_const_first) {
    if (d.transA) w = w.transpose(0, 1);
    m = w.matmul(d.transB ? x.transpose(0, 1) : x);
  } else {
    if (d.transB) w = w.transpose(0, 1);
    m = (d.transA ? x.transpose(0, 1) : x).matmul(w);
  }
  m = m * static_cast<double>(d.alpha);
  return d.constant2.defined() ? m + d.constant2 * static_cast<double>(d.beta) : m;
}

Tensor split(const OpDesc& d, const TensorList& in, StatusCode& st) {
  int64_t axis = 0;
  LAYER_AXIS(st, d, d.axis, in[0].ndim(), axis);
  std::vector<Tensor> pieces = halvex::split(in[0], d.split, axis);
  // Fewer pieces than sizes: the split failed with its own line.
  if (pieces.size() != d.split.size()) return {};
  if (d.split_index < 0 || static_cast<size_t>(d.split_index) >= pieces.size()) {
    LAYER_ERROR(st, "Layer {} of type {}: split_index {} is out of range for {} pieces", d.layerName, d.layerType,
                d.split_index, pieces.size());
  }
  return pieces[static_cast<size_t>(d.split_index)];
}

Tensor squeezeOrUnsqueeze(const OpDesc& d, const TensorList& in, StatusCode& st) {
  const bool unsqueeze = d.layerType == "Unsqueeze";
  Tensor r = in[0];
  for (int32_t a : d.axes) {
    int64_t dim = 0;
    LAYER_AXIS(st, d, a, r.ndim() + (unsqueeze ? 1 : 0), dim);
    r = unsqueeze ? r.unsqueeze(dim) : r.squeeze(dim);
  }
  return r;
}

Tensor flatten(const OpDesc& d, const TensorList& in, StatusCode& st) {
  const Tensor& x = in[0];
  // Axis r (the rank) puts every dimension in the outer size; a negative
  // axis counts from the last dimension, as for the other layers.
  int64_t axis = x.ndim();
  if (d.axis != axis) {
    LAYER_AXIS(st, d, d.axis, x.ndim(), axis);
  }
  const auto& sizes = x.shape();
  const auto at = sizes.begin() + axis;
  const std::optional<int64_t> outer = halvex::checkedProduct(sizes.begin(), at);
  const std::optional<int64_t> inner = halvex::checkedProduct(at, sizes.end());
  // Only an empty tensor has such sizes, and its flattened shape would not fit.
  if (!outer || !inner) {
    KLOG_ERROR("Layer {} of type {}: the sizes {} axis {} multiply past 64 bits.", d.layerName, d.layerType,
               outer ? "from" : "before", axis);
    return {};
  }
  return x.reshape({*outer, *inner});
}

// Negative bounds count from the end; a start still before the dimension
// starts at 0. With a forward step an end beyond the dimension on either side
// (above dim or below -dim) reads as dim. A backward step follows Python's
// slice rule (an end below the dimension runs to its first element), since
// the forward rule would turn "down to the start" into an empty slice.
Tensor slice(const OpDesc& d, const TensorList& in, StatusCode& st) {
  Tensor r = in[0];
  const size_t n = d.axes.size();
  if (d.starts.size() < n || d.ends.size() < n || (!d.steps.empty() && d.steps.size() < n)) {
    LAYER_ERROR(st, "Layer {} of type {}: fewer starts, ends or steps than axes ({})", d.layerName, d.layerType, n);
  }
  for (size_t i = 0; i < n; ++i) {
    int64_t axis = 0;
    LAYER_AXIS(st, d, d.axes[i], r.ndim(), axis);
    const int64_t dim = r.size(axis);
    const int64_t step = d.steps.empty() ? 1 : d.steps[i];
    if (step == 0) LAYER_ERROR(st, "Layer {} of type {}: step 0 on axis {}", d.layerName, d.layerType, d.axes[i]);
    const int64_t lower = step > 0 ? 0 : -1;
    const int64_t upper = step > 0 ? dim : dim - 1;
    auto bound = [&](int64_t v) { return std::clamp(v < 0 ? v + dim : v, lower, upper); };
    const int64_t first = bound(d.starts[i]);
    const int64_t end = step > 0 && d.ends[i] < -dim ? dim : bound(d.ends[i]);
    // Positions are counted in 32 bits; bounds past that would wrap.
    if (first > std::numeric_limits<int32_t>::max() || end > std::numeric_limits<int32_t>::max()) {
      KLOG_ERROR("Layer {} of type {}: start {} and end {} on axis {} do not fit 32 bits.", d.layerName, d.layerType,
                 first, end, d.axes[i]);
      return {};
    }
    Tensor positions =
        halvex::arange(static_cast<int32_t>(first), static_cast<int32_t>(end), static_cast<int32_t>(step));
    r = r.index_select(axis, positions);
    if (!r.defined()) return {};
  }
  return r;
}

Tensor topk(const OpDesc& d, const TensorList& in, StatusCode& st) {
  auto [data, kTensor] = d.prepareInputs2(in);
  if (!data.defined() || !kTensor.defined()) return {};
  if (kTensor.numel() < 1) LAYER_ERROR(st, "Layer {} of type {}: k has no element", d.layerName, d.layerType);
  int64_t axis = 0;
  LAYER_AXIS(st, d, d.axis, data.ndim(), axis);
  int64_t k = opdesc::int64Values(kTensor).at(0);
  if (k < 0) LAYER_ERROR(st, "Layer {} of type {}: k ({}) is negative", d.layerName, d.layerType, k);
  k = std::min(k, data.size(axis));
  auto [values, indices] = data.topk(k, axis, d.largest, d.sorted);
  return d.layerType == "TopKValues" ? values : indices;
}

Tensor range(const OpDesc& d, const TensorList& in, StatusCode& st) {
  auto [s0, s1, s2] = d.prepareInputs3(in);
  for (const Tensor* t : {&s0, &s1, &s2}) {
    if (!t->defined() || t->numel() < 1) {
      LAYER_ERROR(st, "Layer {} of type {}: start, limit and delta need one element each", d.layerName, d.layerType);
    }
  }
  const double start = opdesc::firstValue(s0);
  const double limit = opdesc::firstValue(s1);
  const double step = opdesc::firstValue(s2);
  if (std::isnan(start) || std::isnan(limit) || std::isnan(step)) {
    LAYER_ERROR(st, "Layer {} of type {}: start, limit or delta is NaN", d.layerName, d.layerType);
  }
  const int32_t delta = saturateInt32(step);
  if (delta == 0) LAYER_ERROR(st, "Layer {} of type {}: delta is 0", d.layerName, d.layerType);
  return halvex::arange(saturateInt32(start), saturateInt32(limit), delta);
}

Tensor shape(const OpDesc& d, const TensorList& in, StatusCode& st) {
  const Tensor& x = in[0];
  const int64_t rank = x.ndim();
  std::vector<int64_t> v;
  if (d.start < d.end) {
    if (d.start < -rank || d.end > rank) {
      LAYER_ERROR(st, "Layer {} of type {}: dimensions {} to {} of a tensor of rank {}", d.layerName, d.layerType,
                  d.start, d.end, rank);
    }
    for (int64_t i = d.start; i < d.end; ++i) v.push_back(x.size(i < 0 ? i + rank : i));
  }
  return halvex::fromVector(v);
}

Tensor transpose(const OpDesc& d, const TensorList& in, StatusCode& st) {
  std::vector<int64_t> perm(d.perm.size());
  for (size_t i = 0; i < perm.size(); ++i) LAYER_AXIS(st, d, d.perm[i], in[0].ndim(), perm[i]);
  return in[0].permute(perm).contiguous();
}

Tensor reverse(const OpDesc& d, const TensorList& in, StatusCode& st) {
  std::vector<int64_t> dims(d.reverse_axes.size());
  for (size_t i = 0; i < dims.size(); ++i) LAYER_AXIS(st, d, d.reverse_axes[i], in[0].ndim(), dims[i]);
  return in[0].flip(dims);
}

Tensor concatenate(const OpDesc& d, const TensorList& in, StatusCode& st) {
  int64_t axis = 0;
  LAYER_AXIS(st, d, d.axis, in[0].ndim(), axis);
  return halvex::cat(in, axis);
}

Tensor softmax(const OpDesc& d, const TensorList& in, StatusCode& st) {
  int64_t axis = 0;
  LAYER_AXIS(st, d, d.axis, in[0].ndim(), axis);
  return nnf::softmax(in[0], axis);
}

Tensor argmax(const OpDesc& d, const TensorList& in, StatusCode& st) {
  int64_t axis = 0;
  LAYER_AXIS(st, d, d.axis, in[0].ndim(), axis);
  return in[0].argmax(axis, d.keepdims);
}

// Broadcasts both ways, as the model's Expand does: a target of higher rank
// adds leading dimensions, and a target size 1 keeps the input's size.
Tensor expand(const OpDesc& d, const TensorList& in, StatusCode&) {
  auto [a, b] = d.prepareInputs2(in);
  if (!a.defined() || !b.defined()) return {};
  std::vector<int64_t> target = opdesc::int64Values(b);
  std::vector<int64_t> shape = a.shape();
  if (target.size() > shape.size()) shape.insert(shape.begin(), target.size() - shape.size(), 1);
  const size_t lead = shape.size() - std::min(shape.size(), target.size());
  for (size_t i = 0; i < target.size(); ++i) {
    if (target[i] == 1) target[i] = shape[lead + i];
  }
  target.insert(target.begin(), shape.begin(), shape.begin() + static_cast<std::ptrdiff_t>(lead));
  return a.reshape(shape).expand(target);
}

Tensor where(const OpDesc& d, const TensorList& in, StatusCode&) {
  auto [cond, x, y] = d.prepareInputs3(in);
  if (!cond.defined()) return {};
  // A condition from the description's constants is float32: non-zero is true.
  return x.where(cond.to(DType::Bool), y);
}

Tensor groupNorm(const OpDesc& d, const TensorList& in, StatusCode&) {
  nnf::GroupNormOptions o;
  o.num_groups = d.num_group;
  o.eps = d.epsilon;
  o.weight = d.scale;
  o.bias = d.bias;
  return nnf::group_norm(in[0], o);
}

Tensor instanceNorm(const OpDesc& d, const TensorList& in, StatusCode&) {
  nnf::InstanceNormOptions o;
  o.eps = d.epsilon;
  o.weight = d.scale;
  o.bias = d.bias;
  return nnf::instance_norm(in[0], o);
}

Tensor layerNorm(const OpDesc& d, const TensorList& in, StatusCode&) {
  nnf::LayerNormOptions o;
  o.normalized_shape = d.normalized_shape;
  o.eps = d.epsilon;
  o.weight = d.scale;
  o.bias = d.bias;
  return nnf::layer_norm(in[0], o);
}

// Layers computed by an operation of the description that writes the result.
template <StatusCode (OpDesc::*Op)(const TensorList&, Tensor*) const>
Tensor byOperation(const OpDesc& d, const TensorList& in, StatusCode& st) {
  Tensor r;
  st = (d.*Op)(in, &r);
  return r;
}

Tensor gatherND(const OpDesc& d, const TensorList& in, StatusCode& st) {
  auto [data, indices] = d.prepareInputs2(in);
  Tensor r;
  st = d.predictGatherND(data, indices, d.batch_dims, &r);
  return r;
}

Tensor constantOfShape(const OpDesc& d, const TensorList& in, StatusCode&) {
  const Tensor filled = halvex::full(opdesc::int64Values(in[0]), d.value);
  // A shape that cannot be laid out has had its line.
  return filled.defined() ? filled.to(d.attributeDtype) : filled;
}

Tensor inputConstant(const OpDesc& d, const TensorList&, StatusCode&) { return d.constant; }

struct Row {
  Layer run;
  size_t minInputs;  // the inputs the layer reads without the description's constants
};

// Rows of one expression: of the first input x, of the inputs x and y, or of
// the operand pair (a, b) of prepareInputs2.
#define X_LAYER(expr)                                                \
  [](const OpDesc& d, const TensorList& in, StatusCode&) -> Tensor { \
    (void)d;                                                         \
    const Tensor& x = in[0];                                         \
    return expr;                                                     \
  }
#define XY_LAYER(expr)                                             \
  [](const OpDesc&, const TensorList& in, StatusCode&) -> Tensor { \
    const Tensor& x = in[0];                                       \
    const Tensor& y = in[1];                                       \
    return expr;                                                   \
  }
#define AB_LAYER(expr)                                               \
  [](const OpDesc& d, const TensorList& in, StatusCode&) -> Tensor { \
    auto [a, b] = d.prepareInputs2(in);                              \
    return expr;                                                     \
  }

const std::unordered_map<std::string, Row>& dispatchTable() {
  static const std::unordered_map<std::string, Row> table = {
      {"Input", {X_LAYER(x), 1}},
      {"input", {X_LAYER(x.clone()), 1}},
      {"Output", {X_LAYER(x), 1}},
      {"Relu", {X_LAYER(x.relu()), 1}},
      {"Erf", {X_LAYER(x.erf()), 1}},
      {"Sigmoid", {X_LAYER(x.sigmoid()), 1}},
      {"Tanh", {X_LAYER(x.tanh()), 1}},
      {"Softplus", {X_LAYER(nnf::softplus(x)), 1}},
      {"HardSwish", {X_LAYER(x.hardswish()), 1}},
      {"Reshape", {byOperation<&OpDesc::predictReshape>, 1}},
      {"Expand", {expand, 1}},
      {"Transpose", {transpose, 1}},
      {"Split", {split, 1}},
      {"Pow", {X_LAYER(x.pow(d.pow)), 1}},
      {"Concatenate", {concatenate, 1}},
      {"AddingConstant", {X_LAYER(x + d.constant), 1}},
      {"MultiplyConstant", {X_LAYER(x * d.constant), 1}},
      {"DivConstant", {X_LAYER(d.is_const_first ? d.constant / x : x / d.constant), 1}},
      {"SubConstant", {X_LAYER(d.is_const_first ? d.constant - x : x - d.constant), 1}},
      {"InputConstant", {inputConstant, 0}},
      {"inputConstant", {inputConstant, 0}},
      {"Gather", {gather, 1}},
      {"GatherConstant", {gather, 1}},
      {"GemmConstant", {gemmConstant, 1}},
      {"GatherND", {gatherND, 1}},
      {"Unsqueeze", {squeezeOrUnsqueeze, 1}},
      {"Squeeze", {squeezeOrUnsqueeze, 1}},
      {"Softmax", {softmax, 1}},
      {"ArgMax", {argmax, 1}},
      {"Flatten", {flatten, 1}},
      {"Sqrt", {X_LAYER(x.sqrt()), 1}},
      {"Div", {XY_LAYER(x / y), 2}},
      {"Adding", {XY_LAYER(x + y), 2}},
      {"Sub", {XY_LAYER(x - y), 2}},
      {"Multiply", {XY_LAYER(x * y), 2}},
      {"Slice", {slice, 1}},
      {"ScatterND", {byOperation<&OpDesc::updateScatterNDtensor>, 1}},
      {"GroupNormalization", {groupNorm, 1}},
      {"InstanceNormalization", {instanceNorm, 1}},
      {"LayerNormalization", {layerNorm, 1}},
      {"ReduceMin", {byOperation<&OpDesc::predictReduce>, 1}},
      {"ReduceMax", {byOperation<&OpDesc::predictReduce>, 1}},
      {"ReduceProd", {byOperation<&OpDesc::predictReduce>, 1}},
      {"ReduceMean", {byOperation<&OpDesc::predictReduce>, 1}},
      {"ReduceSum", {byOperation<&OpDesc::predictReduce>, 1}},
      {"Tile", {X_LAYER(x.tile(d.repeats)), 1}},
      {"MatMul", {XY_LAYER(x.matmul(y)), 2}},
      {"Exp", {X_LAYER(x.exp()), 1}},
      {"Log", {X_LAYER(x.log()), 1}},
      {"NonMaxSuppression", {byOperation<&OpDesc::predictNonMaxSuppression>, 2}},
      {"TopKValues", {topk, 1}},
      {"TopKIndices", {topk, 1}},
      {"And", {AB_LAYER(a.logical_and(b)), 1}},
      {"Or", {AB_LAYER(a.logical_or(b)), 1}},
      {"Xor", {AB_LAYER(a.logical_xor(b)), 1}},
      {"Less", {AB_LAYER(a < b), 1}},
      {"Equal", {AB_LAYER(a == b), 1}},
      {"Greater", {AB_LAYER(a > b), 1}},
      {"Mod", {AB_LAYER(d.fmod != 0 ? a.fmod(b) : a.remainder(b)), 1}},
      {"Abs", {X_LAYER(x.abs()), 1}},
      {"Not", {X_LAYER(x.logical_not()), 1}},
      {"Cast", {X_LAYER(x.to(d.data_type)), 1}},
      {"Resize", {byOperation<&OpDesc::predictResize>, 1}},
      {"Where", {where, 1}},
      {"Range", {range, 0}},
      {"NonZero", {X_LAYER(x.to(DType::Float32).nonzero().transpose(0, 1)), 1}},
      {"Shape", {shape, 1}},
      {"ConstantOfShape", {constantOfShape, 1}},
      {"Bridge", {byOperation<&OpDesc::predictBridge>, 1}},
      {"Reverse", {reverse, 1}},
      {"Clip", {X_LAYER(x.clamp(static_cast<double>(d.clipMin), static_cast<double>(d.clipMax))), 1}},
  };
  return table;
}

// The row that runs the layer: by its text, case-sensitively, except that
// the type nms (any case) runs non-maximum suppression.
const Row* findRow(const OpDesc& d) {
  static const Row nms{byOperation<&OpDesc::predictNonMaxSuppression>, 2};
  if (d.opType == OpDescType::Nms) return &nms;
  const auto& table = dispatchTable();
  auto it = table.find(d.layerType);
  return it == table.end() ? nullptr : &it->second;
}

}  // namespace

Tensor OpDesc::runCPU(const TensorList& inputs, StatusCode* status) const {
  StatusCode ignored = StatusCode::OK;
  StatusCode& st = status != nullptr ? *status : ignored;
  st = StatusCode::OK;
  const Row* row = findRow(*this);
  if (row == nullptr) {
    KLOG_ERROR("Predict Layer {} is not implemented yet in cpp.", layerType);
    st = StatusCode::NotImplemented;
    return {};
  }
  const size_t needed = row->minInputs;
  if (inputs.size() < needed) {
    KLOG_ERROR("Layer {} of type {} needs {} inputs, but {} are given.", layerName, layerType, needed, inputs.size());
    st = StatusCode::Model_PredictError;
    return {};
  }
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (!inputs[i].defined()) {
      KLOG_ERROR("Layer {} of type {}: input {} is undefined.", layerName, layerType, i);
      st = StatusCode::Model_PredictError;
      return {};
    }
  }
  Tensor result;
  try {
    result = row->run(*this, inputs, st);
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("Layer {} of type {}: out of memory", layerName, layerType);
    st = StatusCode::BadAlloc;
    return {};
  } catch (const std::exception& e) {
    KLOG_ERROR("Layer {} of type {} failed: {}", layerName, layerType, e.what());
    st = StatusCode::Model_PredictError;
    return {};
  }
  if (st != StatusCode::OK) return {};
  return result;
}

}  // namespace kestrane
