#pragma once

#include <cstdint>
#include <memory>
#include <tuple>
#include <vector>

#include "halvex/array_ref.h"
#include "halvex/dtype.h"
#include "halvex/op_table.h"

namespace kestrane::halvex {

namespace indexing {
class TensorIndex;
}  // namespace indexing

// An n-dimensional strided view of typed elements over a block of bytes that
// every copy and view shares. Strides are in BYTES; a negative stride runs its
// dimension backwards from the top: the element with index (i0, i1, ...) sits
// at data + offset + sum over d of i_d * stride_d (stride_d >= 0) or
// (shape_d - 1 - i_d) * |stride_d| (stride_d < 0).
//
// A refused operation logs one error line and returns the undefined tensor
// (see defined()). The one thing that throws is host memory running out:
// storage (after a line that gives its size) or any list an operation makes
// throws std::bad_alloc. Copies are shallow; clone() is the deep copy.
class Tensor {
 public:
  // Walks a tensor's elements in row-major index order; defined in iter_impl.h.
  template <typename T>
  class IterImpl;

  // The undefined tensor: no storage, shape {0}, no strides, dtype Undefined.
  Tensor() = default;
  // A row-major view over caller memory; nothing is copied or freed, the
  // caller keeps the memory alive while the view or a copy of it is used.
  Tensor(void* data, IntArrayRef shape, OptionalDType dtype);
  // The view selected by an index list (see indexing.h).
  Tensor(const Tensor& src, ArrayRef<indexing::TensorIndex> indices);

  bool defined() const { return dtype_ != DType::Undefined; }
  DType dtype() const { return dtype_; }
  int32_t elementSize() const { return elementSize_; }
  int64_t ndim() const { return static_cast<int64_t>(shape_.size()); }
  int64_t numel() const;
  const std::vector<int64_t>& shape() const { return shape_; }
  const std::vector<int64_t>& strides() const { return strides_; }
  int64_t size(int64_t dim) const { return shape_[static_cast<size_t>(dim)]; }
  int64_t stride(int64_t dim) const { return strides_[static_cast<size_t>(dim)]; }
  int64_t offset() const { return offset_; }
  // Start of the storage block (the caller's pointer for a view over caller memory).
  void* data() const { return data_; }
  // data() + offset(): the base element, from which every dimension is laid out upwards.
  char* basePtr() const { return static_cast<char*>(data_) + offset_; }
  // Keeps the storage alive; empty for views over caller memory.
  const std::shared_ptr<void>& owner() const { return owner_; }

  // Shallow copy with another layout over the same storage. Unchecked: the
  // caller keeps every addressed element inside the storage.
  Tensor asStrided(std::vector<int64_t> shape, std::vector<int64_t> strides, int64_t offset) const;

  // Storage and copies.
  Tensor contiguous() const;
  Tensor clone() const;
  // The first element in row-major order as int32_t, float or int64_t.
  template <typename T>
  T item() const;
  bool isContiguous() const;
  bool isDense() const;
  Tensor& copy_(const Tensor& src);
  Tensor to(OptionalDType dtype) const;

  // Shape and view operations.
  Tensor reshape(IntArrayRef shape) const;
  Tensor view(IntArrayRef shape) const;
  Tensor expand(IntArrayRef sizes) const;
  Tensor flatten(int64_t startDim, int64_t endDim) const;
  Tensor flatten(int64_t startDim) const;
  Tensor flip(IntArrayRef dims) const;
  Tensor permute(IntArrayRef dims) const;
  Tensor transpose(int64_t dim0, int64_t dim1) const;
  Tensor squeeze() const;
  Tensor squeeze(int64_t dim) const;
  Tensor unsqueeze(int64_t dim) const;

  // Indexing and selection.
  Tensor index(ArrayRef<indexing::TensorIndex> indices) const;
  Tensor& index_put_(ArrayRef<indexing::TensorIndex> indices, const Tensor& value);
  Tensor index_select(int64_t dim, const Tensor& index) const;
  Tensor nonzero() const;
  Tensor where(const Tensor& cond, const Tensor& other) const;
  Tensor select(int64_t dim, int64_t index) const;

  Tensor tile(IntArrayRef repeats) const;

  // Element-wise drivers (unary_ops.cpp, binary_ops.cpp). The result dtype is
  // bool when toBool is set, else the promotion of the operands' dtypes and
  // the requested one; results always own new storage.
  Tensor unaryOp(const UnaryOpTable& table, OptionalDType dtype, bool toBool) const;
  Tensor binaryOp(const Tensor& other, const BinaryOpTable& table, OptionalDType dtype, bool toBool) const;

  // Unary operations; the floating functions give float32 (float64 stays).
  Tensor abs() const;
  Tensor erf() const;
  Tensor exp() const;
  Tensor hardswish() const;
  Tensor log() const;
  Tensor sigmoid() const;
  Tensor sqrt() const;
  Tensor tanh() const;
  Tensor logical_not() const;
  Tensor square() const;

  // Binary operations. A scalar is always the right operand: an int takes
  // this tensor's dtype, a double float32 unless this tensor is floating.
  Tensor operator+(const Tensor& other) const;
  Tensor operator+(int other) const;
  Tensor operator+(double other) const;
  Tensor operator-(const Tensor& other) const;
  Tensor operator*(const Tensor& other) const;
  Tensor operator*(double other) const;
  Tensor operator/(const Tensor& other) const;
  Tensor operator/(int other) const;
  Tensor operator<(const Tensor& other) const;
  Tensor operator<(int other) const;
  Tensor operator<(double other) const;
  Tensor operator>(const Tensor& other) const;
  Tensor operator>(double other) const;
  Tensor operator==(const Tensor& other) const;
  Tensor logical_and(const Tensor& other) const;
  Tensor logical_or(const Tensor& other) const;
  Tensor logical_xor(const Tensor& other) const;
  Tensor maximum(const Tensor& other) const;
  Tensor clamp_min(double min) const;
  Tensor clamp_max(double max) const;
  Tensor fmod(const Tensor& other) const;
  Tensor remainder(const Tensor& other) const;
  Tensor pow(const Tensor& exponent) const;

  // Clamp against broadcast bound tensors or two numbers, and relu (clamp.cpp).
  Tensor clamp(const Tensor& min, const Tensor& max) const;
  Tensor clamp(double min, double max) const;
  Tensor relu() const;

  // Reductions (reduce_ops.cpp). Whole-tensor forms give a 0-d tensor; the
  // forms along dim (negative counts from the end) drop it or keep it as 1.
  Tensor max() const;
  Tensor min() const;
  Tensor sum() const;
  Tensor prod() const;
  Tensor mean() const;
  std::tuple<Tensor, Tensor> max(int64_t dim, bool keepdim) const;
  std::tuple<Tensor, Tensor> min(int64_t dim, bool keepdim) const;
  Tensor argmax(int64_t dim, bool keepdim) const;
  Tensor sum(int64_t dim, bool keepdim) const;
  Tensor prod(int64_t dim, bool keepdim) const;
  Tensor mean(int64_t dim, bool keepdim) const;

  // Sorting along dim (sort_ops.cpp): values and int64 source positions.
  std::tuple<Tensor, Tensor> sort(int64_t dim, bool descending) const;
  std::tuple<Tensor, Tensor> topk(int64_t k, int64_t dim, bool largest, bool sorted) const;

  // Product with a matrix [K, N] or a vector [K] (matmul.cpp); float only.
  Tensor matmul(Tensor other) const;

 protected:
  // Lays out fresh row-major storage of the shape; the undefined tensor when
  // the type or shape is invalid or the allocation fails.
  Tensor(IntArrayRef shape, OptionalDType dtype, bool allocate);

 private:
  std::shared_ptr<void> owner_;
  void* data_ = nullptr;
  std::vector<int64_t> shape_{0};
  std::vector<int64_t> strides_;
  int64_t offset_ = 0;
  DType dtype_ = DType::Undefined;
  uint8_t elementSize_ = 0;
};

// A tensor that owns fresh, uninitialised row-major storage of the shape.
class TensorData : public Tensor {
 public:
  TensorData(IntArrayRef shape, OptionalDType dtype) : Tensor(shape, dtype, true) {}
};

// Fills the row-major byte strides of a shape (and its byte size); false when
// a size is negative or a stride or the byte size would overflow 64 bits.
bool rowMajorStrides(IntArrayRef shape, int64_t elementSize, std::vector<int64_t>& strides,
                     int64_t* totalBytes = nullptr);

}  // namespace kestrane::halvex

#include "halvex/iter_impl.h"
