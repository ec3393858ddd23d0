// One body per conversion, written on GCC vector types with integer
// operations; it is instantiated for the baseline instruction set and for
// AVX2 and picked at run time, the same way the tensor library's kernels
// are. Where the CPU converts in hardware (F16C), that is used instead: it
// rounds the same way for every number, and only NaN lanes, which the
// hardware quietens, take the integer body.

#include "dataplane/half_precision.h"

#include <cstddef>
#include <cstring>

#include <immintrin.h>

#include "dataplane/kernel_isa.h"
#include "halvex/kernels_common.h"

// The vector helpers are always inlined into their target's wrapper: no
// vector ever crosses a call boundary, so the ABI note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kestrane {

namespace {

template <int N>
struct Vec {
  typedef uint32_t U __attribute__((vector_size(4 * N)));
  typedef int32_t I __attribute__((vector_size(4 * N)));
};

// Lanes of a comparison result are all ones or all zeros.
template <typename U, typename I>
HALVEX_INLINE U select(I mask, U a, U b) {
  const U m = reinterpret_cast<U>(mask);
  return (a & m) | (b & ~m);
}

template <int N>
HALVEX_INLINE typename Vec<N>::U floatBitsToHalfBits(typename Vec<N>::U b) {
  using U = typename Vec<N>::U;
  const U sign = (b >> 16) & 0x8000u;
  const U e = b & 0x7F800000u;
  const U m = b & 0x007FFFFFu;

  // Magnitude of at least 65536, infinity or NaN.
  const U mHigh = m >> 13;
  const U nanBits = sign | 0x7C00u | mHigh | (reinterpret_cast<U>(mHigh == 0u) & 1u);
  const U big = select((e == 0x7F800000u) & (m != 0u), nanBits, sign | 0x7C00u);

  // Normal range: rebias, round to nearest even; a mantissa carry raises the
  // exponent (and turns 65520 and above into infinity).
  const U rNormal = select((b & 0x3FFFu) == 0x1000u, U{}, U{} + 0x1000u);
  const U normal = sign + ((e - 0x38000000u) >> 13) + ((m + rNormal) >> 13);

  // Subnormal range: shift the full mantissa by 1..11, then round the same way.
  const U shift = (113u - (e >> 23)) & 31u;
  const U full = (m | 0x800000u) >> shift;
  const U rSub = select(((full & 0x3FFFu) == 0x1000u) & ((m & 0x7FFu) == 0u), U{}, U{} + 0x1000u);
  const U sub = sign + ((full + rSub) >> 13);

  U out = select(e >= 0x33000000u, sub, sign);
  out = select(e > 0x38000000u, normal, out);
  return select(e >= 0x47800000u, big, out);
}

template <int N>
HALVEX_INLINE typename Vec<N>::U halfBitsToFloatBits(typename Vec<N>::U h) {
  using U = typename Vec<N>::U;
  const U sign = (h & 0x8000u) << 16;
  const U e = (h >> 10) & 0x1Fu;
  const U m = h & 0x3FFu;

  const U normal = sign | ((e + 112u) << 23) | (m << 13);
  const U special = sign | 0x7F800000u | (m << 13);

  // Subnormal: shift the mantissa up until bit 10 is set (1 to 10 places),
  // by halving steps; the exponent drops by one per place beyond the first.
  U mm = m;
  U s = U{};
  auto step = [&](uint32_t below, uint32_t by) {
    const U lt = reinterpret_cast<U>(mm < below);
    mm = select(mm < below, mm << by, mm);
    s += lt & by;
  };
  step(1u << 2, 8);
  step(1u << 6, 4);
  step(1u << 8, 2);
  step(1u << 9, 1);
  mm <<= 1;
  s += 1u;
  const U subnormal = sign | ((113u - s) << 23) | ((mm & 0x3FFu) << 13);

  U out = select(e == 0u, select(m == 0u, sign, subnormal), normal);
  return select(e == 31u, special, out);
}

template <int N>
HALVEX_INLINE void toHalf(uint16_t* dst, const float* src, size_t count) {
  using U = typename Vec<N>::U;
  typedef uint16_t H __attribute__((vector_size(2 * N)));
  size_t i = 0;
  for (; i + N <= count; i += N) {
    U b;
    std::memcpy(&b, src + i, sizeof b);
    const H h = __builtin_convertvector(floatBitsToHalfBits<N>(b), H);
    std::memcpy(dst + i, &h, sizeof h);
  }
  if (i < count) {
    U b{};
    std::memcpy(&b, src + i, (count - i) * 4);
    const H h = __builtin_convertvector(floatBitsToHalfBits<N>(b), H);
    std::memcpy(dst + i, &h, (count - i) * 2);
  }
}

template <int N>
HALVEX_INLINE void toFloat(float* dst, const uint16_t* src, size_t count) {
  using U = typename Vec<N>::U;
  typedef uint16_t H __attribute__((vector_size(2 * N)));
  size_t i = 0;
  for (; i + N <= count; i += N) {
    H h;
    std::memcpy(&h, src + i, sizeof h);
    const U f = halfBitsToFloatBits<N>(__builtin_convertvector(h, U));
    std::memcpy(dst + i, &f, sizeof f);
  }
  if (i < count) {
    H h{};
    std::memcpy(&h, src + i, (count - i) * 2);
    const U f = halfBitsToFloatBits<N>(__builtin_convertvector(h, U));
    std::memcpy(dst + i, &f, (count - i) * 4);
  }
}

// One vector register of lanes per step: wider generic vectors are lowered
// lane by lane.
void toHalfBase(uint16_t* dst, const float* src, size_t count) { toHalf<4>(dst, src, count); }
HALVEX_AVX2 void toHalfAvx2(uint16_t* dst, const float* src, size_t count) { toHalf<8>(dst, src, count); }
void toFloatBase(float* dst, const uint16_t* src, size_t count) { toFloat<4>(dst, src, count); }
HALVEX_AVX2 void toFloatAvx2(float* dst, const uint16_t* src, size_t count) { toFloat<8>(dst, src, count); }

#define KESTRANE_F16C __attribute__((target("avx2,f16c")))

KESTRANE_F16C void toHalfF16c(uint16_t* dst, const float* src, size_t count) {
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256 x = _mm256_loadu_ps(src + i);
    const __m256 nan = _mm256_cmp_ps(x, x, _CMP_UNORD_Q);
    __m128i h = _mm256_cvtps_ph(x, _MM_FROUND_TO_NEAREST_INT);
    if (_mm256_movemask_ps(nan) != 0) {
      // NaN lanes keep their payload as it is, signalling ones too. The
      // integer body is reached through pointers: a vector argument between
      // this AVX function and a helper without AVX would change the ABI.
      uint16_t exact[8];
      toHalf<8>(exact, src + i, 8);
      const __m256i wide = _mm256_castps_si256(nan);
      const __m128i mask = _mm_packs_epi32(_mm256_castsi256_si128(wide), _mm256_extracti128_si256(wide, 1));
      h = _mm_blendv_epi8(h, _mm_loadu_si128(reinterpret_cast<const __m128i*>(exact)), mask);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), h);
  }
  if (i < count) toHalf<8>(dst + i, src + i, count - i);
}

KESTRANE_F16C void toFloatF16c(float* dst, const uint16_t* src, size_t count) {
  const __m128i magnitude = _mm_set1_epi16(0x7FFF), infinity = _mm_set1_epi16(0x7C00);
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    __m256 f = _mm256_cvtph_ps(h);
    // NaN halves have a magnitude above infinity's; 15 bits compare safely signed.
    const __m128i nan = _mm_cmpgt_epi16(_mm_and_si128(h, magnitude), infinity);
    if (_mm_movemask_epi8(nan) != 0) {
      float exact[8];
      toFloat<8>(exact, src + i, 8);
      f = _mm256_blendv_ps(f, _mm256_loadu_ps(exact), _mm256_castsi256_ps(_mm256_cvtepi16_epi32(nan)));
    }
    _mm256_storeu_ps(dst + i, f);
  }
  if (i < count) toFloat<8>(dst + i, src + i, count - i);
}

}  // namespace

void floatToHalfArray(uint16_t* dst, const float* src, int count) {
  if (count <= 0) return;
  const auto n = static_cast<size_t>(count);
  switch (kernelIsa()) {
    case KernelIsa::Avx512:
    case KernelIsa::F16c: return toHalfF16c(dst, src, n);
    case KernelIsa::Avx2: return toHalfAvx2(dst, src, n);
    default: return toHalfBase(dst, src, n);
  }
}

void halfToFloatArray(float* dst, const uint16_t* src, int count) {
  if (count <= 0) return;
  const auto n = static_cast<size_t>(count);
  switch (kernelIsa()) {
    case KernelIsa::Avx512:
    case KernelIsa::F16c: return toFloatF16c(dst, src, n);
    case KernelIsa::Avx2: return toFloatAvx2(dst, src, n);
    default: return toFloatBase(dst, src, n);
  }
}

}  // namespace kestrane
