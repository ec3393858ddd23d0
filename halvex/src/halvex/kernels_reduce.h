#pragma once

// Reduction kernels. A block reduces nOut independent accumulators, each over
// nRed elements: acc[j] = op(acc[j], in[j * outStride + k * redStride]) for k
// rising from 0. Every accumulator sees its elements in increasing k, so the
// result is that of a plain sequential loop; speed comes from running several
// accumulators side by side (vectors across contiguous outputs, or eight
// interleaved lines when the reduced dimension is the contiguous one).
// Integer sums and products wrap and may be regrouped freely.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "halvex/kernels_common.h"

namespace kestrane::halvex::kernels {

struct SumReduce {
  static constexpr bool kOrderFree = false;  // for floats; integers are always order-free
  template <typename T>
  static HALVEX_INLINE T apply(T acc, T x) { return wrapAdd(acc, x); }
};
struct ProdReduce {
  static constexpr bool kOrderFree = false;
  template <typename T>
  static HALVEX_INLINE T apply(T acc, T x) { return wrapMul(acc, x); }
};
// The element replaces the accumulator only when strictly greater (smaller):
// a NaN element never replaces, a NaN accumulator is never replaced.
struct MaxReduce {
  static constexpr bool kOrderFree = false;
  template <typename T>
  static HALVEX_INLINE T apply(T acc, T x) { return x > acc ? x : acc; }
};
struct MinReduce {
  static constexpr bool kOrderFree = false;
  template <typename T>
  static HALVEX_INLINE T apply(T acc, T x) { return x < acc ? x : acc; }
};

template <typename T, typename F>
inline constexpr bool kRegroupable = std::is_integral_v<T>;

template <typename T, typename F>
HALVEX_INLINE void reduceBlockLoop(T* acc, const T* in, int64_t nOut, int64_t os, int64_t nRed, int64_t rs) {
  if (nOut <= 0 || nRed <= 0) return;
  if (os == 1 && nOut > 1) {
    // Reduced dimension is outer: sweep whole rows, vectorised across outputs.
    for (int64_t k = 0; k < nRed; ++k) {
      const T* row = in + k * rs;
      for (int64_t j = 0; j < nOut; ++j) acc[j] = F::apply(acc[j], row[j]);
    }
    return;
  }
  if (nOut == 1) {
    T a = acc[0];
    if (rs == 1) {
      if constexpr (kRegroupable<T, F>) {
        // Eight independent partial results; exact for wrapping integers.
        T part[8];
        for (int q = 0; q < 8; ++q) part[q] = a;
        int64_t k = 0;
        // The first partial holds acc; the others start from the first
        // elements so that no identity value is needed.
        if (nRed >= 16) {
          for (int q = 1; q < 8; ++q) part[q] = in[q];
          part[0] = F::apply(part[0], in[0]);
          k = 8;
          for (; k + 8 <= nRed; k += 8)
            for (int q = 0; q < 8; ++q) part[q] = F::apply(part[q], in[k + q]);
          a = part[0];
          for (int q = 1; q < 8; ++q) a = F::apply(a, part[q]);
        }
        for (; k < nRed; ++k) a = F::apply(a, in[k]);
      } else {
        for (int64_t k = 0; k < nRed; ++k) a = F::apply(a, in[k]);
      }
    } else {
      for (int64_t k = 0; k < nRed; ++k) a = F::apply(a, in[k * rs]);
    }
    acc[0] = a;
    return;
  }
  // Many outputs, each a strided line: eight lines at a time for independent
  // dependency chains.
  int64_t j = 0;
  for (; j + 8 <= nOut; j += 8) {
    T a[8];
    for (int q = 0; q < 8; ++q) a[q] = acc[j + q];
    const T* base = in + j * os;
    for (int64_t k = 0; k < nRed; ++k) {
      const T* p = base + k * rs;
      for (int q = 0; q < 8; ++q) a[q] = F::apply(a[q], p[q * os]);
    }
    for (int q = 0; q < 8; ++q) acc[j + q] = a[q];
  }
  for (; j < nOut; ++j) {
    T a = acc[j];
    const T* p = in + j * os;
    for (int64_t k = 0; k < nRed; ++k) a = F::apply(a, p[k * rs]);
    acc[j] = a;
  }
}

// Argmax / argmin: the element replaces the best value (and its position)
// only when strictly greater (smaller), so the first extreme position wins; a
// NaN never replaces and a NaN best value stays. Positions count from k0.
template <bool kMax>
struct ArgReduce {
  template <typename T>
  static HALVEX_INLINE bool better(T x, T best) {
    if constexpr (kMax) return x > best; else return x < best;
  }
};

template <typename F>
struct ArgIsMax;
template <bool kMax>
struct ArgIsMax<ArgReduce<kMax>> : std::bool_constant<kMax> {};

template <typename T, typename F>
HALVEX_INLINE void argReduceBlockLoop(T* best, int64_t* index, const T* in, int64_t nOut, int64_t os,
                                      int64_t nRed, int64_t rs, int64_t k0) {
  if (nOut <= 0 || nRed <= 0) return;
  if (os == 1 && nOut > 1) {
    for (int64_t k = 0; k < nRed; ++k) {
      const T* row = in + k * rs;
      const int64_t pos = k0 + k;
      for (int64_t j = 0; j < nOut; ++j) {
        const bool take = F::better(row[j], best[j]);
        best[j] = take ? row[j] : best[j];
        index[j] = take ? pos : index[j];
      }
    }
    return;
  }
  for (int64_t j = 0; j < nOut; ++j) {
    T b = best[j];
    int64_t idx = index[j];
    const T* p = in + j * os;
    if (rs == 1 && nRed >= 64) {
      // A contiguous line: vectorised (see below); the result is exactly
      // that of the sequential rule, -0.0 and 0.0 comparing equal.
      if (!(b != b)) {
        // One pass with lane-wise extremes and the block in which each lane
        // last improved (strictly): per lane that is the first position of
        // its extreme; across lanes the smallest such position of the overall
        // extreme is the first one. A NaN element fails every comparison.
        typedef T V __attribute__((vector_size(32)));
        using I = std::conditional_t<sizeof(T) == 8, int64_t, std::conditional_t<sizeof(T) == 4, int32_t,
                                     std::conditional_t<sizeof(T) == 2, int16_t, int8_t>>>;
        typedef I VI __attribute__((vector_size(32)));
        constexpr int kLanes = static_cast<int>(32 / sizeof(T));
        // Block numbers must fit the lane's index type.
        const int64_t maxBlocks = static_cast<int64_t>(std::numeric_limits<I>::max());
        const int64_t vecEnd = std::min(nRed / kLanes, maxBlocks) * kLanes;
        V part = V{} + b;
        VI block = VI{} - 1;
        VI current = VI{};
        for (int64_t k = 0; k < vecEnd; k += kLanes) {
          V x;
          std::memcpy(&x, p + k, sizeof x);
          VI take;
          if constexpr (ArgIsMax<F>::value) {
            take = x > part;
          } else {
            take = x < part;
          }
          part = take ? x : part;
          block = take ? current : block;
          current += 1;
        }
        bool any = false;
        T m{};
        int64_t first = 0;
        for (int q = 0; q < kLanes; ++q) {
          if (block[q] < 0) continue;  // the lane never beat the best value
          const int64_t pos = static_cast<int64_t>(block[q]) * kLanes + q;
          if (!any || F::better(part[q], m) || (!F::better(m, part[q]) && pos < first)) {
            m = part[q];
            first = pos;
            any = true;
          }
        }
        if (any) {
          b = p[first];
          idx = k0 + first;
        }
        for (int64_t k = vecEnd; k < nRed; ++k) {
          if (F::better(p[k], b)) {
            b = p[k];
            idx = k0 + k;
          }
        }
      }
    } else {
      for (int64_t k = 0; k < nRed; ++k) {
        const T x = p[k * rs];
        if (F::better(x, b)) { b = x; idx = k0 + k; }
      }
    }
    best[j] = b;
    index[j] = idx;
  }
}

using ReduceKernel = void (*)(void* acc, const void* in, int64_t nOut, int64_t outStride, int64_t nRed,
                              int64_t redStride);
using ArgReduceKernel = void (*)(void* best, int64_t* index, const void* in, int64_t nOut, int64_t outStride,
                                 int64_t nRed, int64_t redStride, int64_t k0);

template <typename T, typename F>
void reduceBase(void* acc, const void* in, int64_t nOut, int64_t os, int64_t nRed, int64_t rs) {
  reduceBlockLoop<T, F>(static_cast<T*>(acc), static_cast<const T*>(in), nOut, os, nRed, rs);
}
template <typename T, typename F>
HALVEX_AVX2 void reduceAvx2(void* acc, const void* in, int64_t nOut, int64_t os, int64_t nRed, int64_t rs) {
  reduceBlockLoop<T, F>(static_cast<T*>(acc), static_cast<const T*>(in), nOut, os, nRed, rs);
}
template <typename T, typename F>
void argReduceBase(void* best, int64_t* index, const void* in, int64_t nOut, int64_t os, int64_t nRed,
                   int64_t rs, int64_t k0) {
  argReduceBlockLoop<T, F>(static_cast<T*>(best), index, static_cast<const T*>(in), nOut, os, nRed, rs, k0);
}
template <typename T, typename F>
HALVEX_AVX2 void argReduceAvx2(void* best, int64_t* index, const void* in, int64_t nOut, int64_t os,
                               int64_t nRed, int64_t rs, int64_t k0) {
  argReduceBlockLoop<T, F>(static_cast<T*>(best), index, static_cast<const T*>(in), nOut, os, nRed, rs, k0);
}

template <typename T, typename F>
ReduceKernel reduceKernel() {
  return cpuHasAvx2() ? &reduceAvx2<T, F> : &reduceBase<T, F>;
}
template <typename T, typename F>
ArgReduceKernel argReduceKernel() {
  return cpuHasAvx2() ? &argReduceAvx2<T, F> : &argReduceBase<T, F>;
}

}  // namespace kestrane::halvex::kernels
