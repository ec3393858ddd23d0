#pragma once

// Walks N operands that share one logical shape (each with its own byte
// strides, 0 for a broadcast dimension) in row-major order, one contiguous
// run at a time: dimensions of size 1 are dropped, neighbouring dimensions
// that are evenly strided in every operand are merged, and the callback gets
// the innermost run (pointers, element count, byte step of each operand).
// Negative strides are allowed: pointers must then address index 0.
//
// Positions are kept as byte offsets from each base and turned into pointers
// only for the callback, by integer arithmetic: a caller that only wants the
// offsets may pass null bases.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <type_traits>
#include <vector>

namespace kestrane::halvex {

template <size_t N>
struct StridedLoop {
  std::vector<int64_t> shape;
  std::array<std::vector<int64_t>, N> strides;  // bytes, one list per operand

  using Ptrs = std::array<char*, N>;
  using Steps = std::array<int64_t, N>;

  // fn(const Ptrs& ptrs, int64_t n, const Steps& steps)
  // Runs are visited in row-major order, except with anyOrder: then, when an
  // operand walks its innermost dimension with a stride (a transposed
  // layout), the last two dimensions are visited in square tiles so that
  // every operand stays in cache; element-wise operations may use it,
  // reductions whose order matters may not.
  template <typename Fn>
  void run(Ptrs base, Fn&& fn, bool anyOrder = false) const {
    walk(base, fn, anyOrder, nullptr);
  }

  // As run with anyOrder, but each tile of a transposed layout goes whole to
  // tileFn(const Ptrs& ptrs, int64_t rows, int64_t cols, const Steps& rowSteps,
  // const Steps& colSteps), rows along the second-last merged dimension: for
  // kernels that transpose blocks in registers. Other runs go to fn.
  template <typename Fn, typename TileFn>
  void runTiles(Ptrs base, Fn&& fn, TileFn&& tileFn) const {
    walk(base, fn, true, &tileFn);
  }

 private:
  static constexpr int64_t kTile = 64;
  static constexpr int64_t kContiguousStep = 8;  // bytes: the widest element

  struct Merged {
    std::vector<int64_t> sizes;
    std::array<std::vector<int64_t>, N> st;
  };

  static char* at(char* base, int64_t offset) {
    return reinterpret_cast<char*>(reinterpret_cast<uintptr_t>(base) + static_cast<uintptr_t>(offset));
  }
  static Ptrs at(const Ptrs& base, const Steps& offset) {
    Ptrs p;
    for (size_t o = 0; o < N; ++o) p[o] = at(base[o], offset[o]);
    return p;
  }

  Merged merge() const {
    Merged m;
    for (size_t d = 0; d < shape.size(); ++d) {
      if (shape[d] == 1) continue;
      if (!m.sizes.empty()) {
        bool mergeable = true;
        for (size_t o = 0; o < N; ++o) mergeable = mergeable && m.st[o].back() == strides[o][d] * shape[d];
        if (mergeable) {
          m.sizes.back() *= shape[d];
          for (size_t o = 0; o < N; ++o) m.st[o].back() = strides[o][d];
          continue;
        }
      }
      m.sizes.push_back(shape[d]);
      for (size_t o = 0; o < N; ++o) m.st[o].push_back(strides[o][d]);
    }
    return m;
  }

  // Calls visit(offsets) for every position of the merged dimensions
  // [0, count), in row-major order.
  template <typename Visit>
  static void forEachOuter(const Merged& m, size_t count, Visit&& visit) {
    std::vector<int64_t> counter(count, 0);
    Steps off{};
    while (true) {
      visit(off);
      size_t d = count;
      while (true) {
        if (d == 0) return;
        --d;
        for (size_t o = 0; o < N; ++o) off[o] += m.st[o][d];
        if (++counter[d] < m.sizes[d]) break;
        for (size_t o = 0; o < N; ++o) off[o] -= m.st[o][d] * m.sizes[d];
        counter[d] = 0;
      }
    }
  }

  // tileFn: null, or a pointer to the tile callback.
  template <typename Fn, typename TileFnPtr>
  void walk(const Ptrs& base, Fn& fn, bool anyOrder, TileFnPtr tileFn) const {
    // Nothing to visit in an empty shape, whose strides need not even be
    // meaningful: decide before any stride arithmetic.
    if (std::find(shape.begin(), shape.end(), int64_t{0}) != shape.end()) return;
    const Merged m = merge();
    Steps steps{};
    if (m.sizes.empty()) {
      fn(base, int64_t{1}, steps);
      return;
    }
    const size_t inner = m.sizes.size() - 1;
    for (size_t o = 0; o < N; ++o) steps[o] = m.st[o][inner];
    const int64_t runLength = m.sizes[inner];
    if (anyOrder && inner > 0 && runLength > kTile && m.sizes[inner - 1] > kTile) {
      bool strided = false;
      for (size_t o = 0; o < N; ++o) {
        const int64_t s = m.st[o][inner];
        strided = strided || (s != 0 && (s > kContiguousStep || s < -kContiguousStep) &&
                              std::abs(m.st[o][inner - 1]) < std::abs(s));
      }
      if (strided) {
        walkTiled(base, m, fn, tileFn);
        return;
      }
    }
    forEachOuter(m, inner, [&](const Steps& off) { fn(at(base, off), runLength, steps); });
  }

  // The last two dimensions in kTile x kTile tiles, the others in order.
  template <typename Fn, typename TileFnPtr>
  static void walkTiled(const Ptrs& base, const Merged& m, Fn& fn, TileFnPtr tileFn) {
    const size_t inner = m.sizes.size() - 1;
    Steps rowSteps{}, colSteps{};
    for (size_t o = 0; o < N; ++o) {
      rowSteps[o] = m.st[o][inner - 1];
      colSteps[o] = m.st[o][inner];
    }
    const int64_t rows = m.sizes[inner - 1], cols = m.sizes[inner];
    forEachOuter(m, inner - 1, [&](const Steps& off) {
      for (int64_t i0 = 0; i0 < rows; i0 += kTile) {
        const int64_t h = std::min(kTile, rows - i0);
        for (int64_t j0 = 0; j0 < cols; j0 += kTile) {
          const int64_t w = std::min(kTile, cols - j0);
          Steps tile;
          for (size_t o = 0; o < N; ++o) tile[o] = off[o] + i0 * rowSteps[o] + j0 * colSteps[o];
          if constexpr (!std::is_same_v<TileFnPtr, std::nullptr_t>) {
            (*tileFn)(at(base, tile), h, w, rowSteps, colSteps);
            continue;
          }
          for (int64_t i = 0; i < h; ++i) {
            fn(at(base, tile), w, colSteps);
            for (size_t o = 0; o < N; ++o) tile[o] += rowSteps[o];
          }
        }
      }
    });
  }
};

}  // namespace kestrane::halvex
