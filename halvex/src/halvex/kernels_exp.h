#pragma once

// float32 e^x for whole runs: a range reduction x = n ln2 + r with a split
// ln2, a degree-6 polynomial for e^r and a scaling by 2^n in two exact
// steps (so that results in the subnormal range round once). The scalar and
// the vector forms perform the same IEEE operations in the same order, so
// every element gets the same bits whichever path (and instruction set)
// computes it. Within about one unit in the last place of the exact value.

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
  const int32_t n1 = n >> 1;
  return (y * pow2Float(n1)) * pow2Float(n - n1);
}

typedef float Vec8f __attribute__((vector_size(32)));
typedef int32_t Vec8i __attribute__((vector_size(32)));

// e^x of eight consecutive elements. Vectors stay local (no vector crosses
// a call boundary, which would depend on the instruction set).
HALVEX_INLINE void expBlock8(float* outp, const float* inp) {
  using namespace expf32;
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
  const Vec8i n1 = n >> 1;
  const Vec8i bits1 = (n1 + 127) << 23;
  const Vec8i bits2 = ((n - n1) + 127) << 23;
  Vec8f p1, p2;
  std::memcpy(&p1, &bits1, sizeof p1);
  std::memcpy(&p2, &bits2, sizeof p2);
  Vec8f out = (y * p1) * p2;
  out = x > hi ? Vec8f{} + std::numeric_limits<float>::infinity() : out;
  out = x < lo ? Vec8f{} : out;
  out = x != x ? x : out;
  std::memcpy(outp, &out, sizeof out);
}

// out[i] = e^(in[i]) for a contiguous run; out may equal in.
HALVEX_INLINE void expRunF32(float* out, const float* in, int64_t n) {
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    expBlock8(out + i, in + i);
  }
  for (; i < n; ++i) out[i] = expF32(in[i]);
}

}  // namespace kestrane::halvex::kernels
