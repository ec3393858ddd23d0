#pragma once

// Element copies between strided runs, by element width: contiguous runs as
// one block, a repeated source element (step 0) as a fill, anything else
// element by element; and reversed runs (source step minus the width)
// reversed in vector registers.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "halvex/iteration.h"
#include "halvex/kernels_common.h"

namespace kestrane::halvex::kernels {

// n elements of type W (1, 2, 4 or 8 bytes) from src (byte step srcStep) to
// dst (dstStep); the two must not overlap.
template <typename W>
HALVEX_INLINE void copyRun(char* dst, int64_t dstStep, const char* src, int64_t srcStep, int64_t n) {
  constexpr int64_t w = sizeof(W);
  if (dstStep == w) {
    if (srcStep == w) {
      std::memcpy(dst, src, static_cast<size_t>(n * w));
      return;
    }
    if (srcStep == 0) {
      const W v = loadAs<W>(src);
      for (int64_t i = 0; i < n; ++i) storeAs<W>(dst + i * w, v);
      return;
    }
  }
  for (int64_t i = 0; i < n; ++i) storeAs<W>(dst + i * dstStep, loadAs<W>(src + i * srcStep));
}

// ---- reversed runs ------------------------------------------------------------

// Element i of dst (i < n, W bytes each, contiguous) is element -i of src:
// src addresses the first element read, the others lie before it. The two
// must not overlap.
using ReverseFn = void (*)(char* dst, const char* src, int64_t n);

// Results larger than this are written with streaming stores: they would
// leave the cache before anyone reads them, and streaming stores skip reading
// each destination line in first.
constexpr int64_t kStreamBytes = int64_t{8} << 20;

// Orders streaming stores before the stores that follow (another thread may
// read the result once it learns that it is done).
inline void streamFence() { _mm_sfence(); }

template <int W>
HALVEX_INLINE void reverseElements(char* dst, const char* src, int64_t n) {
  for (int64_t i = 0; i < n; ++i) std::memcpy(dst + i * W, src - i * W, W);
}

// The elements to copy one by one before dst reaches a multiple of V bytes
// (dst itself a multiple of W), at most n.
template <int W, int V>
HALVEX_INLINE int64_t elementsToAlign(const char* dst, int64_t n) {
  const int64_t mis = static_cast<int64_t>(reinterpret_cast<uintptr_t>(dst) % V);
  return std::min(n, mis == 0 ? 0 : (V - mis) / W);
}

// One function per width and instruction set: vectors of V bytes loaded from
// the source below the current element, lanes reversed, stored forwards.
// Streaming first aligns the destination to the vector (their stores need it);
// a destination that never gets there goes to the plain kernel.
#define HALVEX_REVERSE_RUN(W, V, Stream, reverseVector, storeStream, storeUnaligned, plain)          \
  if (Stream && reinterpret_cast<uintptr_t>(dst) % (W) != 0) {                                     \
    plain(dst, src, n);                                                                            \
    return;                                                                                        \
  }                                                                                                \
  int64_t i = 0;                                                                                   \
  if (Stream) {                                                                                    \
    i = elementsToAlign<W, V>(dst, n);                                                             \
    reverseElements<W>(dst, src, i);                                                               \
  }                                                                                                \
  constexpr int64_t lanes = (V) / (W);                                                             \
  for (; i + lanes <= n; i += lanes) {                                                             \
    const auto v = reverseVector(src - (i + lanes - 1) * (W));                                     \
    if (Stream) {                                                                                  \
      storeStream(dst + i * (W), v);                                                               \
    } else {                                                                                       \
      storeUnaligned(dst + i * (W), v);                                                            \
    }                                                                                              \
  }                                                                                                \
  reverseElements<W>(dst + i * (W), src - i * (W), n - i)

HALVEX_INLINE __m128 reverse4x4(const char* p) {
  const __m128 v = _mm_loadu_ps(reinterpret_cast<const float*>(p));
  return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3));
}
HALVEX_INLINE __m128d reverse2x8(const char* p) {
  const __m128d v = _mm_loadu_pd(reinterpret_cast<const double*>(p));
  return _mm_shuffle_pd(v, v, 1);
}
HALVEX_AVX2 HALVEX_INLINE __m256 reverse8x4(const char* p) {
  return _mm256_permutevar8x32_ps(_mm256_loadu_ps(reinterpret_cast<const float*>(p)),
                                  _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
}
HALVEX_AVX2 HALVEX_INLINE __m256d reverse4x8(const char* p) {
  return _mm256_permute4x64_pd(_mm256_loadu_pd(reinterpret_cast<const double*>(p)), _MM_SHUFFLE(0, 1, 2, 3));
}
HALVEX_AVX512 HALVEX_INLINE __m512 reverse16x4(const char* p) {
  return _mm512_permutexvar_ps(_mm512_setr_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0),
                               _mm512_loadu_ps(reinterpret_cast<const float*>(p)));
}
HALVEX_AVX512 HALVEX_INLINE __m512d reverse8x8(const char* p) {
  return _mm512_permutexvar_pd(_mm512_setr_epi64(7, 6, 5, 4, 3, 2, 1, 0),
                               _mm512_loadu_pd(reinterpret_cast<const double*>(p)));
}

#define HALVEX_STORE_PS(p, v) _mm_storeu_ps(reinterpret_cast<float*>(p), v)
#define HALVEX_STREAM_PS(p, v) _mm_stream_ps(reinterpret_cast<float*>(p), v)
#define HALVEX_STORE_PD(p, v) _mm_storeu_pd(reinterpret_cast<double*>(p), v)
#define HALVEX_STREAM_PD(p, v) _mm_stream_pd(reinterpret_cast<double*>(p), v)
#define HALVEX_STORE256_PS(p, v) _mm256_storeu_ps(reinterpret_cast<float*>(p), v)
#define HALVEX_STREAM256_PS(p, v) _mm256_stream_ps(reinterpret_cast<float*>(p), v)
#define HALVEX_STORE256_PD(p, v) _mm256_storeu_pd(reinterpret_cast<double*>(p), v)
#define HALVEX_STREAM256_PD(p, v) _mm256_stream_pd(reinterpret_cast<double*>(p), v)
#define HALVEX_STORE512_PS(p, v) _mm512_storeu_ps(p, v)
#define HALVEX_STREAM512_PS(p, v) _mm512_stream_ps(reinterpret_cast<float*>(p), v)
#define HALVEX_STORE512_PD(p, v) _mm512_storeu_pd(p, v)
#define HALVEX_STREAM512_PD(p, v) _mm512_stream_pd(reinterpret_cast<double*>(p), v)

template <int W>
void reverseScalar(char* dst, const char* src, int64_t n) {
  reverseElements<W>(dst, src, n);
}
template <bool Stream>
void reverse4Base(char* dst, const char* src, int64_t n) {
  HALVEX_REVERSE_RUN(4, 16, Stream, reverse4x4, HALVEX_STREAM_PS, HALVEX_STORE_PS, reverse4Base<false>);
}
template <bool Stream>
void reverse8Base(char* dst, const char* src, int64_t n) {
  HALVEX_REVERSE_RUN(8, 16, Stream, reverse2x8, HALVEX_STREAM_PD, HALVEX_STORE_PD, reverse8Base<false>);
}
template <bool Stream>
HALVEX_AVX2 void reverse4Avx2(char* dst, const char* src, int64_t n) {
  HALVEX_REVERSE_RUN(4, 32, Stream, reverse8x4, HALVEX_STREAM256_PS, HALVEX_STORE256_PS, reverse4Avx2<false>);
}
template <bool Stream>
HALVEX_AVX2 void reverse8Avx2(char* dst, const char* src, int64_t n) {
  HALVEX_REVERSE_RUN(8, 32, Stream, reverse4x8, HALVEX_STREAM256_PD, HALVEX_STORE256_PD, reverse8Avx2<false>);
}
template <bool Stream>
HALVEX_AVX512 void reverse4Avx512(char* dst, const char* src, int64_t n) {
  HALVEX_REVERSE_RUN(4, 64, Stream, reverse16x4, HALVEX_STREAM512_PS, HALVEX_STORE512_PS, reverse4Avx512<false>);
}
template <bool Stream>
HALVEX_AVX512 void reverse8Avx512(char* dst, const char* src, int64_t n) {
  HALVEX_REVERSE_RUN(8, 64, Stream, reverse8x8, HALVEX_STREAM512_PD, HALVEX_STORE512_PD, reverse8Avx512<false>);
}
#undef HALVEX_REVERSE_RUN
#undef HALVEX_STORE_PS
#undef HALVEX_STREAM_PS
#undef HALVEX_STORE_PD
#undef HALVEX_STREAM_PD
#undef HALVEX_STORE256_PS
#undef HALVEX_STREAM256_PS
#undef HALVEX_STORE256_PD
#undef HALVEX_STREAM256_PD
#undef HALVEX_STORE512_PS
#undef HALVEX_STREAM512_PS
#undef HALVEX_STORE512_PD
#undef HALVEX_STREAM512_PD

// The kernel for elements of `width` bytes (1, 2, 4 or 8) on this CPU;
// stream: with streaming stores, for results of kStreamBytes and more (the
// caller then ends with streamFence).
inline ReverseFn reverseKernel(int32_t width, bool stream) {
  switch (width) {
    case 4:
      return stream ? pickKernel<ReverseFn>(&reverse4Base<true>, &reverse4Avx2<true>, &reverse4Avx512<true>)
                    : pickKernel<ReverseFn>(&reverse4Base<false>, &reverse4Avx2<false>, &reverse4Avx512<false>);
    case 8:
      return stream ? pickKernel<ReverseFn>(&reverse8Base<true>, &reverse8Avx2<true>, &reverse8Avx512<true>)
                    : pickKernel<ReverseFn>(&reverse8Base<false>, &reverse8Avx2<false>, &reverse8Avx512<false>);
    case 2: return &reverseScalar<2>;
    default: return &reverseScalar<1>;
  }
}

}  // namespace kestrane::halvex::kernels
