#include <algorithm>

#include "core/log.h"
#include "halvex/checked_size.h"
#include "halvex/indexing.h"

namespace kestrane::halvex {

using indexing::TensorIndex;

Tensor Tensor::tile(IntArrayRef repeats) const {
  if (!defined()) {
    KLOG_ERROR("tile: the tensor is undefined.");
    return {};
  }
  if (std::all_of(repeats.begin(), repeats.end(), [](int64_t p) { return p == 1; })) return *this;
  for (int64_t p : repeats) {
    if (p < 1) {
      KLOG_ERROR("tile: every repeat count must be at least 1, but one is {}", p);
      return {};
    }
  }
  const size_t m = repeats.size();
  const size_t r = shape_.size();
  Tensor x = *this;
  std::vector<int64_t> counts = repeats.vec();
  if (m > r) {
    std::vector<int64_t> shape(m - r, 1);
    shape.insert(shape.end(), shape_.begin(), shape_.end());
    x = reshape(shape);
    if (!x.defined()) return {};
  } else if (m < r) {
    counts.insert(counts.begin(), r - m, 1);
  }
  const size_t n = counts.size();
  const auto& xs = x.shape();
  std::vector<int64_t> shape(n);
  for (size_t i = 0; i < n; ++i) {
    const std::optional<int64_t> size = checkedMul(xs[i], counts[i]);
    if (!size) {
      KLOG_ERROR("tile: the result is too large.");
      return {};
    }
    shape[i] = *size;
  }
  TensorData out(shape, dtype_);
  // An empty input has nothing to repeat: the block copies below would only
  // loop over the repeat counts.
  if (!out.defined() || out.numel() == 0) return std::move(out);
  std::vector<TensorIndex> indices(n);
  for (size_t i = 0; i < n; ++i) indices[i] = TensorIndex::slice(0, xs[i]);
  out.index(indices).copy_(x);
  // Fill innermost dimension first, each time copying the part written so
  // far along the dimension to just after it: the block doubles each copy,
  // so a dimension of p repeats takes about log2(p) copies, not p - 1.
  for (size_t d = n; d-- > 0;) {
    const int64_t total = xs[d] * counts[d];
    for (int64_t filled = xs[d]; filled < total;) {
      const int64_t length = std::min(filled, total - filled);
      indices[d] = TensorIndex::slice(0, length);
      const Tensor block = out.index(indices);
      indices[d] = TensorIndex::slice(filled, filled + length);
      out.index(indices).copy_(block);
      filled += length;
    }
    indices[d] = TensorIndex::slice(0, -1);
  }
  return std::move(out);
}

}  // namespace kestrane::halvex
