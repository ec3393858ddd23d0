#pragma once

// Element copies between strided runs, by element width: contiguous runs as
// one block, a repeated source element (step 0) as a fill, a backwards
// source (step minus the width) as a reversed copy, anything else element by
// element.

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
    if (srcStep == -w) {
      for (int64_t i = 0; i < n; ++i) storeAs<W>(dst + i * w, loadAs<W>(src - i * w));
      return;
    }
  }
  for (int64_t i = 0; i < n; ++i) storeAs<W>(dst + i * dstStep, loadAs<W>(src + i * srcStep));
}

}  // namespace kestrane::halvex::kernels
