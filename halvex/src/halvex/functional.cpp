#include "halvex/functional.h"

#include "core/log.h"
#include "halvex/free_functions.h"
#include "halvex/indexing.h"
#include "halvex/kernels_functional.h"
#include "halvex/ops_util.h"

namespace kestrane::halvex::nn::functional {
namespace {

// Normalises the rows of x along its last dimension (n elements each):
// (x - mean) / sqrt(population variance + eps).
Tensor normaliseRows(const Tensor& rows, double eps) {
  const int64_t last = rows.ndim() - 1;
  const Tensor m = rows.mean(last, true);
  const Tensor d = rows - m;
  const Tensor v = d.square().sum(last, true);
  const Tensor var = v / scalarTensor(static_cast<int32_t>(rows.size(last)), v.dtype());
  const Tensor s = (var + eps).sqrt();
  return d / s;
}

// weight or bias viewed as [1, C, 1, ..., 1] for an input of rank `rank`.
Tensor channelView(const Tensor& t, int64_t channels, int64_t rank) {
  std::vector<int64_t> shape(static_cast<size_t>(rank), 1);
  shape[1] = channels;
  return t.reshape(shape);
}

// The first `channels` elements of a per-channel parameter, or the undefined
// tensor (after one error line) when it holds fewer.
Tensor perChannel(const Tensor& t, int64_t channels, const char* op, const char* what) {
  if (!t.defined() || t.numel() < channels) {
    KLOG_ERROR("{}: {} holds {} values for {} channels.", op, what, t.defined() ? t.numel() : 0, channels);
    return {};
  }
  const Tensor flat = t.reshape({-1});
  if (flat.numel() == channels) return flat;
  const std::vector<indexing::TensorIndex> first = {indexing::TensorIndex::slice(0, channels)};
  return flat.index(first);
}

// The result of normalising an input without elements: an empty tensor of
// its shape in the floating type the computation would use. Nothing is
// computed, so no size product of the (possibly huge) other dimensions is
// formed.
Tensor emptyNormalised(const Tensor& input) {
  return TensorData(input.shape(), input.dtype() == DType::Float64 ? DType::Float64 : DType::Float32);
}

}  // namespace

Tensor group_norm(const Tensor& input, const GroupNormOptions& options) {
  if (!input.defined() || input.ndim() < 2) {
    KLOG_ERROR("group_norm: the input must have at least two dimensions [N, C, ...].");
    return {};
  }
  const int64_t channels = input.size(1);
  const int64_t groups = options.num_groups;
  if (groups <= 0 || channels % groups != 0) {
    KLOG_ERROR("group_norm: {} channels cannot be split into {} groups.", channels, groups);
    return {};
  }
  const Tensor weight = perChannel(options.weight, channels, "group_norm", "weight");
  const Tensor bias = perChannel(options.bias, channels, "group_norm", "bias");
  if (!weight.defined() || !bias.defined()) return {};
  if (input.numel() == 0) return emptyNormalised(input);
  if (input.dtype() == DType::Float32 && weight.dtype() == DType::Float32 && bias.dtype() == DType::Float32 &&
      input.ndim() == 4) {
    const Tensor x = detail::rowMajor(input);
    const Tensor w = detail::rowMajor(weight);
    const Tensor b = detail::rowMajor(bias);
    Tensor out = detail::newTensor(x.shape(), DType::Float32);
    if (!out.defined()) return {};
    if (out.numel() > 0) {
      kernels::groupNormF32(reinterpret_cast<const float*>(x.basePtr()), reinterpret_cast<float*>(out.basePtr()),
                            x.size(0), channels, x.size(2) * x.size(3), groups, options.eps,
                            reinterpret_cast<const float*>(w.basePtr()), reinterpret_cast<const float*>(b.basePtr()));
    }
    return out;
  }
  const Tensor rows = input.reshape({input.size(0) * groups, -1});
  const Tensor y = normaliseRows(rows, options.eps).reshape(input.shape());
  return y * channelView(weight, channels, input.ndim()) + channelView(bias, channels, input.ndim());
}

Tensor instance_norm(const Tensor& input, const InstanceNormOptions& options) {
  if (!input.defined() || input.ndim() < 2) {
    KLOG_ERROR("instance_norm: the input must have at least two dimensions [N, C, ...].");
    return {};
  }
  const int64_t channels = input.size(1);
  if (input.numel() == 0) return emptyNormalised(input);
  const Tensor rows = input.reshape({input.size(0), channels, -1});
  Tensor y = normaliseRows(rows, options.eps).reshape(input.shape());
  if (options.weight.defined()) {
    const Tensor w = perChannel(options.weight, channels, "instance_norm", "weight");
    if (!w.defined()) return {};
    y = y * channelView(w, channels, input.ndim());
  }
  if (options.bias.defined()) {
    const Tensor b = perChannel(options.bias, channels, "instance_norm", "bias");
    if (!b.defined()) return {};
    y = y + channelView(b, channels, input.ndim());
  }
  return y;
}

Tensor layer_norm(const Tensor& input, const LayerNormOptions& options) {
  const auto& ns = options.normalized_shape;
  const int64_t k = static_cast<int64_t>(ns.size());
  bool match = input.defined() && k <= input.ndim();
  for (int64_t i = 0; match && i < k; ++i) match = input.size(input.ndim() - k + i) == ns[static_cast<size_t>(i)];
  if (!match) {
    KLOG_ERROR("Input tensor shape doesn't match normalized shape option.");
    return {};
  }
  if (input.numel() == 0) return emptyNormalised(input);
  std::vector<int64_t> rowsShape(input.shape().begin(), input.shape().end() - k);
  rowsShape.push_back(-1);
  const Tensor y = normaliseRows(input.reshape(rowsShape), options.eps).reshape(input.shape());
  const Tensor& w = options.weight;
  if (!w.defined() || (!w.shape().empty() && w.numel() == 0)) return y;
  return y * w + options.bias;
}

Tensor softmax(const Tensor& input, int64_t dim) {
  if (!input.defined()) {
    KLOG_ERROR("softmax: the tensor is undefined.");
    return {};
  }
  if (!detail::normaliseDim(dim, input.ndim(), "softmax")) return {};
  // Integer inputs are converted first: x - max must not wrap.
  const Tensor x = detail::rowMajor(input.dtype() == DType::Float64 ? input : input.to(DType::Float32));
  Tensor out = detail::newTensor(x.shape(), x.dtype());
  if (!out.defined() || out.numel() == 0) return out;
  const std::vector<int64_t> shape = x.ndim() == 0 ? std::vector<int64_t>{1} : x.shape();
  const int64_t outer = detail::sizeProduct(shape, 0, static_cast<size_t>(dim));
  const int64_t s = shape[static_cast<size_t>(dim)];
  const int64_t inner = detail::sizeProduct(shape, static_cast<size_t>(dim) + 1, shape.size());
  if (x.dtype() == DType::Float32) {
    kernels::softmaxBlock(reinterpret_cast<const float*>(x.basePtr()), reinterpret_cast<float*>(out.basePtr()), outer,
                          s, inner);
  } else {
    kernels::softmaxBlock(reinterpret_cast<const double*>(x.basePtr()), reinterpret_cast<double*>(out.basePtr()),
                          outer, s, inner);
  }
  return out;
}

Tensor softplus(const Tensor& input) { return (input.exp() + 1).log(); }

Tensor interpolate(const Tensor& input, const InterpolateOptions& options) {
  if (input.dtype() != DType::Float32 && input.dtype() != DType::Float64) {
    KLOG_ERROR("`interpolate` is implemented for floating type only.");
    return {};
  }
  if (input.ndim() != static_cast<int64_t>(options.size.size()) + 2) {
    KLOG_ERROR("Input and output must have the same number of spatial dimensions: option size: {}, tensor shape size: {}",
               options.size.size(), input.ndim());
    return {};
  }
  if (input.ndim() != 4) {
    KLOG_ERROR("`interpolate` expects 4D input only.");
    return {};
  }
  if (options.mode != kInterpolateNearest && options.mode != kInterpolateLinear) {
    KLOG_ERROR("Interpolation mode, {}, is not implemented yet.", static_cast<int>(options.mode));
    return {};
  }
  const int64_t hout = options.size[0], wout = options.size[1];
  if (hout <= 0 || wout <= 0 || input.size(2) <= 0 || input.size(3) <= 0) {
    KLOG_ERROR("interpolate: sizes must be positive: input {}x{}, output {}x{}", input.size(2), input.size(3), hout,
               wout);
    return {};
  }
  const Tensor x = detail::rowMajor(input);
  Tensor out = detail::newTensor({x.size(0), x.size(1), hout, wout}, x.dtype());
  if (!out.defined()) return {};
  const int64_t planes = x.size(0) * x.size(1);
  auto run = [&](auto* src, auto* dst) {
    if (options.mode == kInterpolateNearest) {
      kernels::resizeNearest(src, dst, planes, x.size(2), x.size(3), hout, wout);
    } else {
      kernels::resizeLinear(src, dst, planes, x.size(2), x.size(3), hout, wout);
    }
  };
  if (x.dtype() == DType::Float32) {
    run(reinterpret_cast<const float*>(x.basePtr()), reinterpret_cast<float*>(out.basePtr()));
  } else {
    run(reinterpret_cast<const double*>(x.basePtr()), reinterpret_cast<double*>(out.basePtr()));
  }
  return out;
}

}  // namespace kestrane::halvex::nn::functional
