#include <algorithm>
#include <array>
#include <cstring>

#include "core/log.h"
#include "halvex/iteration.h"
#include "halvex/ops_util.h"
#include "halvex/strided_loop.h"

namespace kestrane::halvex {

Tensor Tensor::index_select(int64_t dim, const Tensor& index) const {
  if (!defined() || !index.defined()) {
    KLOG_ERROR("index_select: this tensor or the index tensor is undefined.");
    return {};
  }
  if (dim < 0 || dim >= ndim()) {
    KLOG_ERROR("index_select: dim ({}) is out of range (ndim: {})", dim, ndim());
    return {};
  }
  if (index.ndim() != 1) {
    KLOG_ERROR("Index is in unexpected form, ndim is {}.", index.ndim());
    return {};
  }
  Tensor idx = index.to(DType::Int64).contiguous();
  if (!idx.defined()) return {};
  const int64_t size = shape_[static_cast<size_t>(dim)];
  const int64_t count = idx.numel();
  const char* p = idx.basePtr();
  // Runs [a, b) of consecutive ascending positions, each copied as one block.
  std::vector<std::pair<int64_t, int64_t>> runs;
  for (int64_t i = 0; i < count; ++i) {
    int64_t v = loadAs<int64_t>(p + i * 8);
    if (v < 0 || v >= size) {
      KLOG_ERROR("index_select: index {} is out of range for dimension {} of size {}", v, dim, size);
      return {};
    }
    if (!runs.empty() && runs.back().second == v) {
      ++runs.back().second;
    } else {
      runs.emplace_back(v, v + 1);
    }
  }
  std::vector<int64_t> shape = shape_;
  const size_t d = static_cast<size_t>(dim);
  shape[d] = count;
  Tensor out = detail::newTensor(shape, dtype_);
  if (!out.defined()) return {};
  if (out.numel() == 0) return out;
  const char* first = detail::firstElement(*this);
  const int64_t esz = elementSize_;
  // The dimensions after dim: one block per position when they are row-major.
  bool rowMajorInner = true;
  int64_t innerBytes = esz;
  for (size_t k = shape_.size(); k-- > d + 1;) {
    if (shape_[k] != 1 && strides_[k] != innerBytes) rowMajorInner = false;
    innerBytes *= shape_[k];
  }
  if (!rowMajorInner) {
    // Any other layout: each run through the strided copy.
    std::vector<int64_t> block = shape_;
    int64_t q = 0;
    for (const auto& [a, b] : runs) {
      block[d] = b - a;
      detail::copyElements(out.basePtr() + q * out.strides()[d], out.strides(), first + a * strides_[d], strides_,
                           block, esz);
      q += b - a;
    }
    return out;
  }
  // Row-major blocks: one copy per run when positions are a block apart,
  // else one per position; the dimensions before dim are walked around them.
  const int64_t srcStep = strides_[d];
  // The start of the next block is fetched ahead: the blocks lie anywhere,
  // and the hardware only learns each new stream after a few misses.
  constexpr int64_t kAhead = 2048;
  auto copyRuns = [&](char* dst, const char* src) {
    for (size_t r = 0; r < runs.size(); ++r) {
      const auto [a, b] = runs[r];
      if (r + 1 < runs.size()) {
        const char* next = src + runs[r + 1].first * srcStep;
        for (int64_t off = 0; off < std::min(innerBytes, kAhead); off += 64) __builtin_prefetch(next + off);
      }
      if (srcStep == innerBytes || b - a == 1) {
        std::memcpy(dst, src + a * srcStep, static_cast<size_t>((b - a) * innerBytes));
        dst += (b - a) * innerBytes;
        continue;
      }
      for (int64_t v = a; v < b; ++v, dst += innerBytes) {
        std::memcpy(dst, src + v * srcStep, static_cast<size_t>(innerBytes));
      }
    }
  };
  const std::vector<int64_t> outer(shape_.begin(), shape_.begin() + dim);
  StridedLoop<2> loop{outer,
                      {std::vector<int64_t>(out.strides().begin(), out.strides().begin() + dim),
                       std::vector<int64_t>(strides_.begin(), strides_.begin() + dim)}};
  loop.run({out.basePtr(), const_cast<char*>(first)},
           [&](const std::array<char*, 2>& p, int64_t n, const std::array<int64_t, 2>& step) {
             for (int64_t i = 0; i < n; ++i) copyRuns(p[0] + i * step[0], p[1] + i * step[1]);
           });
  return out;
}

Tensor Tensor::nonzero() const {
  if (!defined()) {
    KLOG_ERROR("nonzero: the tensor is undefined.");
    return {};
  }
  const size_t nd = shape_.size();
  std::vector<int64_t> coords;
  std::vector<int64_t> counter(nd, 0);
  int64_t found = 0;
  IterImpl<const char> it(*this, true);
  visitDType(dtype_, [&](auto tag) {
    using T = StorageType<decltype(tag)::value>;
    forEachStretch(
        numel(),
        [&](int64_t len) {
          const char* e = it.current();
          for (int64_t i = 0; i < len; ++i, e += it.step()) {
            // Float elements count unless equal to 0.0: NaN counts, -0.0 does not.
            if (loadAs<T>(e) != 0) {
              coords.insert(coords.end(), counter.begin(), counter.end());
              ++found;
            }
            for (size_t d = nd; d-- > 0;) {
              if (++counter[d] < shape_[d]) break;
              counter[d] = 0;
            }
          }
        },
        it);
  });
  TensorData out({found, static_cast<int64_t>(nd)}, DType::Int64);
  if (out.defined() && !coords.empty()) std::memcpy(out.basePtr(), coords.data(), coords.size() * sizeof(int64_t));
  return std::move(out);
}

Tensor Tensor::where(const Tensor& cond, const Tensor& other) const {
  if (!defined() || !cond.defined() || !other.defined()) {
    KLOG_ERROR("where: `cond`, `this` or `other` is undefined.");
    return {};
  }
  if (cond.dtype() != DType::Bool) {
    KLOG_ERROR("where: `cond` is not boolean.");
    return {};
  }
  DType type = *promoteTypes(dtype_, other.dtype());
  Tensor ops[3] = {cond, to(type), other.to(type)};
  int64_t nd = 0;
  for (const Tensor& t : ops) {
    if (!t.defined()) return {};
    nd = std::max(nd, t.ndim());
  }
  for (Tensor& t : ops) {
    while (t.ndim() < nd) t = t.unsqueeze(0);
  }
  std::vector<int64_t> shape(static_cast<size_t>(nd), 1);
  for (size_t d = 0; d < shape.size(); ++d) {
    for (const Tensor& t : ops) {
      int64_t s = t.shape()[d];
      if (s == 1) continue;
      if (shape[d] != 1 && shape[d] != s) {
        KLOG_ERROR("where: `cond`, `this` and `other` cannot be broadcasted together.");
        return {};
      }
      shape[d] = s;
    }
  }
  std::vector<int64_t> ratios[3];
  for (int k = 0; k < 3; ++k) {
    for (size_t d = 0; d < shape.size(); ++d) ratios[k].push_back(ops[k].shape()[d] == 1 ? shape[d] : 1);
  }
  TensorData out(shape, type);
  if (!out.defined()) return {};
  IterImpl<const uint8_t> c(ops[0], true, ratios[0]);
  IterImpl<const char> a(ops[1], true, ratios[1]);
  IterImpl<const char> b(ops[2], true, ratios[2]);
  IterImpl<char> o(out, true);
  visitWidth(halvex::elementSize(type), [&](auto w) {
    using W = decltype(w);
    forEachStretch(
        out.numel(),
        [&](int64_t len) {
          const char* cp = c.current();
          const char* ap = a.current();
          const char* bp = b.current();
          char* op = o.current();
          for (int64_t i = 0; i < len; ++i) {
            storeAs<W>(op, loadAs<W>(*cp != 0 ? ap : bp));
            cp += c.step();
            ap += a.step();
            bp += b.step();
            op += o.step();
          }
        },
        c, a, b, o);
  });
  return std::move(out);
}

}  // namespace kestrane::halvex
