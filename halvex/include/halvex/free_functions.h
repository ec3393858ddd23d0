#pragma once

// Free functions of the tensor library: factories, joining and cutting, and
// the conversions between tensors and lists.

#include <cstdint>
#include <vector>

#include "halvex/tensor.h"

namespace kestrane::halvex {

namespace internal {
// Writes value as one element of dtype at dst: the low bits for the narrower
// integers, the nearest value for the float types, value != 0 for bool.
void assignValue(void* dst, OptionalDType dtype, int32_t value);
}  // namespace internal

// int64 sequence start, start + step, ... up to but excluding end; empty when
// step points away from end, the undefined tensor when step is 0.
Tensor arange(int32_t start, int32_t end, int32_t step);
// float32 tensor of the shape holding value everywhere.
Tensor full(IntArrayRef shape, float value);
// Joins tensors of equal rank and equal sizes outside dim along dim; every
// block is converted to the first tensor's type.
Tensor cat(const std::vector<Tensor>& tensors, int64_t dim);
// Joins tensors of equal shape along a new dimension dim.
Tensor stack(const std::vector<Tensor>& tensors, int64_t dim);
// Views of consecutive pieces of the given sizes along dim; empty when dim is
// out of range or the sizes overrun the dimension.
std::vector<Tensor> split(const Tensor& tensor, const std::vector<int64_t>& sizes, int64_t dim);

// 0-d tensors of the dtype holding the value (double: by the conversion rules
// of Tensor::to).
Tensor scalarTensor(int32_t value, OptionalDType dtype);
Tensor scalarTensor(double value, OptionalDType dtype);

// 1-D tensors of the list's values, in order.
Tensor fromVector(const std::vector<int32_t>& values, OptionalDType dtype);
Tensor fromVector(const std::vector<int32_t>& values);  // int32
Tensor fromVector(const std::vector<int64_t>& values);  // int64
Tensor fromVector(const std::vector<int64_t>& values, OptionalDType dtype);
Tensor fromVector(const std::vector<double>& values);  // float64

// A tensor of the shape and dtype with every element 0.
Tensor zeros(IntArrayRef shape, OptionalDType dtype);

// The elements as float64, in row-major order.
std::vector<double> toDoubleVector(const Tensor& tensor);

}  // namespace kestrane::halvex
