// Clamp against broadcast bound tensors, and relu.
#include <array>

#include "core/log.h"
#include "halvex/free_functions.h"
#include "halvex/ops_util.h"
#include "halvex/strided_loop.h"
#include "halvex/tensor.h"

namespace kestrane::halvex {
namespace {

// t = lower when x is below it, then upper when t is above it. Ordered
// comparisons: a NaN element stays NaN, a NaN bound leaves the element.
template <typename T>
void clampRun(char* out, const char* x, const char* lo, const char* hi, int64_t n,
              const std::array<int64_t, 4>& step) {
  T* o = reinterpret_cast<T*>(out);
  const T* xs = reinterpret_cast<const T*>(x);
  const T* ls = reinterpret_cast<const T*>(lo);
  const T* hs = reinterpret_cast<const T*>(hi);
  const int64_t so = step[0] / int64_t(sizeof(T)), sx = step[1] / int64_t(sizeof(T));
  const int64_t sl = step[2] / int64_t(sizeof(T)), sh = step[3] / int64_t(sizeof(T));
  if (so == 1 && sx == 1 && sl == 0 && sh == 0) {
    const T l = *ls, h = *hs;
    for (int64_t i = 0; i < n; ++i) {
      const T t = l > xs[i] ? l : xs[i];
      o[i] = t > h ? h : t;
    }
    return;
  }
  for (int64_t i = 0; i < n; ++i) {
    const T v = xs[i * sx], l = ls[i * sl], h = hs[i * sh];
    const T t = l > v ? l : v;
    o[i * so] = t > h ? h : t;
  }
}

}  // namespace

Tensor Tensor::clamp(const Tensor& min, const Tensor& max) const {
  const OptionalDType promoted = promoteTypes(promoteTypes(dtype_, min.dtype()), max.dtype());
  const DType d = promoted.value_or(DType::Undefined);
  std::array<Tensor, 3> ops = {to(d), min.to(d), max.to(d)};
  size_t rank = 0;
  for (const Tensor& t : ops) {
    if (!t.defined()) return {};
    rank = std::max(rank, static_cast<size_t>(t.ndim()));
  }
  std::vector<int64_t> shape(rank, 1);
  for (size_t d0 = 0; d0 < rank; ++d0) {
    int64_t k = 1;
    for (const Tensor& t : ops) {
      const size_t lead = rank - static_cast<size_t>(t.ndim());
      const int64_t size = d0 < lead ? 1 : t.shape()[d0 - lead];
      if (size == 1) continue;
      if (k != 1 && size != k) {
        KLOG_ERROR("clamp: `this`, `min` and `other` cannot be broadcasted together.");
        return {};
      }
      k = size;
    }
    shape[d0] = k;
  }
  if (d == DType::Bool || !isValidDType(d)) {
    KLOG_ERROR("clamp: not implemented for the dtype \"{}\".", dtypeName(d));
    return {};
  }
  for (Tensor& t : ops) t = detail::kernelReady(t);
  Tensor out = detail::newTensor(shape, d);
  if (!out.defined()) return {};
  StridedLoop<4> loop{shape,
                      {out.strides(), detail::broadcastStrides(ops[0], shape), detail::broadcastStrides(ops[1], shape),
                       detail::broadcastStrides(ops[2], shape)}};
  visitDType(d, [&](auto c) {
    using T = StorageType<decltype(c)::value>;
    loop.run({out.basePtr(), detail::firstElement(ops[0]), detail::firstElement(ops[1]), detail::firstElement(ops[2])},
             [](const std::array<char*, 4>& p, int64_t n, const std::array<int64_t, 4>& step) {
               clampRun<T>(p[0], p[1], p[2], p[3], n, step);
             },
           true);
  });
  return out;
}

Tensor Tensor::clamp(double min, double max) const {
  return clamp(scalarTensor(min, DType::Float32), scalarTensor(max, DType::Float32));
}

Tensor Tensor::relu() const { return maximum(fromVector(std::vector<int32_t>{0}, dtype_)); }

}  // namespace kestrane::halvex
