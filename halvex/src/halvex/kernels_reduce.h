#pragma once

// Reduction kernels. A block reduces nOut independent accumulators, each over
// nRed elements: acc[j] = op(acc[j], in[j * outStride + k * redStride]) for k
// rising from 0. Every accumulator sees its elements in increasing k, so the
// result is that of a plain sequential loop; speed comes from running several
// accumulators side by side (vectors across contiguous outputs, or eight
// interleaved lines when the reduced dimension is the contiguous one).
// Integer sums and products wrap and may be regrouped freely.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <iterator>
#include <type_traits>
#include <utility>

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

// The lower and upper halves of a vector.
template <typename T, int kBytes, std::size_t... Is>
HALVEX_INLINE void splitHalves(const Vec<T, kBytes>& v, Vec<T, kBytes / 2>& lo, Vec<T, kBytes / 2>& hi,
                               std::index_sequence<Is...>) {
  lo = __builtin_shufflevector(v, v, Is...);
  hi = __builtin_shufflevector(v, v, (Is + sizeof...(Is))...);
}

// The largest (kMax) or smallest lane of v, none of them NaN, by halving.
template <typename T, int kBytes, bool kMax>
HALVEX_INLINE T extremeLane(const Vec<T, kBytes>& v) {
  if constexpr (kBytes > 16) {
    using H = Vec<T, kBytes / 2>;
    H lo, hi;
    splitHalves<T, kBytes>(v, lo, hi, std::make_index_sequence<kBytes / 2 / sizeof(T)>());
    const H m = (kMax ? hi > lo : hi < lo) ? hi : lo;
    return extremeLane<T, kBytes / 2, kMax>(m);
  } else {
    T m = v[0];
    for (int i = 1; i < static_cast<int>(kBytes / sizeof(T)); ++i) m = (kMax ? v[i] > m : v[i] < m) ? v[i] : m;
    return m;
  }
}

// A vector with every lane x (through memory: no scalar-to-vector
// arithmetic on narrow lane types).
template <typename T, int kBytes>
HALVEX_INLINE void splat(Vec<T, kBytes>& v, T x) {
  T lanes[kBytes / sizeof(T)];
  std::fill(std::begin(lanes), std::end(lanes), x);
  std::memcpy(&v, lanes, sizeof v);
}

// Where the first extreme of a block of lanes lies. The block is kR vectors
// of kRBytes: values (part) and, per lane, the step in which it last
// improved (step, -1 for never); vector r covers the offsets
// (step * kR + r) * lanes + lane. Returns the smallest offset whose value is
// the block's extreme, or -1 when no lane became better than b.
template <typename T, typename F, typename I, int kRBytes, int kR>
HALVEX_INLINE int64_t firstExtreme(const Vec<T, kRBytes> (&part)[kR], const Vec<I, kRBytes> (&step)[kR], T b) {
  using V = Vec<T, kRBytes>;
  using VI = Vec<I, kRBytes>;
  constexpr int kLanes = static_cast<int>(kRBytes / sizeof(T));
  constexpr bool kMax = ArgIsMax<F>::value;
  VI key[kR];
  for (int r = 0; r < kR; ++r) key[r] = step[r] * static_cast<I>(kR) + static_cast<I>(r);
  V m = part[0];
  for (int r = 1; r < kR; ++r) m = (kMax ? part[r] > m : part[r] < m) ? part[r] : m;
  const T mv = extremeLane<T, kRBytes, kMax>(m);
  if (!F::better(mv, b)) return -1;
  // Among the lanes holding mv, the smallest key, then in it the smallest lane.
  V mvs;
  VI none, lane;
  splat<T, kRBytes>(mvs, mv);
  splat<I, kRBytes>(none, std::numeric_limits<I>::max());
  I lanes[kLanes];
  for (int l = 0; l < kLanes; ++l) lanes[l] = static_cast<I>(l);
  std::memcpy(&lane, lanes, sizeof lane);
  VI c = none;
  for (int r = 0; r < kR; ++r) {
    const VI holds = part[r] == mvs;
    const VI cr = holds ? key[r] : none;
    c = cr < c ? cr : c;
  }
  const I minKey = extremeLane<I, kRBytes, false>(c);
  VI minKeys;
  splat<I, kRBytes>(minKeys, minKey);
  c = none;
  for (int r = 0; r < kR; ++r) {
    const VI holds = part[r] == mvs;
    const VI atKey = key[r] == minKeys;
    const VI cr = holds ? (atKey ? lane : none) : none;
    c = cr < c ? cr : c;
  }
  return static_cast<int64_t>(minKey) * kLanes + extremeLane<I, kRBytes, false>(c);
}

// The rule over one contiguous line p[0, n) from the best value b at
// position idx (b not NaN), with kAcc vectors of kBytes side by side: the
// first largest (smallest) position, exactly as the sequential loop finds it.
// Each lane keeps its extreme and the step in which it last improved
// (strictly), which is the first position of that extreme in the lane; of
// all lanes holding the overall extreme the smallest position is the first
// one. A NaN element fails every comparison and never enters a lane, and a
// lane that never improved holds b, which loses against any that did. The
// last step ends at n, moved back over elements already seen: none of those
// is better than b, so none can enter a lane again.
template <typename T, typename F, int kBytes, int kAcc>
HALVEX_INLINE void argLine(const T* p, int64_t n, T& b, int64_t& idx, int64_t k0) {
  using I = std::conditional_t<sizeof(T) == 8, int64_t, std::conditional_t<sizeof(T) == 4, int32_t,
                               std::conditional_t<sizeof(T) == 2, int16_t, int8_t>>>;
  using V = Vec<T, kBytes>;
  using VI = Vec<I, kBytes>;
  constexpr int kLanes = static_cast<int>(kBytes / sizeof(T));
  constexpr int64_t kStep = int64_t{kLanes} * kAcc;
  // The lanes are combined in vectors of at most 32 bytes (g++ 12 splits
  // some operations on 64-byte vectors into single lanes), kR of them.
  constexpr int kRBytes = kBytes > 32 ? 32 : kBytes;
  constexpr int kR = kAcc * (kBytes / kRBytes);
  static_assert(kBytes <= 2 * kRBytes, "vectors are split in two halves at most");
  // A lane's key, step * kR + vector, must fit its integer type.
  constexpr int64_t kMaxSteps = static_cast<int64_t>(std::numeric_limits<I>::max()) / kR;
  constexpr bool kMax = ArgIsMax<F>::value;
  if (n < kStep) {
    if constexpr (kAcc > 1) {
      if (n >= kLanes) return argLine<T, F, kBytes, 1>(p, n, b, idx, k0);
    }
    for (int64_t k = 0; k < n; ++k) {
      if (F::better(p[k], b)) {
        b = p[k];
        idx = k0 + k;
      }
    }
    return;
  }
  int64_t k = 0;
  while (k < n) {
    // Whole steps from k; in the last chunk one more, shifted back to end at n.
    int64_t steps = std::min((n - k) / kStep, kMaxSteps - 1);
    const int64_t rest = n - k - steps * kStep;
    int64_t shift = 0;
    if (rest > 0 && rest < kStep) {
      ++steps;
      shift = kStep - rest;
    }
    V part[kAcc];
    VI step[kAcc];
    for (int a = 0; a < kAcc; ++a) {
      splat<T, kBytes>(part[a], b);
      step[a] = VI{} - 1;
    }
    VI current = VI{};
    const T* last = p + k + (steps - 1) * kStep - shift;
    for (int64_t s = 0; s < steps; ++s) {
      const T* q = s + 1 == steps ? last : p + k + s * kStep;
      for (int a = 0; a < kAcc; ++a) {
        V x;
        std::memcpy(&x, q + a * kLanes, sizeof x);
        const VI take = kMax ? x > part[a] : x < part[a];
        part[a] = take ? x : part[a];
        step[a] = take ? current : step[a];
      }
      current += 1;
    }
    int64_t first = -1;
    if constexpr (kRBytes == kBytes) {
      first = firstExtreme<T, F, I, kRBytes, kR>(part, step, b);
    } else {
      // Each vector as its two halves, in offset order.
      constexpr auto kHalf = std::make_index_sequence<kLanes / 2>();
      Vec<T, kRBytes> halves[kR];
      Vec<I, kRBytes> stepHalves[kR];
      for (int a = 0; a < kAcc; ++a) {
        splitHalves<T, kBytes>(part[a], halves[2 * a], halves[2 * a + 1], kHalf);
        splitHalves<I, kBytes>(step[a], stepHalves[2 * a], stepHalves[2 * a + 1], kHalf);
      }
      first = firstExtreme<T, F, I, kRBytes, kR>(halves, stepHalves, b);
    }
    if (first >= 0) {
      // Offset from p + k; the last step was shifted back.
      if (first >= (steps - 1) * kStep) first -= shift;
      b = p[k + first];
      idx = k0 + k + first;
    }
    k += steps * kStep - shift;
  }
}

template <typename T, typename F, int kBytes>
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
    if (rs == 1) {
      // A NaN best value is never replaced: nothing to look at.
      if (!(b != b)) argLine<T, F, kBytes, 4>(p, nRed, b, idx, k0);
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
  argReduceBlockLoop<T, F, 16>(static_cast<T*>(best), index, static_cast<const T*>(in), nOut, os, nRed, rs, k0);
}
template <typename T, typename F>
HALVEX_AVX2 void argReduceAvx2(void* best, int64_t* index, const void* in, int64_t nOut, int64_t os,
                               int64_t nRed, int64_t rs, int64_t k0) {
  argReduceBlockLoop<T, F, 32>(static_cast<T*>(best), index, static_cast<const T*>(in), nOut, os, nRed, rs, k0);
}
template <typename T, typename F>
HALVEX_AVX512 void argReduceAvx512(void* best, int64_t* index, const void* in, int64_t nOut, int64_t os,
                                   int64_t nRed, int64_t rs, int64_t k0) {
  argReduceBlockLoop<T, F, 64>(static_cast<T*>(best), index, static_cast<const T*>(in), nOut, os, nRed, rs, k0);
}

template <typename T, typename F>
ReduceKernel reduceKernel() {
  return useAvx2() ? &reduceAvx2<T, F> : &reduceBase<T, F>;
}
template <typename T, typename F>
ArgReduceKernel argReduceKernel() {
  return pickKernel<ArgReduceKernel>(&argReduceBase<T, F>, &argReduceAvx2<T, F>, &argReduceAvx512<T, F>);
}

}  // namespace kestrane::halvex::kernels
