// Sorting and top-k along one dimension, line by line.
#include "core/log.h"
#include "halvex/free_functions.h"
#include "halvex/kernels_sort.h"
#include "halvex/ops_util.h"
#include "halvex/tensor.h"

namespace kestrane::halvex {
namespace {

struct LinePlan {
  int64_t outer = 1, size = 1, inner = 1;
};

// Sorts (k < 0) or selects the top k of every line (o, all, i) of a dense
// row-major input viewed as {outer, s, inner}.
template <typename T>
void runLines(const Tensor& in, Tensor& values, Tensor& indices, const LinePlan& p, int64_t k, bool flag,
              bool sorted) {
  const T* src = reinterpret_cast<const T*>(in.basePtr());
  T* dst = reinterpret_cast<T*>(values.basePtr());
  int64_t* idx = reinterpret_cast<int64_t*>(indices.basePtr());
  const int64_t m = k < 0 ? p.size : k;
  kernels::SortScratch<T> scratch;
  for (int64_t o = 0; o < p.outer; ++o) {
    for (int64_t i = 0; i < p.inner; ++i) {
      const T* line = src + o * p.size * p.inner + i;
      T* out = dst + o * m * p.inner + i;
      int64_t* pos = idx + o * m * p.inner + i;
      if (k < 0) {
        kernels::sortLine(line, p.size, p.inner, out, p.inner, pos, p.inner, flag, scratch);
      } else {
        kernels::topkLine(line, p.size, p.inner, k, flag, sorted, out, p.inner, pos, p.inner, scratch);
      }
    }
  }
}

std::tuple<Tensor, Tensor> sortOrTopk(const Tensor& self, const char* name, int64_t dim, int64_t k, bool flag,
                                      bool sorted) {
  if (!self.defined()) {
    KLOG_ERROR("{}: the tensor is undefined.", name);
    return {};
  }
  if (!detail::normaliseDim(dim, self.ndim(), name)) return {};
  const std::vector<int64_t> shape = self.ndim() == 0 ? std::vector<int64_t>{1} : self.shape();
  LinePlan plan;
  plan.outer = detail::sizeProduct(shape, 0, static_cast<size_t>(dim));
  plan.size = shape[static_cast<size_t>(dim)];
  plan.inner = detail::sizeProduct(shape, static_cast<size_t>(dim) + 1, shape.size());
  if (k > plan.size) {
    KLOG_ERROR("{}: k ({}) is out of range (size: {})", name, k, plan.size);
    return {};
  }
  std::vector<int64_t> outShape = self.shape();
  if (k >= 0 && self.ndim() > 0) outShape[static_cast<size_t>(dim)] = k;
  if (k == 0 && self.ndim() == 0) outShape = {0};  // nothing selected from a 0-d tensor
  Tensor values = detail::newTensor(outShape, self.dtype());
  Tensor indices = detail::newTensor(outShape, DType::Int64);
  if (!values.defined() || !indices.defined()) return {};
  // No line to walk (the line counts of an empty shape may not even fit).
  if (values.numel() == 0) return {std::move(values), std::move(indices)};
  const Tensor in = detail::rowMajor(self);
  visitDType(self.dtype(), [&](auto c) {
    using T = StorageType<decltype(c)::value>;
    runLines<T>(in, values, indices, plan, k, flag, sorted);
  });
  return {std::move(values), std::move(indices)};
}

}  // namespace

std::tuple<Tensor, Tensor> Tensor::sort(int64_t dim, bool descending) const {
  return sortOrTopk(*this, "sort", dim, -1, descending, true);
}

std::tuple<Tensor, Tensor> Tensor::topk(int64_t k, int64_t dim, bool largest, bool sorted) const {
  if (dtype_ == DType::Bool) {
    KLOG_ERROR("Operator \"topk\" is not implemented for dtype \"bool\".");
    return {};
  }
  if (k < 0) {
    KLOG_ERROR("topk: k ({}) is out of range", k);
    return {};
  }
  return sortOrTopk(*this, "topk", dim, k, largest, sorted);
}

}  // namespace kestrane::halvex
