#include "halvex/free_functions.h"

#include <algorithm>

#include "core/log.h"
#include "halvex/convert.h"
#include "halvex/iteration.h"

namespace kestrane::halvex {

namespace internal {

void assignValue(void* dst, OptionalDType dtype, int32_t value) {
  if (!dtype || !isValidDType(*dtype)) {
    KLOG_ERROR("Invalid dtype");
    return;
  }
  char* p = static_cast<char*>(dst);
  visitDType(*dtype, [&](auto tag) {
    constexpr DType d = decltype(tag)::value;
    storeAs<StorageType<d>>(p, convertValue<DType::Int32, d>(value));
  });
}

}  // namespace internal

namespace {

// A 1-D tensor of the values, each stored by the int64 rules of assignValue.
template <typename V>
Tensor fromValues(const std::vector<V>& values, OptionalDType dtype) {
  if (!dtype || !isValidDType(*dtype)) {
    KLOG_ERROR("Invalid dtype");
    return {};
  }
  TensorData out({static_cast<int64_t>(values.size())}, dtype);
  if (!out.defined()) return {};
  char* p = out.basePtr();
  visitDType(*dtype, [&](auto tag) {
    constexpr DType d = decltype(tag)::value;
    constexpr DType s = sizeof(V) == 8 ? DType::Int64 : DType::Int32;
    for (V v : values) {
      storeAs<StorageType<d>>(p, convertValue<s, d>(v));
      p += sizeof(StorageType<d>);
    }
  });
  return std::move(out);
}

}  // namespace

Tensor arange(int32_t start, int32_t end, int32_t step) {
  if (step == 0) {
    KLOG_ERROR("arange: step must not be 0.");
    return {};
  }
  // Values lie strictly between start and end, in the direction of step; a
  // step pointing away from end gives none.
  int64_t span = static_cast<int64_t>(end) - start;
  int64_t n = 0;
  if (span != 0 && (span > 0) == (step > 0)) n = (span + step + (step > 0 ? -1 : 1)) / step;
  TensorData out({n}, DType::Int64);
  if (!out.defined()) return {};
  char* p = out.basePtr();
  for (int64_t i = 0; i < n; ++i) storeAs<int64_t>(p + i * 8, start + i * step);
  return std::move(out);
}

Tensor full(IntArrayRef shape, float value) {
  TensorData out(shape, DType::Float32);
  if (!out.defined()) return {};
  char* p = out.basePtr();
  for (int64_t i = 0, n = out.numel(); i < n; ++i) storeAs<float>(p + i * 4, value);
  return std::move(out);
}

Tensor scalarTensor(int32_t value, OptionalDType dtype) {
  if (!dtype || !isValidDType(*dtype)) {
    KLOG_ERROR("Invalid dtype");
    return {};
  }
  TensorData out({}, dtype);
  if (out.defined()) internal::assignValue(out.basePtr(), dtype, value);
  return std::move(out);
}

Tensor scalarTensor(double value, OptionalDType dtype) {
  if (!dtype || !isValidDType(*dtype)) {
    KLOG_ERROR("Invalid dtype");
    return {};
  }
  TensorData out({}, dtype);
  if (!out.defined()) return {};
  visitDType(*dtype, [&](auto tag) {
    constexpr DType d = decltype(tag)::value;
    storeAs<StorageType<d>>(out.basePtr(), convertValue<DType::Float64, d>(value));
  });
  return std::move(out);
}

Tensor fromVector(const std::vector<int32_t>& values, OptionalDType dtype) { return fromValues(values, dtype); }
Tensor fromVector(const std::vector<int64_t>& values, OptionalDType dtype) { return fromValues(values, dtype); }
Tensor fromVector(const std::vector<int64_t>& values) { return fromValues(values, DType::Int64); }

Tensor fromVector(const std::vector<int32_t>& values) {
  return Tensor(const_cast<int32_t*>(values.data()), {static_cast<int64_t>(values.size())}, DType::Int32).clone();
}

Tensor fromVector(const std::vector<double>& values) {
  return Tensor(const_cast<double*>(values.data()), {static_cast<int64_t>(values.size())}, DType::Float64).clone();
}

}  // namespace kestrane::halvex
