// CHW <-> HWC transposition kernels. Every body is always inlined into one
// wrapper per instruction set (baseline, AVX2 and AVX-512), picked at run time the
// same way the tensor library's kernels are; the small channel counts are
// compiled for their count so that the strided loops vectorise.

#include "dataplane/transpose.h"

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "dataplane/kernel_isa.h"
#include "halvex/kernels_common.h"

namespace kestrane {

namespace {

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

// Source rows row..row+15, columns col..col+15 of bytes. Four rounds of
// interleaving row i with row i + 8 rotate the 8-bit (row, column) address
// of every byte by one bit each: after four the two halves have swapped.
HALVEX_INLINE void block16x16(uint8_t* dst, const uint8_t* src, size_t a, size_t b, size_t row, size_t col) {
  __m128i r[16], t[16];
  for (int i = 0; i < 16; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + (row + i) * b + col));
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 8; ++i) {
      t[2 * i] = _mm_unpacklo_epi8(r[i], r[i + 8]);
      t[2 * i + 1] = _mm_unpackhi_epi8(r[i], r[i + 8]);
    }
    for (int i = 0; i < 16; ++i) r[i] = t[i];
  }
  for (int i = 0; i < 16; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + (col + i) * a + row), r[i]);
}

// 8 x 8 blocks over the rectangle's whole blocks, its edges by tileRect.
template <typename T>
HALVEX_INLINE void blocked8Rect(T* dst, const T* src, size_t a, size_t b, size_t rowBegin, size_t colBegin,
                                size_t rowEnd, size_t colEnd) {
  if (rowEnd <= rowBegin || colEnd <= colBegin) return;
  const size_t rows = rowBegin + (rowEnd - rowBegin) / 8 * 8, cols = colBegin + (colEnd - colBegin) / 8 * 8;
  // Rows inside: consecutive blocks continue the same destination rows.
  for (size_t col = colBegin; col < cols; col += 8)
    for (size_t row = rowBegin; row < rows; row += 8) block8x8(dst, src, a, b, row, col);
  tileRect(dst, src, a, b, rows, colBegin, rowEnd, cols);
  tileRect(dst, src, a, b, rowBegin, cols, rowEnd, colEnd);
}

// Bytes: 16 x 16 blocks where the rectangle has whole ones, then 8 x 8.
HALVEX_INLINE void blockedBytesRect(uint8_t* dst, const uint8_t* src, size_t a, size_t b, size_t rowBegin,
                                    size_t colBegin, size_t rowEnd, size_t colEnd) {
  if (rowEnd <= rowBegin || colEnd <= colBegin) return;
  const size_t rows = rowBegin + (rowEnd - rowBegin) / 16 * 16, cols = colBegin + (colEnd - colBegin) / 16 * 16;
  for (size_t col = colBegin; col < cols; col += 16)
    for (size_t row = rowBegin; row < rows; row += 16) block16x16(dst, src, a, b, row, col);
  blocked8Rect(dst, src, a, b, rows, colBegin, rowEnd, cols);
  blocked8Rect(dst, src, a, b, rowBegin, cols, rowEnd, colEnd);
}

template <typename T>
HALVEX_INLINE void blocked8(T* dst, const T* src, size_t a, size_t b) {
  if constexpr (sizeof(T) == 1) blockedBytesRect(dst, src, a, b, 0, 0, a, b);
  else blocked8Rect(dst, src, a, b, 0, 0, a, b);
}

// AVX2: 16 rows of 32 bytes; each 128-bit lane goes through the four rounds
// of block16x16 on its own 16 columns.
// Not inlined into the block loops: there the compiler would keep one
// address per row of the block alive, more than there are registers.
__attribute__((noinline)) HALVEX_AVX2 void block16x32(uint8_t* dst, const uint8_t* src, size_t a, size_t b, size_t row,
                                          size_t col) {
  __m256i r[16], t[16];
  for (int i = 0; i < 16; ++i) r[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + (row + i) * b + col));
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 8; ++i) {
      t[2 * i] = _mm256_unpacklo_epi8(r[i], r[i + 8]);
      t[2 * i + 1] = _mm256_unpackhi_epi8(r[i], r[i + 8]);
    }
    for (int i = 0; i < 16; ++i) r[i] = t[i];
  }
  for (int i = 0; i < 16; ++i) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + (col + i) * a + row), _mm256_castsi256_si128(r[i]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + (col + 16 + i) * a + row), _mm256_extracti128_si256(r[i], 1));
  }
}

HALVEX_AVX2 void blockedBytesAvx2(uint8_t* dst, const uint8_t* src, size_t a, size_t b) {
  const size_t rows = a / 16 * 16, cols = b / 32 * 32;
  for (size_t col = 0; col < cols; col += 32)
    for (size_t row = 0; row < rows; row += 16) block16x32(dst, src, a, b, row, col);
  blockedBytesRect(dst, src, a, b, rows, 0, a, cols);
  blockedBytesRect(dst, src, a, b, 0, cols, a, b);
}

// AVX-512: 64 rows of 16 bytes. Register i holds row i, 16 + i, 32 + i and
// 48 + i in its four 128-bit lanes; the four rounds of block16x16 on each
// lane leave in register j the 64 bytes of destination row col + j, so
// each destination row is one 64-byte store.
__attribute__((noinline)) HALVEX_AVX512 void block64x16(uint8_t* dst, const uint8_t* src, size_t a, size_t b,
                                                        size_t row, size_t col) {
  __m512i r[16], t[16];
  const uint8_t* s = src + row * b + col;
  for (int i = 0; i < 16; ++i) {
    const __m512i low = _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i * b)));
    const __m512i two = _mm512_inserti32x4(low, _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + (16 + i) * b)), 1);
    const __m512i three =
        _mm512_inserti32x4(two, _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + (32 + i) * b)), 2);
    r[i] = _mm512_inserti32x4(three, _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + (48 + i) * b)), 3);
  }
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 8; ++i) {
      t[2 * i] = _mm512_unpacklo_epi8(r[i], r[i + 8]);
      t[2 * i + 1] = _mm512_unpackhi_epi8(r[i], r[i + 8]);
    }
    for (int i = 0; i < 16; ++i) r[i] = t[i];
  }
  for (int j = 0; j < 16; ++j) _mm512_storeu_si512(dst + (col + j) * a + row, r[j]);
}

HALVEX_AVX512 void blockedBytesAvx512(uint8_t* dst, const uint8_t* src, size_t a, size_t b) {
  if (a < 64) return blockedBytesAvx2(dst, src, a, b);  // no whole band
  const size_t rows = a / 64 * 64, cols = b / 16 * 16;
  // The 64 source rows of a band stay in the first-level cache across it.
  for (size_t row = 0; row < rows; row += 64)
    for (size_t col = 0; col < cols; col += 16) block64x16(dst, src, a, b, row, col);
  blockedBytesRect(dst, src, a, b, rows, 0, a, cols);
  blockedBytesRect(dst, src, a, b, 0, cols, a, b);
}

// ---- Dispatch on the channel count ----

enum class Wide { None, Avx2, Avx512 };

template <typename T, Wide W>
HALVEX_INLINE void blocked(T* dst, const T* src, size_t a, size_t b) {
  if constexpr (W == Wide::Avx512 && sizeof(T) == 1) blockedBytesAvx512(dst, src, a, b);
  else if constexpr (W == Wide::Avx2 && sizeof(T) == 1) blockedBytesAvx2(dst, src, a, b);
  else blocked8(dst, src, a, b);
}

template <typename T, Wide W>
HALVEX_INLINE void chwToHwc(T* dst, const T* src, size_t n, unsigned c) {
  // One channel or one pixel: both orders coincide.
  if (n == 1 || c == 1) {
    std::memcpy(dst, src, n * c * sizeof(T));
    return;
  }
  switch (c) {
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
    else blocked<T, W>(dst, src, c, n);
  }
}

template <typename T, Wide W>
HALVEX_INLINE void hwcToChw(T* dst, const T* src, size_t n, unsigned c) {
  if (n == 1 || c == 1) {
    std::memcpy(dst, src, n * c * sizeof(T));
    return;
  }
  switch (c) {
    case 2: hwcToChwFixed<T, 2>(dst, src, n); return;
    case 3: hwcToChwFixed<T, 3>(dst, src, n); return;
    case 4: hwcToChwFixed<T, 4>(dst, src, n); return;
    default: break;
  }
  if constexpr (sizeof(T) == 4) {
    tileRect(dst, src, n, c, 0, 0, n, c);
  } else {
    if (c <= 7) tileRect(dst, src, n, c, 0, 0, n, c);
    else blocked<T, W>(dst, src, n, c);
  }
}

template <typename T>
void chwToHwcBase(T* dst, const T* src, size_t n, unsigned c) {
  chwToHwc<T, Wide::None>(dst, src, n, c);
}
template <typename T>
HALVEX_AVX2 void chwToHwcAvx2(T* dst, const T* src, size_t n, unsigned c) {
  chwToHwc<T, Wide::Avx2>(dst, src, n, c);
}
template <typename T>
HALVEX_AVX512 void chwToHwcAvx512(T* dst, const T* src, size_t n, unsigned c) {
  chwToHwc<T, Wide::Avx512>(dst, src, n, c);
}
template <typename T>
void hwcToChwBase(T* dst, const T* src, size_t n, unsigned c) {
  hwcToChw<T, Wide::None>(dst, src, n, c);
}
template <typename T>
HALVEX_AVX2 void hwcToChwAvx2(T* dst, const T* src, size_t n, unsigned c) {
  hwcToChw<T, Wide::Avx2>(dst, src, n, c);
}
template <typename T>
HALVEX_AVX512 void hwcToChwAvx512(T* dst, const T* src, size_t n, unsigned c) {
  hwcToChw<T, Wide::Avx512>(dst, src, n, c);
}

// The kernel of the widest set in use.
template <typename Kernel>
Kernel pick(Kernel base, Kernel avx2, Kernel avx512) {
  const KernelIsa isa = kernelIsa();
  return isa >= KernelIsa::Avx512 ? avx512 : isa >= KernelIsa::Avx2 ? avx2 : base;
}

}  // namespace

template <typename T>
void transposeCHWToHWC(void* dst, const void* src, uint32_t H, uint32_t W, uint32_t C) {
  const auto kernel = pick(&chwToHwcBase<T>, &chwToHwcAvx2<T>, &chwToHwcAvx512<T>);
  kernel(static_cast<T*>(dst), static_cast<const T*>(src), size_t{H} * W, C);
}

template <typename T>
void transposeHWCToCHW(void* dst, const void* src, uint32_t H, uint32_t W, uint32_t C) {
  const auto kernel = pick(&hwcToChwBase<T>, &hwcToChwAvx2<T>, &hwcToChwAvx512<T>);
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
