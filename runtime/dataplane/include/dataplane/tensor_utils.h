#pragma once

// Handing host tensors to callers: as NDArrays sharing the storage, as a list
// of floats, or as a raw file.

#include <cstdint>
#include <string>
#include <vector>

#include "halvex/tensor.h"
#include "kestrane/status.h"
#include "kestrane/type.h"

namespace kestrane {

// An NDArray sharing the tensor's storage (no copy for tensors that own
// their storage densely); int8_t expects an int8 tensor, float a float32
// one. A mismatch logs and gives an empty array.
template <typename T>
NDArray<T> moveToNDArray(const halvex::Tensor& tensor);
extern template NDArray<int8_t> moveToNDArray<int8_t>(const halvex::Tensor&);
extern template NDArray<float> moveToNDArray<float>(const halvex::Tensor&);

// All elements of a float32 tensor in row-major order.
StatusCode tensorToVector(const halvex::Tensor& tensor, std::vector<float>& out);

// The tensor's elements as raw little-endian float32 to `path` + ".bin".
StatusCode saveTensor(const halvex::Tensor& tensor, std::string path);

}  // namespace kestrane
