#pragma once

// Helpers shared by the element-wise, reduction, sort and product drivers.

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "halvex/tensor.h"

namespace kestrane::halvex::detail {

// The dtype groups the operation tables are filled for.
constexpr std::initializer_list<DType> kFloats = {DType::Float32, DType::Float64};
constexpr std::initializer_list<DType> kNumeric = {DType::UInt8, DType::Int8,    DType::Int16,  DType::Int32,
                                                   DType::Int64, DType::Float32, DType::Float64};
constexpr std::initializer_list<DType> kAll = {DType::UInt8, DType::Int8,    DType::Int16,   DType::Int32,
                                               DType::Int64, DType::Float32, DType::Float64, DType::Bool};

// A new row-major tensor (TensorData) whose large storage is advised to be
// backed by huge pages: results of several megabytes are written once in
// full, and page faults would otherwise cost as much as the work.
Tensor newTensor(IntArrayRef shape, OptionalDType dtype);

// Address of the element with every index 0 (the top of a backwards dimension).
char* firstElement(const Tensor& t);

// The tensor itself when kernels may address it as a typed array (aligned
// base, strides whole multiples of the element size), else a row-major copy.
Tensor kernelReady(const Tensor& t);

// Copies the elements of src into dst, both of shape `shape` with their own
// byte strides (0 repeats an element; with negative strides the pointers
// address index 0), elements of esz bytes. Transposed layouts are walked tile
// by tile. The two must not overlap.
void copyElements(char* dst, const std::vector<int64_t>& dstStrides, const char* src,
                  const std::vector<int64_t>& srcStrides, const std::vector<int64_t>& shape, int64_t esz);

// The same into the row-major block at dst.
void copyInto(char* dst, const char* src, const std::vector<int64_t>& shape, const std::vector<int64_t>& srcStrides,
              int64_t esz);

// t itself when it is row-major and kernel-ready, else a row-major copy.
Tensor rowMajor(const Tensor& t);

// Byte strides of t with dimensions of size 1 prepended to reach rank, and
// set to 0 where t has size 1 but the target shape does not (a broadcast).
std::vector<int64_t> broadcastStrides(const Tensor& t, const std::vector<int64_t>& target);

// dim counted from the end when negative; false (after one error line naming
// op) when it lies outside the tensor's dimensions. A 0-d tensor takes -1 and 0.
bool normaliseDim(int64_t& dim, int64_t ndim, const char* op);

// The shape without dimension dim, or with it set to 1 when keepdim.
std::vector<int64_t> reducedShape(const std::vector<int64_t>& shape, int64_t dim, bool keepdim);

// Product of shape[begin, end): 0 when a size is 0, INT64_MAX when it does not
// fit (possible only for a part of an empty tensor's shape: callers return
// early for empty tensors rather than loop over such a count).
int64_t sizeProduct(const std::vector<int64_t>& shape, size_t begin, size_t end);

}  // namespace kestrane::halvex::detail
