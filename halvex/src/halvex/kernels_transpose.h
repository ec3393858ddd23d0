#pragma once

// Transposition of 8 x 8 blocks of 4-byte elements in registers, for
// element-wise operations whose operands are transposed against the result:
// the operands are turned into row-major scratch rows first, so that the
// operation itself runs on contiguous runs.

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "halvex/kernels_common.h"

namespace kestrane::halvex::kernels {

typedef uint32_t U32x8 __attribute__((vector_size(32)));

// dst row r (r = 0..7, dst rows dstStride elements apart) receives element r
// of the eight vectors read at src + c * srcStride (c = 0..7).
HALVEX_INLINE void transpose8x8(const uint32_t* src, int64_t srcStride, uint32_t* dst, int64_t dstStride) {
  U32x8 r[8];
  for (int c = 0; c < 8; ++c) std::memcpy(&r[c], src + c * srcStride, sizeof(U32x8));
  // Lane indices count across both operands: 0-7 the first, 8-15 the second.
  U32x8 t[8], u[8];
  for (int q = 0; q < 4; ++q) {
    t[2 * q] = __builtin_shufflevector(r[2 * q], r[2 * q + 1], 0, 8, 1, 9, 4, 12, 5, 13);
    t[2 * q + 1] = __builtin_shufflevector(r[2 * q], r[2 * q + 1], 2, 10, 3, 11, 6, 14, 7, 15);
  }
  for (int q = 0; q < 2; ++q) {
    u[4 * q + 0] = __builtin_shufflevector(t[4 * q + 0], t[4 * q + 2], 0, 1, 8, 9, 4, 5, 12, 13);
    u[4 * q + 1] = __builtin_shufflevector(t[4 * q + 0], t[4 * q + 2], 2, 3, 10, 11, 6, 7, 14, 15);
    u[4 * q + 2] = __builtin_shufflevector(t[4 * q + 1], t[4 * q + 3], 0, 1, 8, 9, 4, 5, 12, 13);
    u[4 * q + 3] = __builtin_shufflevector(t[4 * q + 1], t[4 * q + 3], 2, 3, 10, 11, 6, 7, 14, 15);
  }
  for (int q = 0; q < 4; ++q) {
    const U32x8 a = __builtin_shufflevector(u[q], u[q + 4], 0, 1, 2, 3, 8, 9, 10, 11);
    const U32x8 b = __builtin_shufflevector(u[q], u[q + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    std::memcpy(dst + q * dstStride, &a, sizeof a);
    std::memcpy(dst + (q + 4) * dstStride, &b, sizeof b);
  }
}

// rows x cols (rows a multiple of 8, cols <= dstStride) of a transposed
// source: element (i, j) at src[j * srcStride + i]; written row-major to dst.
HALVEX_INLINE void transposeTile(const uint32_t* src, int64_t srcStride, int64_t rows, int64_t cols, uint32_t* dst,
                                 int64_t dstStride) {
  for (int64_t i = 0; i < rows; i += 8) {
    int64_t j = 0;
    for (; j + 8 <= cols; j += 8) transpose8x8(src + j * srcStride + i, srcStride, dst + i * dstStride + j, dstStride);
    for (; j < cols; ++j)
      for (int64_t r = 0; r < 8; ++r) std::memcpy(dst + (i + r) * dstStride + j, src + j * srcStride + i + r, 4);
  }
}

// The same transposition with AVX2 shuffles (unpack, in-lane shuffle, lane swap).
HALVEX_AVX2 inline void transpose8x8Avx2(const uint32_t* src, int64_t srcStride, uint32_t* dst, int64_t dstStride) {
  __m256 r[8];
  for (int c = 0; c < 8; ++c) r[c] = _mm256_loadu_ps(reinterpret_cast<const float*>(src + c * srcStride));
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
    _mm256_storeu_ps(reinterpret_cast<float*>(dst + q * dstStride), _mm256_permute2f128_ps(u[q], u[q + 4], 0x20));
    _mm256_storeu_ps(reinterpret_cast<float*>(dst + (q + 4) * dstStride), _mm256_permute2f128_ps(u[q], u[q + 4], 0x31));
  }
}

inline void transposeTileBase(const uint32_t* src, int64_t srcStride, int64_t rows, int64_t cols, uint32_t* dst,
                              int64_t dstStride) {
  transposeTile(src, srcStride, rows, cols, dst, dstStride);
}
HALVEX_AVX2 inline void transposeTileAvx2(const uint32_t* src, int64_t srcStride, int64_t rows, int64_t cols,
                                          uint32_t* dst, int64_t dstStride) {
  for (int64_t i = 0; i < rows; i += 8) {
    int64_t j = 0;
    for (; j + 8 <= cols; j += 8) transpose8x8Avx2(src + j * srcStride + i, srcStride, dst + i * dstStride + j, dstStride);
    for (; j < cols; ++j)
      for (int64_t r = 0; r < 8; ++r) std::memcpy(dst + (i + r) * dstStride + j, src + j * srcStride + i + r, 4);
  }
}

using TransposeTileFn = void (*)(const uint32_t*, int64_t, int64_t, int64_t, uint32_t*, int64_t);
inline TransposeTileFn transposeTileKernel() { return cpuHasAvx2() ? &transposeTileAvx2 : &transposeTileBase; }

}  // namespace kestrane::halvex::kernels
