#include "halvex/views.h"

#include <algorithm>
#include <limits>

#include "core/log.h"
#include "halvex/checked_size.h"
#include "halvex/tensor.h"

namespace kestrane::halvex {

namespace {
constexpr int64_t kSaturated = std::numeric_limits<int64_t>::max();

// The element count of a shape of non-negative sizes, held at INT64_MAX when
// it does not fit: such a count never equals that of a tensor that exists.
int64_t shapeCount(const std::vector<int64_t>& shape) { return checkedProduct(shape).value_or(kSaturated); }
}  // namespace

bool fillMinusOneDim(std::vector<int64_t>& shape, int64_t n) {
  int64_t product = 1;
  int64_t minusOne = -1;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == -1) {
      if (minusOne >= 0) {
        KLOG_ERROR("There are 2 or more '-1's in shape.");
        return false;
      }
      minusOne = static_cast<int64_t>(i);
    } else if (shape[i] < 0) {
      KLOG_ERROR("Invalid size {} in shape.", shape[i]);
      return false;
    } else {
      product = checkedMul(product, shape[i]).value_or(kSaturated);
    }
  }
  if (minusOne < 0) return true;
  if (product == 0) {
    // No quotient exists: any size would give zero elements.
    KLOG_ERROR("Can't infer the '-1' in a shape that has a size of 0.");
    return false;
  }
  shape[static_cast<size_t>(minusOne)] = n / product;
  return true;
}

std::vector<int64_t> computeViewStrides(IntArrayRef oldShape, IntArrayRef oldStrides, IntArrayRef newShape) {
  // Chunks of old dimensions that each form one evenly strided block, as
  // [first, last] index pairs, outermost chunk first.
  std::vector<std::pair<size_t, size_t>> chunks;
  if (!oldShape.empty()) {
    size_t last = oldShape.size() - 1;
    int64_t r = oldStrides[last];
    for (size_t d = oldShape.size(); d-- > 0;) {
      if (oldStrides[d] == r) {
        r *= oldShape[d];
      } else {
        chunks.emplace_back(d + 1, last);
        last = d;
        r = oldShape[d] * oldStrides[d];
      }
    }
    chunks.emplace_back(0, last);
    std::reverse(chunks.begin(), chunks.end());
  }
  std::vector<int64_t> strides(newShape.size(), 0);
  size_t next = 0;
  for (const auto& [first, last] : chunks) {
    int64_t c = 1;
    for (size_t d = first; d <= last; ++d) c *= oldShape[d];
    size_t begin = next;
    int64_t p = 1;
    while (next < newShape.size() && (newShape[next] == 1 || p < c)) p *= newShape[next++];
    if (p != c) return {};
    int64_t s = oldStrides[last];
    for (size_t i = next; i-- > begin;) {
      strides[i] = s;
      s *= newShape[i];
    }
  }
  // Leading size-1 dimensions of a 0-d source, or any left over, address nothing.
  for (size_t i = next; i < newShape.size(); ++i) {
    if (newShape[i] != 1) return {};
  }
  return strides;
}

namespace {
bool requireDefined(const Tensor& t, const char* op) {
  if (t.defined()) return true;
  KLOG_ERROR("{}: the tensor is undefined.", op);
  return false;
}
}  // namespace

Tensor Tensor::reshape(IntArrayRef shape) const {
  if (!requireDefined(*this, "reshape")) return {};
  std::vector<int64_t> target = shape.vec();
  int64_t n = numel();
  if (!fillMinusOneDim(target, n)) return {};
  int64_t targetN = shapeCount(target);
  if (targetN != n) {
    KLOG_ERROR("reshape: The number of elements in the target shape is not the same as in the original shape");
    return {};
  }
  if (n == 1) return asStrided(target, std::vector<int64_t>(target.size(), elementSize_), offset_);
  if (n == 0) {
    // No element is ever addressed: any strides describe the tensor, and the
    // copy path below would only search again.
    std::vector<int64_t> strides;
    rowMajorStrides(target, elementSize_, strides);
    return asStrided(target, std::move(strides), offset_);
  }
  std::vector<int64_t> strides = computeViewStrides(shape_, strides_, target);
  if (!strides.empty() || target.empty()) return asStrided(target, std::move(strides), offset_);
  TensorData copy(shape_, dtype_);
  if (!copy.defined()) return {};
  copy.copy_(*this);
  return copy.reshape(target);
}

Tensor Tensor::view(IntArrayRef shape) const {
  if (!requireDefined(*this, "view")) return {};
  std::vector<int64_t> target = shape.vec();
  int64_t n = numel();
  if (!fillMinusOneDim(target, n)) return {};
  int64_t targetN = shapeCount(target);
  if (targetN != n) {
    KLOG_ERROR(
        "view: The number of elements in the target shape is not the same as in the original shape. n: {}, "
        "target_n:{}",
        n, targetN);
    return {};
  }
  if (n == 1) return asStrided(target, std::vector<int64_t>(target.size(), elementSize_), offset_);
  std::vector<int64_t> strides;
  if (n == 0) {
    rowMajorStrides(target, elementSize_, strides);
  } else {
    strides = computeViewStrides(shape_, strides_, target);
    if (strides.empty() && !target.empty()) {
      KLOG_ERROR("view: Passed shape is not compatible with this tensor's size and stride. Use `reshape` instead.");
      return {};
    }
  }
  return asStrided(target, std::move(strides), offset_);
}

Tensor Tensor::expand(IntArrayRef sizes) const {
  if (!requireDefined(*this, "expand")) return {};
  if (static_cast<int64_t>(sizes.size()) != ndim()) {
    KLOG_ERROR("expand: sizes don't match with shape.");
    return {};
  }
  std::vector<int64_t> shape = shape_;
  std::vector<int64_t> strides = strides_;
  for (size_t d = 0; d < sizes.size(); ++d) {
    if (sizes[d] == -1 || sizes[d] == shape[d]) continue;
    if (shape[d] != 1 || sizes[d] < 0) {
      KLOG_ERROR("expand: Can't expand on non-1 dimension ({}th)", d);
      return {};
    }
    shape[d] = sizes[d];
    strides[d] = 0;
  }
  // Its bytes must fit too: a copy or any addressing of the whole view
  // multiplies the count by the element size.
  const std::optional<int64_t> count = checkedProduct(shape);
  if (!count || !checkedMul(*count, elementSize_)) {
    KLOG_ERROR("expand: the expanded tensor has too many elements.");
    return {};
  }
  return asStrided(std::move(shape), std::move(strides), offset_);
}

Tensor Tensor::flatten(int64_t startDim, int64_t endDim) const {
  if (!requireDefined(*this, "flatten")) return {};
  int64_t nd = ndim();
  if (startDim < 0 || startDim >= nd) {
    KLOG_WARN("Start dim ({}) is out of range (ndim: {})", startDim, nd);
    return {};
  }
  if (endDim < 0 || endDim >= nd) {
    KLOG_WARN("End dim ({}) is out of range (ndim: {})", endDim, nd);
    return {};
  }
  if (startDim > endDim) {
    KLOG_WARN("Start dim ({}) is after end dim ({})", startDim, endDim);
    return {};
  }
  if (startDim == endDim) return *this;
  std::vector<int64_t> shape(shape_.begin(), shape_.begin() + startDim);
  const std::optional<int64_t> merged = checkedProduct(shape_.begin() + startDim, shape_.begin() + endDim + 1);
  if (!merged) {
    KLOG_ERROR("flatten: the merged dimension does not fit 64 bits.");
    return {};
  }
  shape.push_back(*merged);
  shape.insert(shape.end(), shape_.begin() + endDim + 1, shape_.end());
  return reshape(shape);
}

Tensor Tensor::flatten(int64_t startDim) const { return flatten(startDim, ndim() - 1); }

Tensor Tensor::flip(IntArrayRef dims) const {
  if (!requireDefined(*this, "flip")) return {};
  int64_t nd = ndim();
  if (nd == 0 || numel() == 1) return *this;
  std::vector<int64_t> strides = strides_;
  for (int64_t dim : dims) {
    if (dim < -nd || dim >= nd) {
      KLOG_ERROR("flip: dim ({}) in dims is out of range (ndim: {})", dim, nd);
      return {};
    }
    size_t d = static_cast<size_t>(dim < 0 ? dim + nd : dim);
    strides[d] = -strides[d];
  }
  return asStrided(shape_, std::move(strides), offset_);
}

Tensor Tensor::permute(IntArrayRef dims) const {
  if (!requireDefined(*this, "permute")) return {};
  int64_t nd = ndim();
  if (static_cast<int64_t>(dims.size()) != nd) {
    KLOG_ERROR("Ndim mismatch, {} vs. {}", dims.size(), nd);
    return {};
  }
  std::vector<bool> seen(dims.size(), false);
  std::vector<int64_t> shape(dims.size());
  std::vector<int64_t> strides(dims.size());
  for (size_t i = 0; i < dims.size(); ++i) {
    int64_t d = dims[i];
    if (d < 0 || d >= nd || seen[static_cast<size_t>(d)]) {
      KLOG_ERROR("permute: dims must name each dimension 0 to {} once, but entry {} is {}", nd - 1, i, d);
      return {};
    }
    seen[static_cast<size_t>(d)] = true;
    shape[i] = shape_[static_cast<size_t>(d)];
    strides[i] = strides_[static_cast<size_t>(d)];
  }
  return asStrided(std::move(shape), std::move(strides), offset_);
}

Tensor Tensor::transpose(int64_t dim0, int64_t dim1) const {
  if (!requireDefined(*this, "transpose")) return {};
  int64_t nd = ndim();
  if (dim0 < -nd || dim0 >= nd) {
    KLOG_ERROR("transpose: dim0 ({}) is out of range (ndim: {})", dim0, nd);
    return {};
  }
  if (dim1 < -nd || dim1 >= nd) {
    KLOG_ERROR("transpose: dim1 ({}) is out of range (ndim: {})", dim1, nd);
    return {};
  }
  size_t a = static_cast<size_t>(dim0 < 0 ? dim0 + nd : dim0);
  size_t b = static_cast<size_t>(dim1 < 0 ? dim1 + nd : dim1);
  std::vector<int64_t> shape = shape_;
  std::vector<int64_t> strides = strides_;
  std::swap(shape[a], shape[b]);
  std::swap(strides[a], strides[b]);
  return asStrided(std::move(shape), std::move(strides), offset_);
}

Tensor Tensor::squeeze() const {
  if (!requireDefined(*this, "squeeze")) return {};
  std::vector<int64_t> shape;
  for (int64_t s : shape_) {
    if (s != 1) shape.push_back(s);
  }
  return reshape(shape);
}

Tensor Tensor::squeeze(int64_t dim) const {
  if (!requireDefined(*this, "squeeze")) return {};
  if (dim < 0 || dim >= ndim()) {
    KLOG_ERROR("Dim ({}) is out of range", dim);
    return *this;
  }
  if (shape_[static_cast<size_t>(dim)] != 1) return *this;
  std::vector<int64_t> shape = shape_;
  shape.erase(shape.begin() + dim);
  return reshape(shape);
}

Tensor Tensor::unsqueeze(int64_t dim) const {
  if (!requireDefined(*this, "unsqueeze")) return {};
  if (dim < 0 || dim > ndim()) {
    KLOG_ERROR("Dim ({}) is out of range", dim);
    return *this;
  }
  std::vector<int64_t> shape = shape_;
  shape.insert(shape.begin() + dim, 1);
  return reshape(shape);
}

}  // namespace kestrane::halvex
