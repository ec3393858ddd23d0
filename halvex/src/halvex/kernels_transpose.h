#pragma once

// Copies of blocks whose source is transposed against the destination,
// transposing square blocks of 4- and 8-byte elements in registers (4 x 4 and
// 2 x 2 with SSE2, 8 x 8 and 4 x 4 with AVX2, 16 x 16 and 8 x 8 with AVX-512);
// edges and other widths go element by element. Used by the copies of
// transposed tensors and by element-wise operations on transposed operands.

#include <cstdint>
#include <cstring>

#include "halvex/kernels_common.h"

namespace kestrane::halvex::kernels {

// Element (i, j), i < rows, j < cols, of W bytes, is read at
// src + i * W + j * srcCol and written at dst + i * dstRow + j * W (strides in
// bytes): each source column is a destination row.
using TransposeFn = void (*)(char* dst, int64_t dstRow, const char* src, int64_t srcCol, int64_t rows, int64_t cols);

// The elements outside the leading fullRows x fullCols part, which the
// register blocks have covered.
template <int W>
HALVEX_INLINE void transposeEdges(char* dst, int64_t dstRow, const char* src, int64_t srcCol, int64_t rows,
                                  int64_t cols, int64_t fullRows, int64_t fullCols) {
  for (int64_t i = 0; i < rows; ++i) {
    for (int64_t j = i < fullRows ? fullCols : 0; j < cols; ++j) {
      std::memcpy(dst + i * dstRow + j * W, src + i * W + j * srcCol, W);
    }
  }
}

// ---- blocks -------------------------------------------------------------------

// Names below: dst row r receives element r of the vectors read from the B
// source columns c = 0 .. B-1.

HALVEX_INLINE void block4x4x4(char* dst, int64_t dstRow, const char* src, int64_t srcCol) {
  __m128 r0 = _mm_loadu_ps(reinterpret_cast<const float*>(src));
  __m128 r1 = _mm_loadu_ps(reinterpret_cast<const float*>(src + srcCol));
  __m128 r2 = _mm_loadu_ps(reinterpret_cast<const float*>(src + 2 * srcCol));
  __m128 r3 = _mm_loadu_ps(reinterpret_cast<const float*>(src + 3 * srcCol));
  _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
  _mm_storeu_ps(reinterpret_cast<float*>(dst), r0);
  _mm_storeu_ps(reinterpret_cast<float*>(dst + dstRow), r1);
  _mm_storeu_ps(reinterpret_cast<float*>(dst + 2 * dstRow), r2);
  _mm_storeu_ps(reinterpret_cast<float*>(dst + 3 * dstRow), r3);
}

HALVEX_INLINE void block2x2x8(char* dst, int64_t dstRow, const char* src, int64_t srcCol) {
  const __m128d c0 = _mm_loadu_pd(reinterpret_cast<const double*>(src));
  const __m128d c1 = _mm_loadu_pd(reinterpret_cast<const double*>(src + srcCol));
  _mm_storeu_pd(reinterpret_cast<double*>(dst), _mm_unpacklo_pd(c0, c1));
  _mm_storeu_pd(reinterpret_cast<double*>(dst + dstRow), _mm_unpackhi_pd(c0, c1));
}

// Unpack, in-lane shuffle, lane swap.
HALVEX_AVX2 HALVEX_INLINE void block8x8x4(char* dst, int64_t dstRow, const char* src, int64_t srcCol) {
  __m256 r[8];
  for (int c = 0; c < 8; ++c) r[c] = _mm256_loadu_ps(reinterpret_cast<const float*>(src + c * srcCol));
  __m256 t[8], u[8];
  for (int q = 0; q < 4; ++q) {
    t[2 * q] = _mm256_unpacklo_ps(r[2 * q], r[2 * q + 1]);
    t[2 * q + 1] = _mm256_unpackhi_ps(r[2 * q], r[2 * q + 1]);
  }
  for (int q = 0; q < 2; ++q) {
    u[4 * q + 0] = _mm256_shuffle_ps(t[4 * q + 0], t[4 * q + 2], _MM_SHUFFLE(1, 0, 1, 0));
    u[4 * q + 1] = _mm256_shuffle_ps(t[4 * q + 0], t[4 * q + 2], _MM_SHUFFLE(3, 2, 3, 2));
    u[4 * q + 2] = _mm256_shuffle_ps(t[4 * q + 1], t[4 * q + 3], _MM_SHUFFLE(1, 0, 1, 0));
    u[4 * q + 3] = _mm256_shuffle_ps(t[4 * q + 1], t[4 * q + 3], _MM_SHUFFLE(3, 2, 3, 2));
  }
  for (int q = 0; q < 4; ++q) {
    _mm256_storeu_ps(reinterpret_cast<float*>(dst + q * dstRow), _mm256_permute2f128_ps(u[q], u[q + 4], 0x20));
    _mm256_storeu_ps(reinterpret_cast<float*>(dst + (q + 4) * dstRow), _mm256_permute2f128_ps(u[q], u[q + 4], 0x31));
  }
}

HALVEX_AVX2 HALVEX_INLINE void block4x4x8(char* dst, int64_t dstRow, const char* src, int64_t srcCol) {
  __m256d r[4];
  for (int c = 0; c < 4; ++c) r[c] = _mm256_loadu_pd(reinterpret_cast<const double*>(src + c * srcCol));
  const __m256d t0 = _mm256_unpacklo_pd(r[0], r[1]), t1 = _mm256_unpackhi_pd(r[0], r[1]);
  const __m256d t2 = _mm256_unpacklo_pd(r[2], r[3]), t3 = _mm256_unpackhi_pd(r[2], r[3]);
  _mm256_storeu_pd(reinterpret_cast<double*>(dst), _mm256_permute2f128_pd(t0, t2, 0x20));
  _mm256_storeu_pd(reinterpret_cast<double*>(dst + dstRow), _mm256_permute2f128_pd(t1, t3, 0x20));
  _mm256_storeu_pd(reinterpret_cast<double*>(dst + 2 * dstRow), _mm256_permute2f128_pd(t0, t2, 0x31));
  _mm256_storeu_pd(reinterpret_cast<double*>(dst + 3 * dstRow), _mm256_permute2f128_pd(t1, t3, 0x31));
}

// 16 x 16: unpack pairs of rows, then combine 64-bit, 128-bit and 256-bit pieces.
HALVEX_AVX512 HALVEX_INLINE void block16x16x4(char* dst, int64_t dstRow, const char* src, int64_t srcCol) {
  __m512i r[16], t[16];
  for (int c = 0; c < 16; ++c) r[c] = _mm512_loadu_si512(src + c * srcCol);
  for (int q = 0; q < 8; ++q) {
    t[2 * q] = _mm512_unpacklo_epi32(r[2 * q], r[2 * q + 1]);
    t[2 * q + 1] = _mm512_unpackhi_epi32(r[2 * q], r[2 * q + 1]);
  }
  for (int q = 0; q < 4; ++q) {
    r[4 * q + 0] = _mm512_unpacklo_epi64(t[4 * q + 0], t[4 * q + 2]);
    r[4 * q + 1] = _mm512_unpackhi_epi64(t[4 * q + 0], t[4 * q + 2]);
    r[4 * q + 2] = _mm512_unpacklo_epi64(t[4 * q + 1], t[4 * q + 3]);
    r[4 * q + 3] = _mm512_unpackhi_epi64(t[4 * q + 1], t[4 * q + 3]);
  }
  // r[4q + k] now holds, per 128-bit lane L, elements (4L + k) of columns
  // 4q .. 4q+3. Gather lane L of the four groups into row 4L + k.
  for (int k = 0; k < 4; ++k) {
    const __m512i a = _mm512_shuffle_i32x4(r[k], r[4 + k], 0x88);       // lanes 0, 2 of each
    const __m512i b = _mm512_shuffle_i32x4(r[k], r[4 + k], 0xDD);       // lanes 1, 3
    const __m512i c = _mm512_shuffle_i32x4(r[8 + k], r[12 + k], 0x88);
    const __m512i d = _mm512_shuffle_i32x4(r[8 + k], r[12 + k], 0xDD);
    _mm512_storeu_si512(dst + (0 + k) * dstRow, _mm512_shuffle_i32x4(a, c, 0x88));
    _mm512_storeu_si512(dst + (4 + k) * dstRow, _mm512_shuffle_i32x4(b, d, 0x88));
    _mm512_storeu_si512(dst + (8 + k) * dstRow, _mm512_shuffle_i32x4(a, c, 0xDD));
    _mm512_storeu_si512(dst + (12 + k) * dstRow, _mm512_shuffle_i32x4(b, d, 0xDD));
  }
}

// ---- kernels ------------------------------------------------------------------

// B x B register blocks over the leading part, then the edges.
// (A macro, not a template: the block functions must be inlined into a
// function of their own instruction set.)
#define HALVEX_TRANSPOSE_BLOCKS(W, B, block)                                    \
  const int64_t fullRows = rows / (B) * (B), fullCols = cols / (B) * (B);        \
  for (int64_t i = 0; i < fullRows; i += (B)) {                                  \
    for (int64_t j = 0; j < fullCols; j += (B)) {                                \
      block(dst + i * dstRow + j * (W), dstRow, src + i * (W) + j * srcCol, srcCol); \
    }                                                                            \
  }                                                                              \
  transposeEdges<W>(dst, dstRow, src, srcCol, rows, cols, fullRows, fullCols)

template <int W>
void transposeScalar(char* dst, int64_t dstRow, const char* src, int64_t srcCol, int64_t rows, int64_t cols) {
  transposeEdges<W>(dst, dstRow, src, srcCol, rows, cols, 0, 0);
}
inline void transpose4Base(char* dst, int64_t dstRow, const char* src, int64_t srcCol, int64_t rows, int64_t cols) {
  HALVEX_TRANSPOSE_BLOCKS(4, 4, block4x4x4);
}
HALVEX_AVX2 inline void transpose4Avx2(char* dst, int64_t dstRow, const char* src, int64_t srcCol, int64_t rows,
                                       int64_t cols) {
  HALVEX_TRANSPOSE_BLOCKS(4, 8, block8x8x4);
}
HALVEX_AVX512 inline void transpose4Avx512(char* dst, int64_t dstRow, const char* src, int64_t srcCol, int64_t rows,
                                           int64_t cols) {
  HALVEX_TRANSPOSE_BLOCKS(4, 16, block16x16x4);
}
inline void transpose8Base(char* dst, int64_t dstRow, const char* src, int64_t srcCol, int64_t rows, int64_t cols) {
  HALVEX_TRANSPOSE_BLOCKS(8, 2, block2x2x8);
}
HALVEX_AVX2 inline void transpose8Avx2(char* dst, int64_t dstRow, const char* src, int64_t srcCol, int64_t rows,
                                       int64_t cols) {
  HALVEX_TRANSPOSE_BLOCKS(8, 4, block4x4x8);
}
#undef HALVEX_TRANSPOSE_BLOCKS

// The kernel for elements of `width` bytes (1, 2, 4 or 8) on this CPU.
inline TransposeFn transposeKernel(int32_t width) {
  switch (width) {
    case 4: return pickKernel<TransposeFn>(&transpose4Base, &transpose4Avx2, &transpose4Avx512);
    case 8: return pickKernel<TransposeFn>(&transpose8Base, &transpose8Avx2, &transpose8Avx2);
    case 2: return &transposeScalar<2>;
    default: return &transposeScalar<1>;
  }
}

}  // namespace kestrane::halvex::kernels
