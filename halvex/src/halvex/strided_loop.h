#pragma once

// Walks N operands that share one logical shape (each with its own byte
// strides, 0 for a broadcast dimension) in row-major order, one contiguous
// run at a time: dimensions of size 1 are dropped, neighbouring dimensions
// that are evenly strided in every operand are merged, and the callback gets
// the innermost run (pointers, element count, byte step of each operand).
// Negative strides are allowed: pointers must then address index 0.

#include <array>
#include <cstdint>
#include <vector>

namespace kestrane::halvex {

template <size_t N>
struct StridedLoop {
  std::vector<int64_t> shape;
  std::array<std::vector<int64_t>, N> strides;  // bytes, one list per operand

  // fn(const std::array<char*, N>& ptrs, int64_t n, const std::array<int64_t, N>& steps)
  template <typename Fn>
  void run(std::array<char*, N> base, Fn&& fn) const {
    std::vector<int64_t> sizes;
    std::array<std::vector<int64_t>, N> st;
    for (size_t d = 0; d < shape.size(); ++d) {
      if (shape[d] == 0) return;
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
};

}  // namespace kestrane::halvex
