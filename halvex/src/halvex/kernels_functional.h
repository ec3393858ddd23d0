#pragma once

// Inner loops of softmax, group normalisation and 4-D interpolation on dense
// row-major blocks. Sums run in the order the composite definitions give
// them (increasing position along the reduced dimension), so the fused loops
// produce the same values as the compositions of element-wise operations
// and reductions.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "halvex/kernels_exp.h"
#include "halvex/kernels_reduce.h"

namespace kestrane::halvex::kernels {

// e^x in place, as Tensor::exp computes it.
inline void expRun(float* x, int64_t n) { expRunF32Dispatch(x, x, n); }
inline void expRun(double* x, int64_t n) {
  for (int64_t i = 0; i < n; ++i) x[i] = std::exp(x[i]);
}

// Softmax of a dense block viewed as {outer, s, inner} along the middle
// dimension: m = max (first element, NaN elements ignored unless the first is
// NaN), e = exp(x - m), out = e / (sum of e in increasing position).
template <typename T>
void softmaxBlock(const T* in, T* out, int64_t outer, int64_t s, int64_t inner) {
  if (outer <= 0 || s <= 0 || inner <= 0) return;
  const ReduceKernel maxK = reduceKernel<T, MaxReduce>();
  const ReduceKernel sumK = reduceKernel<T, SumReduce>();
  if (inner == 1) {
    // Lines are contiguous: reduce all of them in one call each, so that the
    // kernels run several lines' sums side by side.
    // Eight lines at a time stay in cache across the four passes.
    constexpr int64_t kGroup = 8;
    T m[kGroup], sum[kGroup];
    for (int64_t o0 = 0; o0 < outer; o0 += kGroup) {
      const int64_t g = std::min(kGroup, outer - o0);
      const T* xg = in + o0 * s;
      T* yg = out + o0 * s;
      for (int64_t o = 0; o < g; ++o) m[o] = xg[o * s];
      maxK(m, xg + 1, g, s, s - 1, 1);
      for (int64_t o = 0; o < g; ++o) {
        const T* x = xg + o * s;
        T* y = yg + o * s;
        for (int64_t k = 0; k < s; ++k) y[k] = x[k] - m[o];
        expRun(y, s);
        sum[o] = y[0];
      }
      sumK(sum, yg + 1, g, s, s - 1, 1);
      for (int64_t o = 0; o < g; ++o) {
        T* y = yg + o * s;
        for (int64_t k = 0; k < s; ++k) y[k] = y[k] / sum[o];
      }
    }
    return;
  }
  std::vector<T> m(static_cast<size_t>(inner)), sum(static_cast<size_t>(inner));
  for (int64_t o = 0; o < outer; ++o) {
    const T* x = in + o * s * inner;
    T* y = out + o * s * inner;
    std::copy(x, x + inner, m.begin());
    maxK(m.data(), x + inner, inner, 1, s - 1, inner);
    for (int64_t k = 0; k < s; ++k) {
      const T* xr = x + k * inner;
      T* yr = y + k * inner;
      for (int64_t i = 0; i < inner; ++i) yr[i] = xr[i] - m[i];
      expRun(yr, inner);
    }
    std::copy(y, y + inner, sum.begin());
    sumK(sum.data(), y + inner, inner, 1, s - 1, inner);
    for (int64_t k = 0; k < s; ++k) {
      T* yr = y + k * inner;
      for (int64_t i = 0; i < inner; ++i) yr[i] = yr[i] / sum[i];
    }
  }
}

// Fused group normalisation of a dense float32 [N, C, H, W] block with C
// divisible by G. Statistics are taken relative to each group's first
// element; 1 / sqrt(variance + eps) is formed in double precision.
inline void groupNormF32(const float* in, float* out, int64_t n, int64_t c, int64_t hw, int64_t groups,
                         double eps, const float* weight, const float* bias) {
  const int64_t perGroup = c / groups;
  const int64_t size = perGroup * hw;
  const float sizeF = static_cast<float>(size);
  for (int64_t g = 0; g < n * groups; ++g) {
    const float* x = in + g * size;
    float* y = out + g * size;
    const float r = x[0];
    float s = 0.0f, q = 0.0f;
    for (int64_t i = 0; i < size; ++i) {
      const float d = x[i] - r;
      s += d;
      q += d * d;
    }
    const float mean = s / sizeF + r;
    float var = (q - s * s / sizeF) / sizeF;
    if (var < 0.0f) var = 0.0f;
    const double inv = 1.0 / std::sqrt(static_cast<double>(var) + eps);
    const int64_t c0 = (g % groups) * perGroup;
    for (int64_t ch = 0; ch < perGroup; ++ch) {
      const float a = static_cast<float>(inv) * weight[c0 + ch];
      const float b = bias[c0 + ch] - a * mean;
      const float* xc = x + ch * hw;
      float* yc = y + ch * hw;
      for (int64_t i = 0; i < hw; ++i) yc[i] = xc[i] * a + b;
    }
  }
}

// Source coordinate of output position o along one axis, in float32.
inline float sourceCoord(int64_t o, float scale) {
  return (static_cast<float>(o) + 0.5f) * scale - 0.5f;
}

// Nearest resize of `planes` dense planes of hin x win into hout x wout: the
// source index is the coordinate truncated toward zero, limited to the plane.
template <typename T>
void resizeNearest(const T* in, T* out, int64_t planes, int64_t hin, int64_t win, int64_t hout, int64_t wout) {
  const float sh = static_cast<float>(hin) / static_cast<float>(hout);
  const float sw = static_cast<float>(win) / static_cast<float>(wout);
  std::vector<int64_t> ix(static_cast<size_t>(wout));
  for (int64_t ow = 0; ow < wout; ++ow)
    ix[ow] = std::clamp<int64_t>(static_cast<int64_t>(sourceCoord(ow, sw)), 0, win - 1);
  for (int64_t p = 0; p < planes; ++p) {
    const T* src = in + p * hin * win;
    T* dst = out + p * hout * wout;
    for (int64_t oh = 0; oh < hout; ++oh) {
      const int64_t iy = std::clamp<int64_t>(static_cast<int64_t>(sourceCoord(oh, sh)), 0, hin - 1);
      const T* row = src + iy * win;
      T* orow = dst + oh * wout;
      for (int64_t ow = 0; ow < wout; ++ow) orow[ow] = row[ix[ow]];
    }
  }
}

// Bilinear resize: corners from the floor of the coordinate and the next
// index, both limited to the plane; weights measured from the limited floor.
// Coordinates are float32; the blend runs in the element type.
template <typename T>
void resizeLinear(const T* in, T* out, int64_t planes, int64_t hin, int64_t win, int64_t hout, int64_t wout) {
  const float sh = static_cast<float>(hin) / static_cast<float>(hout);
  const float sw = static_cast<float>(win) / static_cast<float>(wout);
  struct Tap {
    int64_t i0, i1;
    T d;
  };
  auto tap = [](int64_t o, float scale, int64_t limit) {
    const float c = sourceCoord(o, scale);
    const int64_t f = static_cast<int64_t>(std::floor(c));
    const int64_t i0 = std::clamp<int64_t>(f, 0, limit - 1);
    const int64_t i1 = std::clamp<int64_t>(f + 1, 0, limit - 1);
    return Tap{i0, i1, static_cast<T>(c - static_cast<float>(i0))};
  };
  std::vector<Tap> xs(static_cast<size_t>(wout));
  for (int64_t ow = 0; ow < wout; ++ow) xs[ow] = tap(ow, sw, win);
  std::vector<Tap> ys(static_cast<size_t>(hout));
  for (int64_t oh = 0; oh < hout; ++oh) ys[oh] = tap(oh, sh, hin);
  for (int64_t p = 0; p < planes; ++p) {
    const T* src = in + p * hin * win;
    for (int64_t oh = 0; oh < hout; ++oh) {
      const Tap& ty = ys[oh];
      const T* r0 = src + ty.i0 * win;
      const T* r1 = src + ty.i1 * win;
      T* orow = out + (p * hout + oh) * wout;
      for (int64_t ow = 0; ow < wout; ++ow) {
        const Tap& tx = xs[ow];
        const T t = (r0[tx.i1] - r0[tx.i0]) * tx.d + r0[tx.i0];
        const T b = (r1[tx.i1] - r1[tx.i0]) * tx.d + r1[tx.i0];
        orow[ow] = (b - t) * ty.d + t;
      }
    }
  }
}

}  // namespace kestrane::halvex::kernels
