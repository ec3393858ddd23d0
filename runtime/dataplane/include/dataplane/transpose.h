#pragma once

// CHW <-> HWC transposition of one item of H x W pixels and C channels, for
// elements of 1, 2 and 4 bytes (uint8_t, uint16_t, uint32_t: the bytes are
// moved, never interpreted). dst and src do not overlap.
//
// As matrices: CHW -> HWC transposes the C x N matrix (N = H x W) into N x C,
// HWC -> CHW the N x C matrix into C x N. The kernel is chosen by C: one
// channel is a copy, small counts a strided loop, 5 to 7 channels 4 x 4
// tiles, others 8 x 8 vector blocks (4 x 4 tiles for 4-byte elements); all
// give the same result.

#include <cstdint>

namespace kestrane {

template <typename T>
void transposeCHWToHWC(void* dst, const void* src, uint32_t H, uint32_t W, uint32_t C);
template <typename T>
void transposeHWCToCHW(void* dst, const void* src, uint32_t H, uint32_t W, uint32_t C);

// Building blocks over an A x B matrix (A rows of B elements) written as a
// B x A matrix: dst[col * A + row] = src[row * B + col].

// A plain double loop; reads sequentially when B is the smaller side,
// writes sequentially otherwise.
template <typename T>
void transposeStrided(T* dst, const T* src, uint64_t A, uint64_t B);
// The rectangle rows [rowBegin, rowEnd) x columns [colBegin, colEnd), in
// 4 x 4 tiles and element by element at the edges.
template <typename T>
void transposeTile(T* dst, const T* src, uint64_t A, uint64_t B, uint64_t rowBegin, uint64_t colBegin,
                   uint64_t rowEnd, uint64_t colEnd);
// The whole matrix in 8 x 8 vector blocks, edges by transposeTile
// (1- and 2-byte elements).
template <typename T>
void transposeBlocked8(T* dst, const T* src, uint64_t A, uint64_t B);

}  // namespace kestrane
