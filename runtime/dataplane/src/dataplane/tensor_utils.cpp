#include "dataplane/tensor_utils.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>

#include "core/log.h"

namespace kestrane {

using halvex::DType;
using halvex::Tensor;

template <typename T>
NDArray<T> moveToNDArray(const Tensor& tensor) {
  constexpr DType want = std::is_same_v<T, int8_t> ? DType::Int8 : DType::Float32;
  if (tensor.dtype() != want) {
    KLOG_ERROR("Can't convert Tensor (dtype: {}) to NDArray.", static_cast<int>(tensor.dtype()));
    return {};
  }
  Tensor dense = tensor.contiguous();
  // A view of caller memory has nothing to share: the array gets its own copy.
  if (dense.defined() && !dense.owner()) dense = dense.clone();
  if (!dense.defined()) return {};
  NDArray<T> array;
  array.shape = tensor.shape();
  // Shares the storage; the aliasing pointer starts at the tensor's first
  // element, wherever that lies in the storage.
  array.data = internal::NDArrayData(std::shared_ptr<void>(dense.owner(), dense.basePtr()));
  array.num_elements = dense.numel();
  return array;
}

template NDArray<int8_t> moveToNDArray<int8_t>(const Tensor&);
template NDArray<float> moveToNDArray<float>(const Tensor&);

StatusCode tensorToVector(const Tensor& tensor, std::vector<float>& out) {
  if (tensor.dtype() != DType::Float32) {
    KLOG_ERROR("Dtype not matched. {} vs. {}", static_cast<int>(DType::Float32), static_cast<int>(tensor.dtype()));
    return StatusCode::Model_DtypeMismatched;
  }
  const Tensor dense = tensor.contiguous();
  if (!dense.defined()) return StatusCode::BadAlloc;
  const auto n = static_cast<size_t>(dense.numel());
  out.resize(n);
  if (n > 0) std::memcpy(out.data(), dense.basePtr(), n * sizeof(float));
  return StatusCode::OK;
}

StatusCode saveTensor(const Tensor& tensor, std::string path) {
  // The file holds float32 whatever the tensor's type.
  const Tensor dense = tensor.dtype() == DType::Float32 ? tensor.contiguous() : tensor.to(DType::Float32).contiguous();
  path += ".bin";
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!file) {
    KLOG_ERROR("Failed to open file, {}", path);
    return StatusCode::Model_FailedToSaveTensor;
  }
  if (dense.defined() && dense.numel() > 0)
    std::fwrite(dense.basePtr(), sizeof(float), static_cast<size_t>(dense.numel()), file.get());
  return StatusCode::OK;
}

}  // namespace kestrane
