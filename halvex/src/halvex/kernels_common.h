#pragma once

// Building blocks shared by the element-wise, reduction and product kernels:
// CPU feature selection and wrapping integer arithmetic.

#include <atomic>
#include <cmath>
#include <cstdint>
#include <type_traits>

// g++ 12 reports false maybe-uninitialized warnings inside the AVX-512
// intrinsics (their "undefined" pass-through operands); its diagnostics are
// located in the header, so they are silenced where it is first included.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#define HALVEX_INLINE inline __attribute__((always_inline))
// Kernels are instantiated once for the baseline instruction set and once for
// each wider set (AVX2, AVX-512); the caller picks one at run time. Bodies are
// always_inline so that they are compiled for the instruction set of the
// wrapper they land in. Code that uses intrinsics of a wider set carries its
// attribute itself, and vectors never cross a call between functions of
// different sets (their calling conventions differ).
#define HALVEX_AVX2 __attribute__((target("avx2")))
#define HALVEX_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl")))

namespace kestrane::halvex::kernels {

// __builtin_cpu_init makes the queries valid even from static initialisers.
inline bool cpuHasAvx2() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return has;
}
// The AVX-512 kernels use the foundation, byte/word, doubleword/quadword and
// vector-length extensions, which come together on every such CPU.
inline bool cpuHasAvx512() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx512f") &&
                                                     __builtin_cpu_supports("avx512bw") &&
                                                     __builtin_cpu_supports("avx512dq") &&
                                                     __builtin_cpu_supports("avx512vl"));
  return has;
}

// The instruction sets kernels are built for; each includes the ones before.
enum class Isa : uint8_t { Baseline = 0, Avx2 = 1, Avx512 = 2 };

inline std::atomic<uint8_t> gIsaLimit{static_cast<uint8_t>(Isa::Avx512)};

// For tests and benchmarks: pick nothing wider than isa from now on (never
// more than the CPU offers). Kernels already picked, such as those of the
// element-wise operation tables, stay.
inline void limitIsa(Isa isa) { gIsaLimit.store(static_cast<uint8_t>(isa), std::memory_order_relaxed); }

// The widest set this CPU offers, capped by limitIsa.
inline Isa activeIsa() {
  static const Isa cpu = cpuHasAvx512() ? Isa::Avx512 : cpuHasAvx2() ? Isa::Avx2 : Isa::Baseline;
  const uint8_t limit = gIsaLimit.load(std::memory_order_relaxed);
  return static_cast<uint8_t>(cpu) < limit ? cpu : static_cast<Isa>(limit);
}
inline bool useAvx2() { return activeIsa() >= Isa::Avx2; }
inline bool useAvx512() { return activeIsa() >= Isa::Avx512; }

// Picks the kernel of the active instruction set.
template <typename Fn>
inline Fn pickKernel(Fn base, Fn avx2, Fn avx512) {
  switch (activeIsa()) {
    case Isa::Avx512: return avx512;
    case Isa::Avx2: return avx2;
    default: return base;
  }
}

// kBytes of T as one vector (a GCC vector extension, also understood by
// clang): the instruction set of the function it is used in decides the
// instructions. Pass vectors between functions only by pointer.
template <typename T, int kBytes>
struct VecOf {
  typedef T type __attribute__((vector_size(kBytes)));
};
template <typename T, int kBytes>
using Vec = typename VecOf<T, kBytes>::type;

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
