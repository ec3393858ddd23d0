#pragma once

// Helpers for kernels that walk tensors: layout tests, broadcast ratios and
// the lockstep walk over contiguous stretches that hot loops are built on.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "halvex/tensor.h"

namespace kestrane::halvex {

struct ContiguousRun {
  int64_t unit = 0;       // bytes from one element of a run to the next
  int32_t outerDims = 0;  // leading dimensions not fused into the run
  int64_t runBytes = 0;   // bytes covered by one run
};

// The fusing step of Tensor::IterImpl by itself. With unitFromStride the unit
// is the innermost stride (elementSize when that is 0), else elementSize.
ContiguousRun computeContiguousRun(const Tensor& t, bool unitFromStride, IntArrayRef ratios = {});

// Pairs the dimensions of a and b from the last while both have some:
// equal sizes keep ratio 1, a size of 1 takes the other's size as its ratio,
// any other pair fails (false). Outputs are in dimension order.
bool computeBroadcastRatios(IntArrayRef a, IntArrayRef b, std::vector<int64_t>& ratiosA,
                            std::vector<int64_t>& ratiosB, std::vector<int64_t>& outShape);

// Walks iterators that visit the same number of elements in lockstep, one
// stretch at a time: fn(n) is called with every iterator at the start of n
// elements it reaches by its own constant step(). So a kernel runs a plain
// loop per stretch instead of an indirect call per element.
template <typename Fn, typename... Iters>
void forEachStretch(int64_t count, Fn&& fn, Iters&... its) {
  while (count > 0) {
    int64_t n = std::min({count, its.remainingInRun()...});
    if (n <= 0) return;  // an iterator ended early: never walk past it
    fn(n);
    (its.advance(n), ...);
    count -= n;
  }
}

// Unaligned-safe element access (views over caller memory need not be aligned).
template <typename T>
inline T loadAs(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <typename T>
inline void storeAs(char* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

}  // namespace kestrane::halvex
