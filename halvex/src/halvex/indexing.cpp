#include "halvex/indexing.h"

#include <algorithm>

#include "core/log.h"
#include "halvex/iteration.h"

namespace kestrane::halvex {

using indexing::TensorIndex;
using indexing::TensorIndexKind;

namespace indexing {

TensorIndex::TensorIndex(const halvex::Tensor& t) : tensor(t), kind(TensorIndexKind::Tensor) {
  if (t.ndim() >= 1 && t.numel() != 1 && t.dtype() != DType::Bool) {
    KLOG_ERROR("Slicing with a tensor, which has other than 1 element, is only supported for bool tensor.");
  }
}

std::vector<TensorIndex> makeTensorIndices(const halvex::Tensor& idx) {
  std::vector<TensorIndex> out;
  if (!idx.defined()) {
    KLOG_ERROR("makeTensorIndices: the index tensor is undefined.");
    return out;
  }
  if (idx.ndim() == 0) {
    out.emplace_back(idx.to(DType::Int64));
    return out;
  }
  halvex::Tensor flat = idx.reshape({-1});
  for (int64_t j = 0; j < flat.size(0); ++j) out.emplace_back(flat.select(0, j).to(DType::Int64));
  return out;
}

}  // namespace indexing

namespace {

// Where position p of a dimension of size n and byte stride s lies above the
// dimension's base: a backwards (negative-stride) dimension is read from its top.
int64_t positionOffset(int64_t p, int64_t n, int64_t s) { return s >= 0 ? p * s : (n - 1 - p) * -s; }

bool isMask(ArrayRef<TensorIndex> indices) {
  return !indices.empty() && indices[0].kind == TensorIndexKind::Tensor && indices[0].tensor.dtype() == DType::Bool;
}

// The view an index list selects, or the undefined tensor when an entry lies
// outside its dimension.
Tensor applyIndices(const Tensor& src, ArrayRef<TensorIndex> indices) {
  if (!src.defined()) {
    KLOG_ERROR("index: the tensor is undefined.");
    return {};
  }
  const int64_t nd = src.ndim();
  if (static_cast<int64_t>(indices.size()) != nd) {
    KLOG_ERROR("Shape mismatch, {} vs {}", indices.size(), nd);
    if (static_cast<int64_t>(indices.size()) > nd) return {};
  }
  std::vector<int64_t> shape;
  std::vector<int64_t> strides;
  int64_t offset = src.offset();
  int64_t tensorDims = 0;
  // A view of an empty tensor addresses nothing: its offset stays, and no
  // product of positions and (possibly meaningless) strides is formed.
  const bool addresses = src.numel() != 0;
  for (size_t d = 0; d < static_cast<size_t>(nd); ++d) {
    const int64_t n = src.shape()[d];
    const int64_t s = src.strides()[d];
    if (d >= indices.size() || indices[d].kind == TensorIndexKind::Full) {
      shape.push_back(n);
      strides.push_back(s);
      continue;
    }
    const TensorIndex& entry = indices[d];
    if (entry.kind == TensorIndexKind::Slice) {
      int64_t stop = entry.stop == -1 || entry.stop > n ? n : entry.stop;
      if (entry.start < 0 || entry.start > stop) {
        KLOG_ERROR("index: slice [{}, {}) is out of range for dimension {} of size {}", entry.start, entry.stop, d,
                   n);
        return {};
      }
      // A backwards dimension keeps its direction; its base moves to the
      // slice's lowest address, which belongs to the position stop - 1.
      if (addresses) offset += s >= 0 ? entry.start * s : (n - stop) * -s;
      shape.push_back(stop - entry.start);
      strides.push_back(s);
      continue;
    }
    int64_t p = entry.integer;
    if (entry.kind == TensorIndexKind::Tensor) {
      if (!entry.tensor.defined() || entry.tensor.numel() == 0) {
        KLOG_ERROR("index: the index tensor for dimension {} has no element.", d);
        return {};
      }
      // item reads int64, float32 and bool; any other index type is
      // converted first rather than read as position 0.
      DType it = entry.tensor.dtype();
      bool readable = it == DType::Int64 || it == DType::Float32 || it == DType::Bool;
      p = (readable ? entry.tensor : entry.tensor.to(DType::Int64)).item<int64_t>();
      tensorDims = std::max(tensorDims, entry.tensor.ndim());
    }
    if (p < 0 || p >= n) {
      KLOG_ERROR("index: position {} is out of range for dimension {} of size {}", p, d, n);
      return {};
    }
    if (addresses) offset += positionOffset(p, n, s);
  }
  if (tensorDims > 0) {
    int64_t lead = shape.empty() ? (src.strides().empty() ? src.elementSize() : src.strides().back())
                   : addresses   ? shape[0] * strides[0]
                                 : src.elementSize();
    shape.insert(shape.begin(), static_cast<size_t>(tensorDims), 1);
    strides.insert(strides.begin(), static_cast<size_t>(tensorDims), lead);
  }
  return src.asStrided(std::move(shape), std::move(strides), offset);
}

// The number of true elements of a bool tensor.
int64_t countTrue(const Tensor& mask) {
  int64_t n = 0;
  Tensor::IterImpl<const uint8_t> it(mask, true);
  forEachStretch(
      mask.numel(),
      [&](int64_t len) {
        const char* p = it.current();
        for (int64_t i = 0; i < len; ++i, p += it.step()) n += *p != 0 ? 1 : 0;
      },
      it);
  return n;
}

}  // namespace

Tensor::Tensor(const Tensor& src, ArrayRef<TensorIndex> indices) : Tensor(applyIndices(src, indices)) {}

Tensor Tensor::index(ArrayRef<TensorIndex> indices) const {
  if (!defined()) {
    KLOG_ERROR("index: the tensor is undefined.");
    return {};
  }
  if (isMask(indices)) {
    if (indices.size() != 1) {
      KLOG_ERROR("index: For indexing by bool tensor, the size of indices must be 1. But the size is {}",
                 indices.size());
      return {};
    }
    const Tensor& mask = indices[0].tensor;
    if (mask.shape() != shape_) {
      KLOG_ERROR("index: For indexing by bool tensor, the shape of bool tensor must match this tensor which is indexed.");
      return {};
    }
    int64_t n = countTrue(mask);
    TensorData out({n}, dtype_);
    if (!out.defined() || n == 0) return std::move(out);
    IterImpl<const char> src(*this, true);
    IterImpl<const uint8_t> m(mask, true);
    char* dst = out.basePtr();
    visitWidth(elementSize_, [&](auto w) {
      using W = decltype(w);
      forEachStretch(
          numel(),
          [&](int64_t len) {
            const char* s = src.current();
            const char* k = m.current();
            for (int64_t i = 0; i < len; ++i, s += src.step(), k += m.step()) {
              if (*k == 0) continue;
              storeAs<W>(dst, loadAs<W>(s));
              dst += sizeof(W);
            }
          },
          src, m);
    });
    return std::move(out);
  }
  const size_t nd = shape_.size();
  if (indices.size() == nd) return Tensor(*this, indices);
  std::vector<TensorIndex> padded(indices.begin(), indices.begin() + std::min(indices.size(), nd));
  padded.resize(nd);
  return Tensor(*this, padded);
}

Tensor& Tensor::index_put_(ArrayRef<TensorIndex> indices, const Tensor& value) {
  if (!defined() || !value.defined()) {
    KLOG_ERROR("index_put_: this tensor or the value tensor is undefined.");
    return *this;
  }
  if (!isMask(indices)) {
    Tensor target = index(indices);
    if (target.defined()) target.copy_(value);
    return *this;
  }
  if (indices.size() != 1) {
    KLOG_ERROR("index_put_: For indexing by bool Tensor, the size of indices must be 1. But the size is {}",
               indices.size());
    return *this;
  }
  const Tensor& mask = indices[0].tensor;
  if (mask.shape() != shape_) {
    KLOG_ERROR("index_put_: For indexing by bool tensor, the shape of bool tensor must match this tensor which is "
               "indexed.");
    return *this;
  }
  int64_t n = countTrue(mask);
  // The values are written at this tensor's element width, so they must
  // first have its type.
  Tensor v = value.to(dtype_);
  if (!v.defined()) return *this;
  int64_t vn = v.numel();
  bool leadingOnes = v.ndim() <= 1 || std::all_of(v.shape().begin(), v.shape().end() - 1, [](int64_t s) { return s == 1; });
  if (!leadingOnes || (vn != n && vn != 1)) {
    KLOG_ERROR("index_put_: rhs tensor must be broadcastable to shape [{}]. But it is not.", n);
    return *this;
  }
  if (n == 0) return *this;
  v = v.reshape({vn}).contiguous();
  if (!v.defined()) return *this;
  const char* vp = v.basePtr();
  const int64_t vstep = vn == 1 ? 0 : elementSize_;
  IterImpl<char> dst(*this, true);
  IterImpl<const uint8_t> m(mask, true);
  visitWidth(elementSize_, [&](auto w) {
    using W = decltype(w);
    forEachStretch(
        numel(),
        [&](int64_t len) {
          char* d = dst.current();
          const char* k = m.current();
          for (int64_t i = 0; i < len; ++i, d += dst.step(), k += m.step()) {
            if (*k == 0) continue;
            storeAs<W>(d, loadAs<W>(vp));
            vp += vstep;
          }
        },
        dst, m);
  });
  return *this;
}

Tensor Tensor::select(int64_t dim, int64_t i) const {
  if (!defined()) {
    KLOG_ERROR("select: the tensor is undefined.");
    return {};
  }
  if (dim < 0 || dim >= ndim()) {
    KLOG_ERROR("select: dim ({}) is out of range (ndim: {})", dim, ndim());
    return {};
  }
  std::vector<TensorIndex> indices(shape_.size());
  indices[static_cast<size_t>(dim)] = TensorIndex(i);
  return index(indices);
}

}  // namespace kestrane::halvex
