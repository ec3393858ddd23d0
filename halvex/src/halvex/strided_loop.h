#pragma once

// Walks N operands that share one logical shape (each with its own byte
// strides, 0 for a broadcast dimension) in row-major order, one contiguous
// run at a time: dimensions of size 1 are dropped, neighbouring dimensions
// that are evenly strided in every operand are merged, and the callback gets
// the innermost run (pointers, element count, byte step of each operand).
// Negative strides are allowed: pointers must then address index 0.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace kestrane::halvex {

template <size_t N>
struct StridedLoop {
  std::vector<int64_t> shape;
  std::array<std::vector<int64_t>, N> strides;  // bytes, one list per operand

  // fn(const std::array<char*, N>& ptrs, int64_t n, const std::array<int64_t, N>& steps)
  // Runs are visited in row-major order, except with anyOrder: then, when an
  // operand walks its innermost dimension with a stride (a transposed
  // layout), the last two dimensions are visited in square tiles so that
  // every operand stays in cache; element-wise operations may use it,
  // reductions whose order matters may not.
  template <typename Fn>
  void run(std::array<char*, N> base, Fn&& fn, bool anyOrder = false) const {
    // Nothing to visit in an empty shape, whose strides need not even be
    // meaningful: decide before any stride arithmetic.
    if (std::find(shape.begin(), shape.end(), int64_t{0}) != shape.end()) return;
    std::vector<int64_t> sizes;
    std::array<std::vector<int64_t>, N> st;
    for (size_t d = 0; d < shape.size(); ++d) {
      if (shape[d] == 1) continue;
      if (!sizes.empty()) {
        bool merge = true;
        for (size_t o = 0; o < N; ++o) merge = merge && st[o].back() == strides[o][d] * shape[d];
        if (merge) {
          sizes.back() *= shape[d];
          for (size_t o = 0; o < N; ++o) st[o].back() = strides[o][d];
          continue;
        }
      }
      sizes.push_back(shape[d]);
      for (size_t o = 0; o < N; ++o) st[o].push_back(strides[o][d]);
    }
    std::array<int64_t, N> steps{};
    if (sizes.empty()) {
      fn(base, int64_t{1}, steps);
      return;
    }
    const size_t inner = sizes.size() - 1;
    for (size_t o = 0; o < N; ++o) steps[o] = st[o][inner];
    const int64_t runLength = sizes[inner];
    if (inner == 0) {
      fn(base, runLength, steps);
      return;
    }
    if (anyOrder && runLength > kTile && sizes[inner - 1] > kTile) {
      bool strided = false;
      for (size_t o = 0; o < N; ++o) {
        const int64_t s = st[o][inner];
        strided = strided || (s != 0 && (s > kContiguousStep || s < -kContiguousStep) &&
                              std::abs(st[o][inner - 1]) < std::abs(s));
      }
      if (strided) {
        runTiled(base, sizes, st, fn);
        return;
      }
    }
    std::vector<int64_t> counter(inner, 0);
    std::array<char*, N> ptr = base;
    while (true) {
      fn(ptr, runLength, steps);
      size_t d = inner;
      while (d > 0) {
        --d;
        for (size_t o = 0; o < N; ++o) ptr[o] += st[o][d];
        if (++counter[d] < sizes[d]) break;
        for (size_t o = 0; o < N; ++o) ptr[o] -= st[o][d] * sizes[d];
        counter[d] = 0;
        if (d == 0) return;
      }
    }
  }

 private:
  static constexpr int64_t kTile = 64;
  static constexpr int64_t kContiguousStep = 8;  // bytes: the widest element

  // The last two dimensions in kTile x kTile tiles, the others in order.
  template <typename Fn>
  static void runTiled(const std::array<char*, N>& base, const std::vector<int64_t>& sizes,
                       const std::array<std::vector<int64_t>, N>& st, Fn& fn) {
    const size_t inner = sizes.size() - 1;
    const size_t outerDims = inner - 1;
    std::array<int64_t, N> steps{};
    for (size_t o = 0; o < N; ++o) steps[o] = st[o][inner];
    std::vector<int64_t> counter(outerDims, 0);
    std::array<char*, N> ptr = base;
    while (true) {
      for (int64_t i0 = 0; i0 < sizes[inner - 1]; i0 += kTile) {
        const int64_t i1 = std::min(sizes[inner - 1], i0 + kTile);
        for (int64_t j0 = 0; j0 < sizes[inner]; j0 += kTile) {
          const int64_t n = std::min(kTile, sizes[inner] - j0);
          for (int64_t i = i0; i < i1; ++i) {
            std::array<char*, N> p;
            for (size_t o = 0; o < N; ++o) p[o] = ptr[o] + i * st[o][inner - 1] + j0 * st[o][inner];
            fn(p, n, steps);
          }
        }
      }
      size_t d = outerDims;
      while (true) {
        if (d == 0) return;
        --d;
        for (size_t o = 0; o < N; ++o) ptr[o] += st[o][d];
        if (++counter[d] < sizes[d]) break;
        for (size_t o = 0; o < N; ++o) ptr[o] -= st[o][d] * sizes[d];
        counter[d] = 0;
      }
    }
  }
};

}  // namespace kestrane::halvex
