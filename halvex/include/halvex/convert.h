#pragma once

// Per-pair value conversion rules between element types, shared by the
// conversion kernels, the scalar factories and Tensor::item.

#include <cstdint>
#include <limits>

#include "halvex/dtype.h"

namespace kestrane::halvex {

// Float to int32 by truncation toward zero; NaN, infinities and values whose
// truncation lies outside int32 give INT32_MIN.
template <typename F>
inline int32_t truncToInt32(F v) {
  double d = static_cast<double>(v);
  if (!(d > -2147483649.0 && d < 2147483648.0)) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(d);
}

// Float to int64 by truncation toward zero; NaN, infinities and values outside
// int64 give INT64_MIN.
template <typename F>
inline int64_t truncToInt64(F v) {
  double d = static_cast<double>(v);
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);
}

// The value of one source element as one element of the target type:
// integers wrap to the low bits or extend; integers round to the nearest
// float; floats go to the small integer types through int32 (see
// truncToInt32) and to int64 directly; anything becomes bool as value != 0
// (NaN true, -0.0 false); bool gives 0 or 1.
template <DType S, DType D>
inline StorageType<D> convertValue(StorageType<S> v) {
  using Out = StorageType<D>;
  constexpr bool srcFloat = S == DType::Float32 || S == DType::Float64;
  constexpr bool dstFloat = D == DType::Float32 || D == DType::Float64;
  if constexpr (D == DType::Bool) {
    return static_cast<Out>(v != 0 ? 1 : 0);
  } else if constexpr (srcFloat && D == DType::Int64) {
    return truncToInt64(v);
  } else if constexpr (srcFloat && !dstFloat) {
    return static_cast<Out>(truncToInt32(v));
  } else {
    return static_cast<Out>(v);
  }
}

}  // namespace kestrane::halvex
