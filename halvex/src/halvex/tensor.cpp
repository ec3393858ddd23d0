#include "halvex/tensor.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "core/log.h"
#include "halvex/checked_size.h"
#include "halvex/convert.h"

namespace kestrane::halvex {

namespace detail {
void logBadRatio(int64_t ratio, int64_t size) { KLOG_ERROR("Both ratio ({}) and shape({}) are not 1.", ratio, size); }
}  // namespace detail

bool rowMajorStrides(IntArrayRef shape, int64_t elementSize, std::vector<int64_t>& strides, int64_t* totalBytes) {
  strides.assign(shape.size(), 0);
  int64_t s = elementSize;
  bool overflow = false;
  bool empty = false;
  for (size_t i = shape.size(); i-- > 0;) {
    if (shape[i] < 0) return false;
    strides[i] = s;
    if (shape[i] == 0) empty = true;
    // Once the product has overflowed the strides are meaningless; an empty
    // shape has no element to address, so only its byte count matters.
    if (!overflow && __builtin_mul_overflow(s, shape[i], &s)) overflow = true;
  }
  if (overflow && !empty) return false;
  if (totalBytes != nullptr) *totalBytes = empty ? 0 : s;
  return true;
}

Tensor::Tensor(IntArrayRef shape, OptionalDType dtype, bool allocate) {
  if (!dtype || !isValidDType(*dtype)) {
    KLOG_ERROR("Invalid dtype");
    return;
  }
  std::vector<int64_t> strides;
  int64_t bytes = 0;
  if (!rowMajorStrides(shape, halvex::elementSize(*dtype), strides, &bytes)) {
    KLOG_ERROR("Invalid tensor shape: a size is negative or the byte size overflows");
    return;
  }
  if (allocate) {
    // Storage starts on a cache line and fills whole lines: vector kernels
    // then load and store whole lines of row-major data, and streaming stores
    // need their alignment. Never a zero size, so that null always means
    // failure. Storage that cannot be had is host memory running out, not a
    // refused operation: it throws as every other allocation does.
    constexpr size_t kLine = 64;
    const size_t size = bytes > 0 ? (static_cast<size_t>(bytes) + kLine - 1) / kLine * kLine : kLine;
    void* block = std::aligned_alloc(kLine, size);
    if (block == nullptr) {
      KLOG_ERROR("Failed to allocate memory of bytesize: {}", bytes);
      throw std::bad_alloc();
    }
    owner_ = std::shared_ptr<void>(block, std::free);
    data_ = block;
  }
  shape_ = shape.vec();
  strides_ = std::move(strides);
  offset_ = 0;
  dtype_ = *dtype;
  elementSize_ = static_cast<uint8_t>(halvex::elementSize(*dtype));
}

Tensor::Tensor(void* data, IntArrayRef shape, OptionalDType dtype) : Tensor(shape, dtype, false) {
  if (defined()) data_ = data;
}

int64_t Tensor::numel() const {
  // Every tensor with elements was laid out with a count that fits;
  // saturate rather than wrap anyway.
  return checkedProduct(shape_).value_or(std::numeric_limits<int64_t>::max());
}

Tensor Tensor::asStrided(std::vector<int64_t> shape, std::vector<int64_t> strides, int64_t offset) const {
  Tensor t = *this;
  t.shape_ = std::move(shape);
  t.strides_ = std::move(strides);
  t.offset_ = offset;
  return t;
}

bool Tensor::isContiguous() const {
  if (!defined()) return false;
  // An empty tensor addresses nothing: any layout is row-major (and its
  // strides may be meaningless, see rowMajorStrides).
  if (numel() == 0) return true;
  int64_t expected = elementSize_;
  for (size_t i = shape_.size(); i-- > 0;) {
    if (shape_[i] == 1) continue;
    if (strides_[i] != expected) return false;
    expected *= shape_[i];
  }
  return true;
}

bool Tensor::isDense() const {
  if (!defined()) return false;
  if (numel() == 0) return true;
  std::vector<int64_t> sizes;
  std::vector<int64_t> strides;
  for (size_t i = 0; i < shape_.size(); ++i) {
    if (shape_[i] == 1) continue;
    sizes.push_back(shape_[i]);
    strides.push_back(strides_[i]);
  }
  int64_t expected = elementSize_;
  while (!sizes.empty()) {
    size_t i = 0;
    while (i < strides.size() && strides[i] != expected) ++i;
    if (i == strides.size()) return false;
    expected *= sizes[i];
    sizes.erase(sizes.begin() + static_cast<std::ptrdiff_t>(i));
    strides.erase(strides.begin() + static_cast<std::ptrdiff_t>(i));
  }
  return true;
}

Tensor Tensor::contiguous() const {
  if (!defined()) {
    KLOG_ERROR("contiguous: the tensor is undefined.");
    return {};
  }
  return isContiguous() ? *this : clone();
}

Tensor Tensor::clone() const {
  if (!defined()) {
    KLOG_ERROR("clone: the tensor is undefined.");
    return {};
  }
  TensorData out(shape_, dtype_);
  if (!out.defined()) return {};
  out.copy_(*this);
  return std::move(out);
}

template <typename T>
T Tensor::item() const {
  constexpr DType target = std::is_same<T, float>::value     ? DType::Float32
                           : std::is_same<T, int64_t>::value ? DType::Int64
                                                             : DType::Int32;
  if (!defined() || numel() == 0) {
    KLOG_ERROR("item: the tensor has no element.");
    return 0;
  }
  const char* p = IterImpl<const char>(*this, true).current();
  auto read = [&](auto tag) -> T {
    constexpr DType src = decltype(tag)::value;
    StorageType<src> v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<T>(convertValue<src, target>(v));
  };
  switch (dtype_) {
    case DType::Int64: return read(DTypeConstant<DType::Int64>{});
    case DType::Float32: return read(DTypeConstant<DType::Float32>{});
    case DType::Bool: return read(DTypeConstant<DType::Bool>{});
    default: KLOG_ERROR("Not yet implemented."); return 0;
  }
}

template int32_t Tensor::item<int32_t>() const;
template float Tensor::item<float>() const;
template int64_t Tensor::item<int64_t>() const;

}  // namespace kestrane::halvex
