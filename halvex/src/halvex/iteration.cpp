#include "halvex/iteration.h"

#include <cstdlib>
#include <utility>

#include "core/log.h"
#include "halvex/ops_util.h"

namespace kestrane::halvex {

ContiguousRun computeContiguousRun(const Tensor& t, bool unitFromStride, IntArrayRef ratios) {
  ContiguousRun r;
  const auto& shape = t.shape();
  const auto& strides = t.strides();
  if (shape.empty()) {
    r.unit = r.runBytes = t.elementSize();
    return r;
  }
  r.unit = t.elementSize();
  if (unitFromStride && strides.back() != 0) r.unit = strides.back();
  int64_t run = r.unit;
  int64_t d = static_cast<int64_t>(shape.size()) - 1;
  for (; d >= 0; --d) {
    size_t ud = static_cast<size_t>(d);
    bool stretched = ud < ratios.size() && ratios[ud] != 1;
    if (strides[ud] != run || stretched) break;
    run *= shape[ud];
  }
  r.outerDims = static_cast<int32_t>(d + 1);
  r.runBytes = run;
  return r;
}

bool computeBroadcastRatios(IntArrayRef a, IntArrayRef b, std::vector<int64_t>& ratiosA,
                            std::vector<int64_t>& ratiosB, std::vector<int64_t>& outShape) {
  ratiosA.clear();
  ratiosB.clear();
  outShape.clear();
  for (size_t i = a.size(), j = b.size(); i > 0 && j > 0; --i, --j) {
    int64_t x = a[i - 1];
    int64_t y = b[j - 1];
    if (x == y) {
      ratiosA.push_back(1);
      ratiosB.push_back(1);
      outShape.push_back(x);
    } else if (x == 1) {
      ratiosA.push_back(y);
      ratiosB.push_back(1);
      outShape.push_back(y);
    } else if (y == 1) {
      ratiosA.push_back(1);
      ratiosB.push_back(x);
      outShape.push_back(x);
    } else {
      return false;
    }
  }
  std::reverse(ratiosA.begin(), ratiosA.end());
  std::reverse(ratiosB.begin(), ratiosB.end());
  std::reverse(outShape.begin(), outShape.end());
  return true;
}

namespace {

// Copies n elements of width sizeof(W) between two stretches, in order (for
// overlapping tensors).
template <typename W>
void copyStretch(char* dst, int64_t dstStep, const char* src, int64_t srcStep, int64_t n) {
  constexpr int64_t w = sizeof(W);
  if (dstStep == w && srcStep == w) {
    std::memmove(dst, src, static_cast<size_t>(n * w));
    return;
  }
  if (srcStep == 0) {
    W v = loadAs<W>(src);
    for (int64_t i = 0; i < n; ++i, dst += dstStep) storeAs<W>(dst, v);
    return;
  }
  for (int64_t i = 0; i < n; ++i, dst += dstStep, src += srcStep) storeAs<W>(dst, loadAs<W>(src));
}

// The bytes [first, last) that hold a tensor's elements (it has some).
std::pair<uintptr_t, uintptr_t> byteExtent(const Tensor& t) {
  const uintptr_t first = reinterpret_cast<uintptr_t>(t.basePtr());
  int64_t span = t.elementSize();
  for (int64_t d = 0; d < t.ndim(); ++d) span += (t.size(d) - 1) * std::abs(t.stride(d));
  return {first, first + static_cast<uintptr_t>(span)};
}

bool overlap(const Tensor& a, const Tensor& b) {
  const auto [a0, a1] = byteExtent(a);
  const auto [b0, b1] = byteExtent(b);
  return a0 < b1 && b0 < a1;
}

}  // namespace

Tensor& Tensor::copy_(const Tensor& src) {
  if (&src == this) return *this;
  if (!defined() || !src.defined()) {
    KLOG_ERROR("copy_: this tensor or src tensor is undefined.");
    return *this;
  }
  if (dtype_ != src.dtype_) {
    KLOG_ERROR("copy_: Not implemented yet for the case where this tensor and src tensor have different type.");
    return *this;
  }
  Tensor dst = *this;
  if (dst.ndim() == 0) dst = dst.asStrided({1}, {elementSize_}, offset_);
  Tensor from = src;
  if (from.ndim() > dst.ndim()) {
    KLOG_ERROR("copy_: src tensor must be broadcastable to this tensor but it is not.");
    return *this;
  }
  if (from.ndim() < dst.ndim()) {
    size_t extra = static_cast<size_t>(dst.ndim() - from.ndim());
    std::vector<int64_t> shape(extra, 1);
    std::vector<int64_t> strides(extra, 0);
    shape.insert(shape.end(), from.shape_.begin(), from.shape_.end());
    strides.insert(strides.end(), from.strides_.begin(), from.strides_.end());
    from = from.asStrided(std::move(shape), std::move(strides), from.offset_);
  }
  std::vector<int64_t> ratios(dst.shape_.size(), 1);
  for (size_t d = dst.shape_.size(); d-- > 0;) {
    if (from.shape_[d] == dst.shape_[d]) continue;
    if (from.shape_[d] != 1) {
      KLOG_ERROR("copy_: src tensor must be broadcastable to this tensor but it is not.");
      return *this;
    }
    ratios[d] = dst.shape_[d];
  }
  int64_t count = dst.numel();
  if (count == 0) return *this;
  if (!overlap(dst, from)) {
    // Broadcast dimensions repeat their element: stride 0.
    std::vector<int64_t> srcStrides = from.strides_;
    for (size_t d = 0; d < ratios.size(); ++d) {
      if (ratios[d] != 1) srcStrides[d] = 0;
    }
    detail::copyElements(detail::firstElement(dst), dst.strides_, detail::firstElement(from), srcStrides, dst.shape_,
                         elementSize_);
    return *this;
  }
  // Overlapping views of one storage keep the plain row-major order of the
  // element copies, which decides what the overlapping elements end up holding.
  IterImpl<const char> in(from, true, ratios);
  IterImpl<char> out(dst, true);
  visitWidth(elementSize_, [&](auto w) {
    using W = decltype(w);
    forEachStretch(
        count, [&](int64_t n) { copyStretch<W>(out.current(), out.step(), in.current(), in.step(), n); }, in, out);
  });
  return *this;
}

}  // namespace kestrane::halvex
