// Element conversion between float32 host items and the NPU element types.
// The int8 loops work on 16 elements at a time with the same formula as the
// scalar tail; they are instantiated for the baseline instruction set and for
// AVX2 and picked at run time like the tensor library's kernels.

#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "halvex/kernels_common.h"
#include "model/half_precision.h"
#include "model/reposition.h"

// The vector helpers are always inlined into their target's wrapper: no
// vector ever crosses a call boundary, so the ABI note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kestrane {

namespace {

using halvex::kernels::cpuHasAvx2;

constexpr size_t kBlock = 16;
typedef float F16x __attribute__((vector_size(4 * kBlock)));
typedef int32_t I16x __attribute__((vector_size(4 * kBlock)));
typedef int8_t B16x __attribute__((vector_size(kBlock)));

// clamp(floor(x * s + 0.5), -128, 127), NaN to 0: the product and the sum are
// rounded separately, as the scalar form below.
HALVEX_INLINE B16x quantizeBlock(F16x x, F16x s) {
  F16x v = x * s + 0.5f;
  v = v < -128.0f ? F16x{} - 128.0f : v;
  v = v > 127.0f ? F16x{} + 127.0f : v;
  v = v == v ? v : F16x{};
  I16x t = __builtin_convertvector(v, I16x);  // toward zero
  t += __builtin_convertvector(t, F16x) > v;  // minus one where that rounded up
  return __builtin_convertvector(t, B16x);
}

HALVEX_INLINE int8_t quantizeOne(float x, float s) {
  float v = x * s + 0.5f;
  if (!(v == v)) return 0;
  v = v < -128.0f ? -128.0f : (v > 127.0f ? 127.0f : v);
  return static_cast<int8_t>(std::floor(v));
}

// Scales for one block: uniform, or contiguous from a per-channel table.
struct UniformScale {
  float s;
  HALVEX_INLINE F16x block(size_t) const { return F16x{} + s; }
  HALVEX_INLINE float one(size_t) const { return s; }
};
struct TableScale {
  const float* table;  // period + kBlock - 1 entries, entry j for channel j mod period
  size_t period;
  size_t phase;  // channel of element 0
  HALVEX_INLINE size_t at(size_t i) const { return (phase + i) % period; }
  HALVEX_INLINE F16x block(size_t i) const {
    F16x s;
    std::memcpy(&s, table + at(i), sizeof s);
    return s;
  }
  HALVEX_INLINE float one(size_t i) const { return table[at(i)]; }
};

template <typename S>
HALVEX_INLINE void quantizeLoop(int8_t* dst, const float* src, size_t n, const S& scale) {
  size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    F16x x;
    std::memcpy(&x, src + i, sizeof x);
    const B16x q = quantizeBlock(x, scale.block(i));
    std::memcpy(dst + i, &q, sizeof q);
  }
  for (; i < n; ++i) dst[i] = quantizeOne(src[i], scale.one(i));
}

template <typename S>
HALVEX_INLINE void dequantizeLoop(float* dst, const int8_t* src, size_t n, const S& scale) {
  size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    B16x q;
    std::memcpy(&q, src + i, sizeof q);
    const F16x x = __builtin_convertvector(q, F16x) * scale.block(i);
    std::memcpy(dst + i, &x, sizeof x);
  }
  for (; i < n; ++i) dst[i] = static_cast<float>(src[i]) * scale.one(i);
}

void quantUniformBase(int8_t* d, const float* s, size_t n, const UniformScale& sc) { quantizeLoop(d, s, n, sc); }
HALVEX_AVX2 void quantUniformAvx2(int8_t* d, const float* s, size_t n, const UniformScale& sc) {
  quantizeLoop(d, s, n, sc);
}
void quantTableBase(int8_t* d, const float* s, size_t n, const TableScale& sc) { quantizeLoop(d, s, n, sc); }
HALVEX_AVX2 void quantTableAvx2(int8_t* d, const float* s, size_t n, const TableScale& sc) {
  quantizeLoop(d, s, n, sc);
}
void dequantUniformBase(float* d, const int8_t* s, size_t n, const UniformScale& sc) { dequantizeLoop(d, s, n, sc); }
HALVEX_AVX2 void dequantUniformAvx2(float* d, const int8_t* s, size_t n, const UniformScale& sc) {
  dequantizeLoop(d, s, n, sc);
}
void dequantTableBase(float* d, const int8_t* s, size_t n, const TableScale& sc) { dequantizeLoop(d, s, n, sc); }
HALVEX_AVX2 void dequantTableAvx2(float* d, const int8_t* s, size_t n, const TableScale& sc) {
  dequantizeLoop(d, s, n, sc);
}

struct Kernels {
  void (*quantUniform)(int8_t*, const float*, size_t, const UniformScale&);
  void (*quantTable)(int8_t*, const float*, size_t, const TableScale&);
  void (*dequantUniform)(float*, const int8_t*, size_t, const UniformScale&);
  void (*dequantTable)(float*, const int8_t*, size_t, const TableScale&);
};

const Kernels& kernels() {
  static const Kernels k = cpuHasAvx2()
                               ? Kernels{&quantUniformAvx2, &quantTableAvx2, &dequantUniformAvx2, &dequantTableAvx2}
                               : Kernels{&quantUniformBase, &quantTableBase, &dequantUniformBase, &dequantTableBase};
  return k;
}

// Walks the int8 item under its scale rule and hands each stretch of
// elements to the uniform or the table kernel. Per-channel lists hold one
// value per original channel: channel ch uses entry ch mod scaleChannels.
template <typename Uniform, typename Table>
void forScales(const Scale& scale, uint32_t channels, uint32_t scaleChannels, size_t count, MemoryFormat fmt,
               Uniform uniform, Table table) {
  if (scale.is_uniform) {
    uniform(0, count, scale.scale);
    return;
  }
  const size_t period = channels == 0 ? 1 : channels;
  const size_t listed = scaleChannels == 0 ? 1 : scaleChannels;
  auto entry = [&](size_t ch) { return scale.scale_list[(ch % period) % listed]; };
  const size_t per = count / period;
  if (fmt == MemoryFormat::CHW && count != period && per > 0) {
    // Channel planes of `per` elements each.
    for (size_t k = 0, start = 0; start < count; ++k, start += per)
      uniform(start, std::min(per, count - start), entry(k));
    return;
  }
  std::vector<float> scales(period + kBlock - 1);
  for (size_t j = 0; j < scales.size(); ++j) scales[j] = entry(j);
  table(count, TableScale{scales.data(), period, 0});
}

}  // namespace

void quantizeToNPU(void* dst, const float* src, const Scale& scale, uint32_t channels, uint32_t scaleChannels,
                   int count, MemoryFormat fmt, NPUDtype type) {
  if (count <= 0) return;
  const size_t n = static_cast<size_t>(count);
  if (type == NPUDtype::Float32) {
    std::memcpy(dst, src, n * sizeof(float));
    return;
  }
  if (type == NPUDtype::Float16) {
    floatToHalfArray(static_cast<uint16_t*>(dst), src, count);
    return;
  }
  int8_t* out = static_cast<int8_t*>(dst);
  const Kernels& k = kernels();
  forScales(
      scale, channels, scaleChannels, n, fmt,
      [&](size_t start, size_t len, float s) { k.quantUniform(out + start, src + start, len, UniformScale{s}); },
      [&](size_t len, const TableScale& t) { k.quantTable(out, src, len, t); });
}

void dequantizeFromNPU(float* dst, const void* src, const Scale& scale, uint32_t channels, uint32_t scaleChannels,
                       int count, MemoryFormat fmt, NPUDtype type) {
  if (count <= 0) return;
  const size_t n = static_cast<size_t>(count);
  if (type == NPUDtype::Float32) {
    std::memcpy(dst, src, n * sizeof(float));
    return;
  }
  if (type == NPUDtype::Float16) {
    halfToFloatArray(dst, static_cast<const uint16_t*>(src), count);
    return;
  }
  const int8_t* in = static_cast<const int8_t*>(src);
  const Kernels& k = kernels();
  forScales(
      scale, channels, scaleChannels, n, fmt,
      [&](size_t start, size_t len, float s) { k.dequantUniform(dst + start, in + start, len, UniformScale{s}); },
      [&](size_t len, const TableScale& t) { k.dequantTable(dst, in, len, t); });
}

}  // namespace kestrane
