#pragma once

// Building blocks shared by the element-wise, reduction and product kernels:
// CPU feature selection and wrapping integer arithmetic.

#include <cmath>
#include <cstdint>
#include <type_traits>

#define HALVEX_INLINE inline __attribute__((always_inline))
// Kernels are instantiated twice: once for the baseline instruction set and
// once for AVX2; the table picks one at start-up. Bodies are always_inline so
// that they are compiled for the instruction set of the wrapper they land in.
#define HALVEX_AVX2 __attribute__((target("avx2")))

namespace kestrane::halvex::kernels {

// __builtin_cpu_init makes the queries valid even from static initialisers.
inline bool cpuHasAvx2() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return has;
}
inline bool cpuHasAvx512() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx512f"));
  return has;
}

// Integer arithmetic modulo 2^bits of T, without signed-overflow UB.
template <typename T>
HALVEX_INLINE T wrapAdd(T a, T b) {
  if constexpr (std::is_integral_v<T>) {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(static_cast<U>(a) + static_cast<U>(b)));
  } else {
    return a + b;
  }
}
template <typename T>
HALVEX_INLINE T wrapSub(T a, T b) {
  if constexpr (std::is_integral_v<T>) {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(static_cast<U>(a) - static_cast<U>(b)));
  } else {
    return a - b;
  }
}
template <typename T>
HALVEX_INLINE T wrapMul(T a, T b) {
  if constexpr (std::is_integral_v<T>) {
    // Unsigned types narrower than int promote to int, whose product may
    // overflow; multiply in a wide enough unsigned type instead.
    using U = std::conditional_t<(sizeof(T) < sizeof(unsigned)), unsigned, std::make_unsigned_t<T>>;
    return static_cast<T>(static_cast<U>(static_cast<U>(static_cast<std::make_unsigned_t<T>>(a)) *
                                         static_cast<U>(static_cast<std::make_unsigned_t<T>>(b))));
  } else {
    return a * b;
  }
}
template <typename T>
HALVEX_INLINE T wrapNeg(T a) {
  return wrapSub(T(0), a);
}

// Floating types compute in themselves; every integer (and bool) input of a
// floating function is first converted to float32.
template <typename T>
using FloatOf = std::conditional_t<std::is_same_v<T, double>, double, float>;

}  // namespace kestrane::halvex::kernels
