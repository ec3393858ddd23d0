#pragma once

// float32 e^x for whole runs: a range reduction x = n ln2 + r with a split
// ln2, a degree-6 polynomial for e^r and a scaling by 2^n in two exact
// steps (so that results in the subnormal range round once). The scalar and
// the vector forms perform the same IEEE operations in the same order, so
// every element gets the same bits whichever path (and instruction set)
// computes it. Within about one unit in the last place of the exact value.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "halvex/kernels_common.h"

namespace kestrane::halvex::kernels {

namespace expf32 {
inline constexpr float kHi = 88.72283905206835f;   // above: +inf
inline constexpr float kLo = -103.972084045410f;   // below: 0
inline constexpr float kLog2e = 1.44269504088896341f;
inline constexpr float kC1 = 0.693359375f;
inline constexpr float kC2 = -2.12194440e-4f;
inline constexpr float kP0 = 1.9875691500e-4f;
inline constexpr float kP1 = 1.3981999507e-3f;
inline constexpr float kP2 = 8.3334519073e-3f;
inline constexpr float kP3 = 4.1665795894e-2f;
inline constexpr float kP4 = 1.6666665459e-1f;
inline constexpr float kP5 = 5.0000001201e-1f;
inline constexpr float kRound = 8388608.0f;  // 2^23
}  // namespace expf32

HALVEX_INLINE float pow2Float(int32_t n) {  // n in [-126, 127]
  const uint32_t bits = static_cast<uint32_t>(n + 127) << 23;
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

HALVEX_INLINE float expF32(float x) {
  using namespace expf32;
  if (x != x) return x;
  if (x > kHi) return std::numeric_limits<float>::infinity();
  if (x < kLo) return 0.0f;
  const float fx = x * kLog2e + 0.5f;
  float nf = static_cast<float>(static_cast<int32_t>(fx));
  nf = nf > fx ? nf - 1.0f : nf;
  const float r = (x - nf * kC1) - nf * kC2;
  const float z = r * r;
  float y = kP0;
  y = y * r + kP1;
  y = y * r + kP2;
  y = y * r + kP3;
  y = y * r + kP4;
  y = y * r + kP5;
  y = (y * z + r) + 1.0f;
  const int32_t n = static_cast<int32_t>(nf);
  if (n < -126) {
    // Subnormal result: round y * 2^n onto the subnormal grid (steps of
    // 2^-149) as an integer, so that no arithmetic runs on subnormals.
    const float scaled = y * pow2Float(n + 149);
    const uint32_t bits = static_cast<uint32_t>(static_cast<int32_t>((scaled + kRound) - kRound));
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
  }
  const int32_t n1 = n >> 1;
  return (y * pow2Float(n1)) * pow2Float(n - n1);
}

template <int kLanes>
struct ExpVec;
template <>
struct ExpVec<8> {
  typedef float F __attribute__((vector_size(32)));
  typedef int32_t I __attribute__((vector_size(32)));
};
template <>
struct ExpVec<16> {
  typedef float F __attribute__((vector_size(64)));
  typedef int32_t I __attribute__((vector_size(64)));
};

// e^x of kLanes consecutive elements. Vectors stay local (no vector crosses
// a call boundary, which would depend on the instruction set).
template <int kLanes>
HALVEX_INLINE void expBlock(float* outp, const float* inp) {
  using namespace expf32;
  using Vec8f = typename ExpVec<kLanes>::F;
  using Vec8i = typename ExpVec<kLanes>::I;
  Vec8f x;
  std::memcpy(&x, inp, sizeof x);
  const Vec8f hi = Vec8f{} + kHi, lo = Vec8f{} + kLo;
  // Clamp into the range first (a NaN lane stays NaN and is restored below).
  Vec8f xc = x > hi ? hi : x;
  xc = xc < lo ? lo : xc;
  xc = xc != xc ? Vec8f{} : xc;
  const Vec8f fx = xc * kLog2e + 0.5f;
  Vec8f nf = __builtin_convertvector(__builtin_convertvector(fx, Vec8i), Vec8f);
  nf = nf > fx ? nf - 1.0f : nf;
  const Vec8f r = (xc - nf * kC1) - nf * kC2;
  const Vec8f z = r * r;
  Vec8f y = Vec8f{} + kP0;
  y = y * r + kP1;
  y = y * r + kP2;
  y = y * r + kP3;
  y = y * r + kP4;
  y = y * r + kP5;
  y = (y * z + r) + 1.0f;
  const Vec8i n = __builtin_convertvector(nf, Vec8i);
  const Vec8i tiny = n < -126;
  // Normal results: y * 2^n in two exact steps. Subnormal ones: y * 2^(n+149)
  // rounded to an integer is the bit pattern (see expF32).
  const Vec8i nn = tiny ? Vec8i{} : n;
  const Vec8i n1 = nn >> 1;
  const Vec8i bits1 = ((tiny ? n + 149 : n1) + 127) << 23;
  const Vec8i bits2 = ((nn - n1) + 127) << 23;
  Vec8f p1, p2;
  std::memcpy(&p1, &bits1, sizeof p1);
  std::memcpy(&p2, &bits2, sizeof p2);
  const Vec8f scaled = y * p1;
  Vec8f out = scaled * p2;
  // Adding and removing 2^23 rounds to an integer (to nearest, ties to even).
  const Vec8i sub = __builtin_convertvector((scaled + kRound) - kRound, Vec8i);
  Vec8f subf;
  std::memcpy(&subf, &sub, sizeof subf);
  out = tiny ? subf : out;
  out = x > hi ? Vec8f{} + std::numeric_limits<float>::infinity() : out;
  out = x < lo ? Vec8f{} : out;
  out = x != x ? x : out;
  std::memcpy(outp, &out, sizeof out);
}

// out[i] = e^(in[i]) for a contiguous run; out may equal in.
template <int kLanes = 8>
HALVEX_INLINE void expRunF32(float* out, const float* in, int64_t n) {
  int64_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    expBlock<kLanes>(out + i, in + i);
  }
  for (; i < n; ++i) out[i] = expF32(in[i]);
}

}  // namespace kestrane::halvex::kernels

namespace kestrane::halvex::kernels {

// expRunF32 compiled for the best instruction set of this CPU, for callers
// that are not themselves instantiated per instruction set.
inline void expRunF32Base(float* out, const float* in, int64_t n) { expRunF32(out, in, n); }
HALVEX_AVX2 inline void expRunF32Avx2(float* out, const float* in, int64_t n) { expRunF32(out, in, n); }
__attribute__((target("avx512f"))) inline void expRunF32Avx512(float* out, const float* in, int64_t n) {
  expRunF32<16>(out, in, n);
}
inline void expRunF32Dispatch(float* out, const float* in, int64_t n) {
  if (useAvx512()) {
    expRunF32Avx512(out, in, n);
  } else if (useAvx2()) {
    expRunF32Avx2(out, in, n);
  } else {
    expRunF32Base(out, in, n);
  }
}

}  // namespace kestrane::halvex::kernels
