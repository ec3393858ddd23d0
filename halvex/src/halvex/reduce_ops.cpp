// Reductions: whole-tensor and along one dimension. Every output element
// starts at the first element of its line and takes the others in increasing
// position, the order of a plain sequential loop; the kernels run many
// output elements side by side (see kernels_reduce.h).
#include <array>
#include <cstring>

#include "core/log.h"
#include "halvex/free_functions.h"
#include "halvex/kernels_reduce.h"
#include "halvex/ops_util.h"
#include "halvex/strided_loop.h"
#include "halvex/tensor.h"

namespace kestrane::halvex {
namespace {

enum class ReduceKind { Max, Min, Sum, Prod };

const char* kindName(ReduceKind kind) {
  switch (kind) {
    case ReduceKind::Max: return "max";
    case ReduceKind::Min: return "min";
    case ReduceKind::Sum: return "sum";
    default: return "prod";
  }
}

kernels::ReduceKernel reduceKernelFor(ReduceKind kind, DType d) {
  return visitDType(d, [kind](auto c) {
    using T = StorageType<decltype(c)::value>;
    switch (kind) {
      case ReduceKind::Max: return kernels::reduceKernel<T, kernels::MaxReduce>();
      case ReduceKind::Min: return kernels::reduceKernel<T, kernels::MinReduce>();
      case ReduceKind::Sum: return kernels::reduceKernel<T, kernels::SumReduce>();
      default: return kernels::reduceKernel<T, kernels::ProdReduce>();
    }
  });
}

kernels::ArgReduceKernel argKernelFor(bool max, DType d) {
  return visitDType(d, [max](auto c) {
    using T = StorageType<decltype(c)::value>;
    return max ? kernels::argReduceKernel<T, kernels::ArgReduce<true>>()
               : kernels::argReduceKernel<T, kernels::ArgReduce<false>>();
  });
}

// Writes value (0 or 1) into every element of a fresh row-major tensor.
void fillWith(Tensor& t, int32_t value) {
  if (t.numel() == 0) return;
  const int64_t esz = t.elementSize();
  internal::assignValue(t.basePtr(), t.dtype(), value);
  for (int64_t i = 1; i < t.numel(); ++i) std::memcpy(t.basePtr() + i * esz, t.basePtr(), esz);
}

bool checkDefined(const Tensor& t, const char* op) {
  if (t.defined()) return true;
  KLOG_ERROR("{}: the tensor is undefined.", op);
  return false;
}

Tensor reduceAll(const Tensor& self, ReduceKind kind) {
  if (!checkDefined(self, kindName(kind))) return {};
  Tensor out = detail::newTensor(std::vector<int64_t>{}, self.dtype());
  if (!out.defined()) return {};
  if (self.numel() == 0) {
    if (kind == ReduceKind::Max || kind == ReduceKind::Min) {
      KLOG_ERROR("{}: the tensor has no elements.", kindName(kind));
      return {};
    }
    fillWith(out, kind == ReduceKind::Sum ? 0 : 1);
    return out;
  }
  const Tensor in = detail::kernelReady(self);
  const int64_t esz = in.elementSize();
  const kernels::ReduceKernel kernel = reduceKernelFor(kind, in.dtype());
  char* acc = out.basePtr();
  bool first = true;
  StridedLoop<1> loop{in.shape(), {in.strides()}};
  loop.run({detail::firstElement(in)}, [&](const std::array<char*, 1>& p, int64_t n, const std::array<int64_t, 1>& step) {
    const char* ptr = p[0];
    if (first) {
      std::memcpy(acc, ptr, esz);
      ptr += step[0];
      --n;
      first = false;
    }
    kernel(acc, ptr, 1, 0, n, step[0] / esz);
  });
  return out;
}

struct DimPlan {
  std::vector<int64_t> outShape;    // result shape (keepdim applied)
  std::vector<int64_t> lineShape;   // shape without dim
  std::vector<int64_t> lineStrides; // input byte strides without dim
  int64_t size = 0;                 // size of dim
  int64_t stride = 0;               // input byte stride of dim
};

DimPlan planDim(const Tensor& in, int64_t dim, bool keepdim) {
  DimPlan p;
  p.outShape = detail::reducedShape(in.shape(), dim, keepdim);
  p.lineShape = in.shape();
  p.lineStrides = in.strides();
  p.lineShape.erase(p.lineShape.begin() + dim);
  p.lineStrides.erase(p.lineStrides.begin() + dim);
  p.size = in.size(dim);
  p.stride = in.stride(dim);
  return p;
}

// A 0-d or one-element input reduced along any dim: a clone of it, without
// its last dimension unless keepdim (every dimension has size 1). dim plays
// no part, so it is not checked either.
bool oneElement(const Tensor& t) { return t.ndim() == 0 || t.numel() == 1; }

Tensor oneElementResult(const Tensor& self, bool keepdim) {
  Tensor out = self.clone();
  if (!keepdim && out.ndim() > 0) out = out.reshape(std::vector<int64_t>(self.shape().begin(), self.shape().end() - 1));
  return out;
}

Tensor reduceDim(const Tensor& self, ReduceKind kind, int64_t dim, bool keepdim) {
  if (!checkDefined(self, kindName(kind))) return {};
  if (oneElement(self)) return oneElementResult(self, keepdim);
  if (!detail::normaliseDim(dim, self.ndim(), kindName(kind))) return {};
  const Tensor in = detail::kernelReady(self);
  const DimPlan plan = planDim(in, dim, keepdim);
  Tensor out = detail::newTensor(plan.outShape, in.dtype());
  if (!out.defined()) return {};
  if (plan.size == 0) {
    if (kind == ReduceKind::Max || kind == ReduceKind::Min) {
      KLOG_ERROR("{}: dim ({}) has no elements.", kindName(kind), dim);
      return {};
    }
    fillWith(out, kind == ReduceKind::Sum ? 0 : 1);
    return out;
  }
  if (out.numel() == 0) return out;
  const int64_t esz = in.elementSize();
  char* first = detail::firstElement(in);
  detail::copyInto(out.basePtr(), first, plan.lineShape, plan.lineStrides, esz);
  if (plan.size == 1) return out;
  const kernels::ReduceKernel kernel = reduceKernelFor(kind, in.dtype());
  std::vector<int64_t> outStrides;
  rowMajorStrides(plan.lineShape, esz, outStrides);
  StridedLoop<2> loop{plan.lineShape, {outStrides, plan.lineStrides}};
  loop.run({out.basePtr(), first + plan.stride},
           [&](const std::array<char*, 2>& p, int64_t n, const std::array<int64_t, 2>& step) {
             kernel(p[0], p[1], n, step[1] / esz, plan.size - 1, plan.stride / esz);
           },
           true);
  return out;
}

std::tuple<Tensor, Tensor> argReduceDim(const Tensor& self, bool max, int64_t dim, bool keepdim) {
  const char* name = max ? "max" : "min";
  if (!checkDefined(self, name)) return {};
  if (oneElement(self)) {
    Tensor values = oneElementResult(self, keepdim);
    return {values, zeros(values.shape(), DType::Int64)};
  }
  if (!detail::normaliseDim(dim, self.ndim(), name)) return {};
  const Tensor in = detail::kernelReady(self);
  const DimPlan plan = planDim(in, dim, keepdim);
  if (plan.size == 0) {
    KLOG_ERROR("{}: dim ({}) has no elements.", name, dim);
    return {};
  }
  Tensor values = detail::newTensor(plan.outShape, in.dtype());
  Tensor indices = zeros(plan.outShape, DType::Int64);
  if (!values.defined() || !indices.defined()) return {};
  if (values.numel() == 0) return {std::move(values), indices};
  const int64_t esz = in.elementSize();
  char* first = detail::firstElement(in);
  detail::copyInto(values.basePtr(), first, plan.lineShape, plan.lineStrides, esz);
  if (plan.size > 1) {
    const kernels::ArgReduceKernel kernel = argKernelFor(max, in.dtype());
    std::vector<int64_t> valueStrides, indexStrides;
    rowMajorStrides(plan.lineShape, esz, valueStrides);
    rowMajorStrides(plan.lineShape, sizeof(int64_t), indexStrides);
    StridedLoop<3> loop{plan.lineShape, {valueStrides, indexStrides, plan.lineStrides}};
    loop.run({values.basePtr(), indices.basePtr(), first + plan.stride},
             [&](const std::array<char*, 3>& p, int64_t n, const std::array<int64_t, 3>& step) {
               kernel(p[0], reinterpret_cast<int64_t*>(p[1]), p[2], n, step[2] / esz, plan.size - 1,
                      plan.stride / esz, 1);
             },
           true);
  }
  return {std::move(values), indices};
}

// bool sums and products count in int64.
Tensor widenBool(const Tensor& t) { return t.dtype() == DType::Bool ? t.to(DType::Int64) : t; }

}  // namespace

Tensor zeros(IntArrayRef shape, OptionalDType dtype) {
  Tensor t = detail::newTensor(shape, dtype);
  if (t.defined() && t.numel() > 0) std::memset(t.basePtr(), 0, static_cast<size_t>(t.numel() * t.elementSize()));
  return t;
}

Tensor Tensor::max() const { return reduceAll(*this, ReduceKind::Max); }
Tensor Tensor::min() const { return reduceAll(*this, ReduceKind::Min); }
Tensor Tensor::sum() const { return reduceAll(widenBool(*this), ReduceKind::Sum); }
Tensor Tensor::prod() const { return reduceAll(widenBool(*this), ReduceKind::Prod); }

namespace {
// The sum divided by the exact element count. The count must not take the
// sum's type: an int8 count of 200 would wrap. Division is in float32 (the
// request of "/"), or float64 for a float64 sum, so the count is given in
// that type; the integer sum has already wrapped in its own type.
Tensor divideByCount(const Tensor& sum, int64_t count) {
  if (!sum.defined()) return {};
  const DType type = sum.dtype() == DType::Float64 ? DType::Float64 : DType::Float32;
  return sum / scalarTensor(static_cast<double>(count), type);
}
}  // namespace

Tensor Tensor::mean() const { return divideByCount(sum(), numel()); }

std::tuple<Tensor, Tensor> Tensor::max(int64_t dim, bool keepdim) const {
  return argReduceDim(*this, true, dim, keepdim);
}
std::tuple<Tensor, Tensor> Tensor::min(int64_t dim, bool keepdim) const {
  return argReduceDim(*this, false, dim, keepdim);
}

Tensor Tensor::argmax(int64_t dim, bool keepdim) const {
  if (dtype_ == DType::Bool) {
    KLOG_ERROR("Operator \"argmax\" is not implemented for dtype \"bool\".");
    return {};
  }
  return std::get<1>(argReduceDim(*this, true, dim, keepdim));
}

Tensor Tensor::sum(int64_t dim, bool keepdim) const { return reduceDim(widenBool(*this), ReduceKind::Sum, dim, keepdim); }
Tensor Tensor::prod(int64_t dim, bool keepdim) const {
  return reduceDim(widenBool(*this), ReduceKind::Prod, dim, keepdim);
}

Tensor Tensor::mean(int64_t dim, bool keepdim) const {
  if (!defined()) {
    KLOG_ERROR("mean: the tensor is undefined.");
    return {};
  }
  if (oneElement(*this)) return divideByCount(sum(dim, keepdim), 1);
  if (!detail::normaliseDim(dim, ndim(), "mean")) return {};
  return divideByCount(sum(dim, keepdim), size(dim));
}

}  // namespace kestrane::halvex
