// CHW <-> HWC transposition kernels. Every body is always inlined into one
// wrapper per instruction set (baseline and AVX2), picked at run time the
// same way the tensor library's kernels are; the small channel counts are
// compiled for their count so that the strided loops vectorise.

#include "model/transpose.h"

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "halvex/kernels_common.h"

namespace kestrane {

namespace {

using halvex::kernels::cpuHasAvx2;

// ---- Strided loops, the channel count known at compile time ----

template <typename T, unsigned C>
HALVEX_INLINE void chwToHwcFixed(T* __restrict dst, const T* __restrict src, size_t n) {
  for (size_t p = 0; p < n; ++p)
    for (unsigned ch = 0; ch < C; ++ch) dst[p * C + ch] = src[ch * n + p];
}

template <typename T, unsigned C>
HALVEX_INLINE void hwcToChwFixed(T* __restrict dst, const T* __restrict src, size_t n) {
  for (size_t p = 0; p < n; ++p)
    for (unsigned ch = 0; ch < C; ++ch) dst[ch * n + p] = src[p * C + ch];
}

// The general strided loop: A x B into B x A.
template <typename T>
HALVEX_INLINE void stridedLoop(T* __restrict dst, const T* __restrict src, size_t a, size_t b) {
  if (a <= b) {
    // Write sequentially: column by column of the source.
    for (size_t col = 0; col < b; ++col) {
      T* out = dst + col * a;
      size_t row = 0;
      if constexpr (sizeof(T) == 4) {
        for (; row + 4 <= a; row += 4) {
          out[row] = src[row * b + col];
          out[row + 1] = src[(row + 1) * b + col];
          out[row + 2] = src[(row + 2) * b + col];
          out[row + 3] = src[(row + 3) * b + col];
        }
      }
      for (; row < a; ++row) out[row] = src[row * b + col];
    }
  } else {
    // Read sequentially: row by row of the source.
    for (size_t row = 0; row < a; ++row) {
      const T* in = src + row * b;
      size_t col = 0;
      if constexpr (sizeof(T) == 4) {
        for (; col + 4 <= b; col += 4) {
          dst[col * a + row] = in[col];
          dst[(col + 1) * a + row] = in[col + 1];
          dst[(col + 2) * a + row] = in[col + 2];
          dst[(col + 3) * a + row] = in[col + 3];
        }
      }
      for (; col < b; ++col) dst[col * a + row] = in[col];
    }
  }
}

// ---- 4 x 4 tiles ----

template <typename T>
HALVEX_INLINE void tile4x4(T* dst, const T* src, size_t a, size_t b, size_t row, size_t col) {
  if constexpr (sizeof(T) == 4) {
    __m128 r0 = _mm_loadu_ps(reinterpret_cast<const float*>(src + row * b + col));
    __m128 r1 = _mm_loadu_ps(reinterpret_cast<const float*>(src + (row + 1) * b + col));
    __m128 r2 = _mm_loadu_ps(reinterpret_cast<const float*>(src + (row + 2) * b + col));
    __m128 r3 = _mm_loadu_ps(reinterpret_cast<const float*>(src + (row + 3) * b + col));
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    _mm_storeu_ps(reinterpret_cast<float*>(dst + col * a + row), r0);
    _mm_storeu_ps(reinterpret_cast<float*>(dst + (col + 1) * a + row), r1);
    _mm_storeu_ps(reinterpret_cast<float*>(dst + (col + 2) * a + row), r2);
    _mm_storeu_ps(reinterpret_cast<float*>(dst + (col + 3) * a + row), r3);
  } else {
    T t[4][4];
    for (int r = 0; r < 4; ++r) std::memcpy(t[r], src + (row + r) * b + col, 4 * sizeof(T));
    for (int c = 0; c < 4; ++c) {
      T o[4] = {t[0][c], t[1][c], t[2][c], t[3][c]};
      std::memcpy(dst + (col + c) * a + row, o, sizeof o);
    }
  }
}

template <typename T>
HALVEX_INLINE void tileRect(T* dst, const T* src, size_t a, size_t b, size_t rowBegin, size_t colBegin,
                            size_t rowEnd, size_t colEnd) {
  if (rowEnd <= rowBegin || colEnd <= colBegin) return;
  const size_t rows = (rowEnd - rowBegin) / 4 * 4, cols = (colEnd - colBegin) / 4 * 4;
  for (size_t col = colBegin; col < colBegin + cols; col += 4)
    for (size_t row = rowBegin; row < rowBegin + rows; row += 4) tile4x4(dst, src, a, b, row, col);
  for (size_t row = rowBegin + rows; row < rowEnd; ++row)
    for (size_t col = colBegin; col < colBegin + cols; ++col) dst[col * a + row] = src[row * b + col];
  for (size_t row = rowBegin; row < rowEnd; ++row)
    for (size_t col = colBegin + cols; col < colEnd; ++col) dst[col * a + row] = src[row * b + col];
}

// ---- 8 x 8 vector blocks ----

// Source rows row..row+7, columns col..col+7, to destination rows col..col+7.
HALVEX_INLINE void block8x8(uint8_t* dst, const uint8_t* src, size_t a, size_t b, size_t row, size_t col) {
  const uint8_t* s = src + row * b + col;
  __m128i r[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + i * b));
  const __m128i b0 = _mm_unpacklo_epi8(r[0], r[1]), b1 = _mm_unpacklo_epi8(r[2], r[3]);
  const __m128i b2 = _mm_unpacklo_epi8(r[4], r[5]), b3 = _mm_unpacklo_epi8(r[6], r[7]);
  const __m128i c0 = _mm_unpacklo_epi16(b0, b1), c1 = _mm_unpackhi_epi16(b0, b1);
  const __m128i c2 = _mm_unpacklo_epi16(b2, b3), c3 = _mm_unpackhi_epi16(b2, b3);
  const __m128i d[4] = {_mm_unpacklo_epi32(c0, c2), _mm_unpackhi_epi32(c0, c2), _mm_unpacklo_epi32(c1, c3),
                        _mm_unpackhi_epi32(c1, c3)};
  uint8_t* o = dst + col * a + row;
  for (int i = 0; i < 4; ++i) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + (2 * i) * a), d[i]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + (2 * i + 1) * a), _mm_unpackhi_epi64(d[i], d[i]));
  }
}

HALVEX_INLINE void block8x8(uint16_t* dst, const uint16_t* src, size_t a, size_t b, size_t row, size_t col) {
  const uint16_t* s = src + row * b + col;
  __m128i r[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i * b));
  __m128i p[8], q[8];
  for (int i = 0; i < 4; ++i) {
    p[2 * i] = _mm_unpacklo_epi16(r[2 * i], r[2 * i + 1]);
    p[2 * i + 1] = _mm_unpackhi_epi16(r[2 * i], r[2 * i + 1]);
  }
  for (int h = 0; h < 2; ++h) {
    q[4 * h + 0] = _mm_unpacklo_epi32(p[4 * h + 0], p[4 * h + 2]);
    q[4 * h + 1] = _mm_unpackhi_epi32(p[4 * h + 0], p[4 * h + 2]);
    q[4 * h + 2] = _mm_unpacklo_epi32(p[4 * h + 1], p[4 * h + 3]);
    q[4 * h + 3] = _mm_unpackhi_epi32(p[4 * h + 1], p[4 * h + 3]);
  }
  uint16_t* o = dst + col * a + row;
  for (int i = 0; i < 4; ++i) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + (2 * i) * a), _mm_unpacklo_epi64(q[i], q[i + 4]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + (2 * i + 1) * a), _mm_unpackhi_epi64(q[i], q[i + 4]));
  }
}

template <typename T>
HALVEX_INLINE void blocked8(T* dst, const T* src, size_t a, size_t b) {
  const size_t rows = a / 8 * 8, cols = b / 8 * 8;
  // The longer side outside: the inner loop's working set is the short side.
  if (a >= b) {
    for (size_t row = 0; row < rows; row += 8)
      for (size_t col = 0; col < cols; col += 8) block8x8(dst, src, a, b, row, col);
  } else {
    for (size_t col = 0; col < cols; col += 8)
      for (size_t row = 0; row < rows; row += 8) block8x8(dst, src, a, b, row, col);
  }
  tileRect(dst, src, a, b, rows, 0, a, cols);
  tileRect(dst, src, a, b, 0, cols, a, b);
}

// ---- Dispatch on the channel count ----

template <typename T>
HALVEX_INLINE void chwToHwc(T* dst, const T* src, size_t n, unsigned c) {
  switch (c) {
    case 1: std::memcpy(dst, src, n * sizeof(T)); return;
    case 2: chwToHwcFixed<T, 2>(dst, src, n); return;
    case 3: chwToHwcFixed<T, 3>(dst, src, n); return;
    case 4: chwToHwcFixed<T, 4>(dst, src, n); return;
    case 8: chwToHwcFixed<T, 8>(dst, src, n); return;
    case 16: chwToHwcFixed<T, 16>(dst, src, n); return;
    default: break;
  }
  if constexpr (sizeof(T) == 4) {
    tileRect(dst, src, c, n, 0, 0, c, n);
  } else {
    if (c <= 7) tileRect(dst, src, c, n, 0, 0, c, n);
    else blocked8(dst, src, c, n);
  }
}

template <typename T>
HALVEX_INLINE void hwcToChw(T* dst, const T* src, size_t n, unsigned c) {
  switch (c) {
    case 1: std::memcpy(dst, src, n * sizeof(T)); return;
    case 2: hwcToChwFixed<T, 2>(dst, src, n); return;
    case 3: hwcToChwFixed<T, 3>(dst, src, n); return;
    case 4: hwcToChwFixed<T, 4>(dst, src, n); return;
    default: break;
  }
  if constexpr (sizeof(T) == 4) {
    tileRect(dst, src, n, c, 0, 0, n, c);
  } else {
    if (c <= 7) tileRect(dst, src, n, c, 0, 0, n, c);
    else blocked8(dst, src, n, c);
  }
}

template <typename T>
void chwToHwcBase(T* dst, const T* src, size_t n, unsigned c) {
  chwToHwc(dst, src, n, c);
}
template <typename T>
HALVEX_AVX2 void chwToHwcAvx2(T* dst, const T* src, size_t n, unsigned c) {
  chwToHwc(dst, src, n, c);
}
template <typename T>
void hwcToChwBase(T* dst, const T* src, size_t n, unsigned c) {
  hwcToChw(dst, src, n, c);
}
template <typename T>
HALVEX_AVX2 void hwcToChwAvx2(T* dst, const T* src, size_t n, unsigned c) {
  hwcToChw(dst, src, n, c);
}

}  // namespace

template <typename T>
void transposeCHWToHWC(void* dst, const void* src, uint32_t H, uint32_t W, uint32_t C) {
  static const auto kernel = cpuHasAvx2() ? &chwToHwcAvx2<T> : &chwToHwcBase<T>;
  kernel(static_cast<T*>(dst), static_cast<const T*>(src), size_t{H} * W, C);
}

template <typename T>
void transposeHWCToCHW(void* dst, const void* src, uint32_t H, uint32_t W, uint32_t C) {
  static const auto kernel = cpuHasAvx2() ? &hwcToChwAvx2<T> : &hwcToChwBase<T>;
  kernel(static_cast<T*>(dst), static_cast<const T*>(src), size_t{H} * W, C);
}

template <typename T>
void transposeStrided(T* dst, const T* src, uint64_t A, uint64_t B) {
  stridedLoop(dst, src, A, B);
}

template <typename T>
void transposeTile(T* dst, const T* src, uint64_t A, uint64_t B, uint64_t rowBegin, uint64_t colBegin,
                   uint64_t rowEnd, uint64_t colEnd) {
  tileRect(dst, src, A, B, rowBegin, colBegin, rowEnd, colEnd);
}

template <typename T>
void transposeBlocked8(T* dst, const T* src, uint64_t A, uint64_t B) {
  blocked8(dst, src, A, B);
}

#define KESTRANE_TRANSPOSE_WIDTH(T)                                                                         \
  template void transposeCHWToHWC<T>(void*, const void*, uint32_t, uint32_t, uint32_t);                    \
  template void transposeHWCToCHW<T>(void*, const void*, uint32_t, uint32_t, uint32_t);                    \
  template void transposeStrided<T>(T*, const T*, uint64_t, uint64_t);                                     \
  template void transposeTile<T>(T*, const T*, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);
KESTRANE_TRANSPOSE_WIDTH(uint8_t)
KESTRANE_TRANSPOSE_WIDTH(uint16_t)
KESTRANE_TRANSPOSE_WIDTH(uint32_t)
#undef KESTRANE_TRANSPOSE_WIDTH
template void transposeBlocked8<uint8_t>(uint8_t*, const uint8_t*, uint64_t, uint64_t);
template void transposeBlocked8<uint16_t>(uint16_t*, const uint16_t*, uint64_t, uint64_t);

}  // namespace kestrane
