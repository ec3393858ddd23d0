#pragma once

// Conversion of contiguous runs between element types, one kernel per
// (source, target) pair and instruction set. Every element gets exactly the
// value of the scalar rule (convertValue). Floating-point sources to integer
// targets use the processors' truncating conversions, whose result for NaN,
// infinities and values outside the 32-bit (or 64-bit) range is the single
// sign-bit pattern, INT32_MIN (INT64_MIN): the value the rule prescribes. The
// 8- and 16-bit targets then keep the low bits of that 32-bit integer. Every
// other pair is a plain loop that the compiler vectorises.

#include <cstdint>
#include <type_traits>

#include "halvex/convert.h"
#include "halvex/iteration.h"
#include "halvex/kernels_common.h"

namespace kestrane::halvex::kernels {

using ConvertRunFn = void (*)(char* dst, const char* src, int64_t n);

// The scalar rule over a run; also the tail of the vector kernels.
template <DType S, DType D>
HALVEX_INLINE void convertScalar(char* dst, const char* src, int64_t n) {
  using In = StorageType<S>;
  using Out = StorageType<D>;
  for (int64_t i = 0; i < n; ++i) {
    storeAs<Out>(dst + i * sizeof(Out), convertValue<S, D>(loadAs<In>(src + i * sizeof(In))));
  }
}

template <DType S, DType D>
inline constexpr bool kTruncating = isFloating(S) && !isFloating(D) && D != DType::Bool;

// float32 or float64 to int64, truncating; the hardware's out-of-range result
// is INT64_MIN. The SSE conversions are part of the x86-64 baseline.
HALVEX_INLINE int64_t truncInt64(float v) { return _mm_cvttss_si64(_mm_set_ss(v)); }
HALVEX_INLINE int64_t truncInt64(double v) { return _mm_cvttsd_si64(_mm_set_sd(v)); }

// ---- baseline (SSE2) --------------------------------------------------------

// Four int32 lanes holding the low 8 or 16 bits of each value, sign-extended,
// so that a saturating pack keeps exactly those bits.
HALVEX_INLINE __m128i lowBits16(__m128i v) { return _mm_srai_epi32(_mm_slli_epi32(v, 16), 16); }
HALVEX_INLINE __m128i lowBits8(__m128i v) { return _mm_srai_epi32(_mm_slli_epi32(v, 24), 24); }

// Four truncated int32 values of src[0..3].
HALVEX_INLINE __m128i truncSse2(const float* src) { return _mm_cvttps_epi32(_mm_loadu_ps(src)); }
HALVEX_INLINE __m128i truncSse2(const double* src) {
  const __m128i lo = _mm_cvttpd_epi32(_mm_loadu_pd(src));
  const __m128i hi = _mm_cvttpd_epi32(_mm_loadu_pd(src + 2));
  return _mm_unpacklo_epi64(lo, hi);
}

template <typename F, typename Out>
HALVEX_INLINE int64_t truncRunSse2(char* dst, const F* src, int64_t n) {
  int64_t i = 0;
  if constexpr (sizeof(Out) == 8) {
    for (; i < n; ++i) storeAs<int64_t>(dst + i * 8, truncInt64(loadAs<F>(reinterpret_cast<const char*>(src + i))));
  } else if constexpr (sizeof(Out) == 4) {
    for (; i + 4 <= n; i += 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i * 4), truncSse2(src + i));
  } else if constexpr (sizeof(Out) == 2) {
    for (; i + 8 <= n; i += 8) {
      const __m128i v = _mm_packs_epi32(lowBits16(truncSse2(src + i)), lowBits16(truncSse2(src + i + 4)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i * 2), v);
    }
  } else {
    for (; i + 16 <= n; i += 16) {
      const __m128i ab = _mm_packs_epi32(lowBits8(truncSse2(src + i)), lowBits8(truncSse2(src + i + 4)));
      const __m128i cd = _mm_packs_epi32(lowBits8(truncSse2(src + i + 8)), lowBits8(truncSse2(src + i + 12)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packs_epi16(ab, cd));
    }
  }
  return i;
}

// ---- AVX2 -------------------------------------------------------------------

HALVEX_AVX2 HALVEX_INLINE __m256i truncAvx2(const float* src) { return _mm256_cvttps_epi32(_mm256_loadu_ps(src)); }
HALVEX_AVX2 HALVEX_INLINE __m256i truncAvx2(const double* src) {
  const __m128i lo = _mm256_cvttpd_epi32(_mm256_loadu_pd(src));
  const __m128i hi = _mm256_cvttpd_epi32(_mm256_loadu_pd(src + 4));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}
HALVEX_AVX2 HALVEX_INLINE __m256i lowBits16Avx2(__m256i v) { return _mm256_srai_epi32(_mm256_slli_epi32(v, 16), 16); }
HALVEX_AVX2 HALVEX_INLINE __m256i lowBits8Avx2(__m256i v) { return _mm256_srai_epi32(_mm256_slli_epi32(v, 24), 24); }

template <typename F, typename Out>
HALVEX_AVX2 HALVEX_INLINE int64_t truncRunAvx2(char* dst, const F* src, int64_t n) {
  int64_t i = 0;
  if constexpr (sizeof(Out) == 8) {
    for (; i < n; ++i) storeAs<int64_t>(dst + i * 8, truncInt64(loadAs<F>(reinterpret_cast<const char*>(src + i))));
  } else if constexpr (sizeof(Out) == 4) {
    for (; i + 8 <= n; i += 8) _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i * 4), truncAvx2(src + i));
  } else if constexpr (sizeof(Out) == 2) {
    for (; i + 16 <= n; i += 16) {
      // The pack works per 128-bit half: put the quarters back in order.
      const __m256i v = _mm256_packs_epi32(lowBits16Avx2(truncAvx2(src + i)), lowBits16Avx2(truncAvx2(src + i + 8)));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i * 2), _mm256_permute4x64_epi64(v, 0xD8));
    }
  } else {
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (; i + 32 <= n; i += 32) {
      const __m256i ab = _mm256_packs_epi32(lowBits8Avx2(truncAvx2(src + i)), lowBits8Avx2(truncAvx2(src + i + 8)));
      const __m256i cd =
          _mm256_packs_epi32(lowBits8Avx2(truncAvx2(src + i + 16)), lowBits8Avx2(truncAvx2(src + i + 24)));
      const __m256i v = _mm256_permutevar8x32_epi32(_mm256_packs_epi16(ab, cd), order);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), v);
    }
  }
  return i;
}

// ---- AVX-512 ----------------------------------------------------------------

HALVEX_AVX512 HALVEX_INLINE __m512i truncAvx512(const float* src) { return _mm512_cvttps_epi32(_mm512_loadu_ps(src)); }
HALVEX_AVX512 HALVEX_INLINE __m512i truncAvx512(const double* src) {
  const __m256i lo = _mm512_cvttpd_epi32(_mm512_loadu_pd(src));
  const __m256i hi = _mm512_cvttpd_epi32(_mm512_loadu_pd(src + 8));
  return _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
}
HALVEX_AVX512 HALVEX_INLINE __m512i truncInt64Avx512(const float* src) {
  return _mm512_cvttps_epi64(_mm256_loadu_ps(src));
}
HALVEX_AVX512 HALVEX_INLINE __m512i truncInt64Avx512(const double* src) {
  return _mm512_cvttpd_epi64(_mm512_loadu_pd(src));
}

template <typename F, typename Out>
HALVEX_AVX512 HALVEX_INLINE int64_t truncRunAvx512(char* dst, const F* src, int64_t n) {
  int64_t i = 0;
  if constexpr (sizeof(Out) == 8) {
    for (; i + 8 <= n; i += 8) _mm512_storeu_si512(dst + i * 8, truncInt64Avx512(src + i));
  } else {
    for (; i + 16 <= n; i += 16) {
      const __m512i v = truncAvx512(src + i);
      // The down-conversions keep the low bits.
      if constexpr (sizeof(Out) == 4) {
        _mm512_storeu_si512(dst + i * 4, v);
      } else if constexpr (sizeof(Out) == 2) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i * 2), _mm512_cvtepi32_epi16(v));
      } else {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm512_cvtepi32_epi8(v));
      }
    }
  }
  return i;
}

// ---- run kernels --------------------------------------------------------------

template <DType S, DType D>
void convertRunBase(char* dst, const char* src, int64_t n) {
  int64_t i = 0;
  if constexpr (kTruncating<S, D>) {
    i = truncRunSse2<StorageType<S>, StorageType<D>>(dst, reinterpret_cast<const StorageType<S>*>(src), n);
  }
  convertScalar<S, D>(dst + i * sizeof(StorageType<D>), src + i * sizeof(StorageType<S>), n - i);
}

template <DType S, DType D>
HALVEX_AVX2 void convertRunAvx2(char* dst, const char* src, int64_t n) {
  int64_t i = 0;
  if constexpr (kTruncating<S, D>) {
    i = truncRunAvx2<StorageType<S>, StorageType<D>>(dst, reinterpret_cast<const StorageType<S>*>(src), n);
  }
  convertScalar<S, D>(dst + i * sizeof(StorageType<D>), src + i * sizeof(StorageType<S>), n - i);
}

template <DType S, DType D>
HALVEX_AVX512 void convertRunAvx512(char* dst, const char* src, int64_t n) {
  int64_t i = 0;
  if constexpr (kTruncating<S, D>) {
    i = truncRunAvx512<StorageType<S>, StorageType<D>>(dst, reinterpret_cast<const StorageType<S>*>(src), n);
  }
  convertScalar<S, D>(dst + i * sizeof(StorageType<D>), src + i * sizeof(StorageType<S>), n - i);
}

// The run kernel of the pair for the active instruction set.
template <DType S, DType D>
ConvertRunFn convertRunKernel() {
  return pickKernel<ConvertRunFn>(&convertRunBase<S, D>, &convertRunAvx2<S, D>, &convertRunAvx512<S, D>);
}

}  // namespace kestrane::halvex::kernels
