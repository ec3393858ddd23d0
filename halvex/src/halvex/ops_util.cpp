#include "halvex/ops_util.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

#include "halvex/checked_size.h"
#include "halvex/kernels_copy.h"
#include "halvex/kernels_transpose.h"
#include "halvex/strided_loop.h"

#include "core/log.h"

namespace kestrane::halvex::detail {

Tensor newTensor(IntArrayRef shape, OptionalDType dtype) {
  TensorData t(shape, dtype);
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  const int64_t bytes = t.defined() ? t.numel() * t.elementSize() : 0;
  if (bytes >= int64_t{4} << 20) {
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(t.basePtr()) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(t.basePtr()) + static_cast<uintptr_t>(bytes)) & ~(kHuge - 1);
    // Only advice: a kernel without transparent huge pages ignores it.
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
  return std::move(t);
}

char* firstElement(const Tensor& t) {
  char* p = t.basePtr();
  if (t.numel() == 0) return p;  // no element; strides may be meaningless
  for (int64_t d = 0; d < t.ndim(); ++d) {
    if (t.stride(d) < 0) p += (t.size(d) - 1) * -t.stride(d);
  }
  return p;
}

Tensor kernelReady(const Tensor& t) {
  const int64_t esz = t.elementSize();
  bool ok = reinterpret_cast<uintptr_t>(t.basePtr()) % static_cast<uintptr_t>(esz) == 0;
  for (int64_t s : t.strides()) ok = ok && s % esz == 0;
  return ok ? t : t.clone();
}

std::vector<int64_t> broadcastStrides(const Tensor& t, const std::vector<int64_t>& target) {
  std::vector<int64_t> out(target.size(), 0);
  const size_t lead = target.size() - static_cast<size_t>(t.ndim());
  for (size_t d = 0; d < static_cast<size_t>(t.ndim()); ++d) {
    const int64_t size = t.shape()[d];
    out[lead + d] = (size == 1 && target[lead + d] != 1) ? 0 : t.strides()[d];
  }
  return out;
}

namespace {
constexpr int64_t kShortSide = 64;         // elements
constexpr int64_t kLongSideBytes = 2048;
}  // namespace

void copyElements(char* dst, const std::vector<int64_t>& dstStrides, const char* src,
                  const std::vector<int64_t>& srcStrides, const std::vector<int64_t>& shape, int64_t esz) {
  using Steps = StridedLoop<2>::Steps;
  const StridedLoop<2> loop{shape, {dstStrides, srcStrides}};
  const bool stream = sizeProduct(shape, 0, shape.size()) >= kernels::kStreamBytes / esz;
  const kernels::TransposeFn transpose = kernels::transposeKernel(static_cast<int32_t>(esz), stream);
  const kernels::ReverseFn reverse = kernels::reverseKernel(static_cast<int32_t>(esz), stream);
  // Transposed tiles are long along the source's rows: each tile then reads
  // long stretches of few source rows, which the hardware fetches ahead, and
  // writes short stretches of many destination rows, in whole lines.
  int64_t tileRows = kShortSide, tileCols = kShortSide;
  const auto last = std::find_if(shape.rbegin(), shape.rend(), [](int64_t s) { return s != 1; });
  if (last != shape.rend()) {
    const int64_t srcStep = srcStrides[static_cast<size_t>(shape.rend() - last) - 1];
    (srcStep == esz || srcStep == -esz ? tileCols : tileRows) = kLongSideBytes / esz;
  }
  visitWidth(static_cast<int32_t>(esz), [&](auto w) {
    using W = decltype(w);
    auto run = [&](const std::array<char*, 2>& p, int64_t n, const Steps& step) {
      if (step[0] == esz && step[1] == -esz) {
        reverse(p[0], p[1], n);
      } else {
        kernels::copyRun<W>(p[0], step[0], p[1], step[1], n);
      }
    };
    // A tile whose source is transposed against its destination (or the
    // other way round) is transposed in registers.
    auto tile = [&](const std::array<char*, 2>& p, int64_t rows, int64_t cols, const Steps& rowStep,
                    const Steps& colStep) {
      if (colStep[0] == esz && rowStep[1] == esz) {
        transpose(p[0], rowStep[0], p[1], colStep[1], rows, cols);
      } else if (rowStep[0] == esz && colStep[1] == esz) {
        transpose(p[0], colStep[0], p[1], rowStep[1], cols, rows);
      } else {
        for (int64_t i = 0; i < rows; ++i) run({p[0] + i * rowStep[0], p[1] + i * rowStep[1]}, cols, colStep);
      }
    };
    loop.runTiles({dst, const_cast<char*>(src)}, run, tile, tileRows, tileCols);
  });
  if (stream) kernels::streamFence();
}

void copyInto(char* dst, const char* src, const std::vector<int64_t>& shape, const std::vector<int64_t>& srcStrides,
              int64_t esz) {
  std::vector<int64_t> dstStrides;
  rowMajorStrides(shape, esz, dstStrides);
  copyElements(dst, dstStrides, src, srcStrides, shape, esz);
}

Tensor rowMajor(const Tensor& t) {
  const Tensor ready = kernelReady(t);
  if (ready.isContiguous() || !ready.defined()) return ready;
  Tensor out = newTensor(ready.shape(), ready.dtype());
  if (out.defined()) copyInto(out.basePtr(), firstElement(ready), ready.shape(), ready.strides(), ready.elementSize());
  return out;
}

bool normaliseDim(int64_t& dim, int64_t ndim, const char* op) {
  const int64_t rank = ndim == 0 ? 1 : ndim;
  const int64_t original = dim;
  if (dim < 0) dim += rank;
  if (dim < 0 || dim >= rank) {
    KLOG_ERROR("{}: dim ({}) is out of range (ndim: {})", op, original, ndim);
    return false;
  }
  return true;
}

std::vector<int64_t> reducedShape(const std::vector<int64_t>& shape, int64_t dim, bool keepdim) {
  std::vector<int64_t> out = shape;
  if (keepdim) {
    out[static_cast<size_t>(dim)] = 1;
  } else {
    out.erase(out.begin() + dim);
  }
  return out;
}

int64_t sizeProduct(const std::vector<int64_t>& shape, size_t begin, size_t end) {
  const auto first = shape.begin() + static_cast<std::ptrdiff_t>(begin);
  return checkedProduct(first, first + static_cast<std::ptrdiff_t>(end - begin))
      .value_or(std::numeric_limits<int64_t>::max());
}

}  // namespace kestrane::halvex::detail
