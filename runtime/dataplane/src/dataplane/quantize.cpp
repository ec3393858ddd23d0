// Element conversion between float32 host items and the NPU element types.
// The int8 loops work on 32 elements at a time with the same formula as the
// scalar tail, in a baseline (SSE2) and an AVX2 form picked on each call.

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <vector>

#include "dataplane/half_precision.h"
#include "dataplane/kernel_isa.h"
#include "dataplane/reposition.h"
#include "halvex/kernels_common.h"

namespace kestrane {

namespace {

// Elements per step; the per-channel scale tables are padded for it.
constexpr size_t kBlock = 32;

HALVEX_INLINE int8_t quantizeOne(float x, float s) {
  float v = x * s + 0.5f;
  if (!(v == v)) return 0;
  v = v < -128.0f ? -128.0f : (v > 127.0f ? 127.0f : v);
  return static_cast<int8_t>(std::floor(v));
}

// clamp(floor(x * s + 0.5), -128, 127) with NaN to 0, as 32-bit lanes: the
// product and the sum are rounded separately, as in the scalar form. NaN is
// cleared first so that max and min see numbers only.
HALVEX_INLINE __m128i quantize4(__m128 x, __m128 s) {
  __m128 v = _mm_add_ps(_mm_mul_ps(x, s), _mm_set1_ps(0.5f));
  v = _mm_and_ps(v, _mm_cmpeq_ps(v, v));
  v = _mm_min_ps(_mm_max_ps(v, _mm_set1_ps(-128.0f)), _mm_set1_ps(127.0f));
  const __m128i t = _mm_cvttps_epi32(v);  // toward zero; minus one where that rounded up
  return _mm_add_epi32(t, _mm_castps_si128(_mm_cmplt_ps(v, _mm_cvtepi32_ps(t))));
}

HALVEX_INLINE HALVEX_AVX2 __m256i quantize8(__m256 x, __m256 s) {
  __m256 v = _mm256_add_ps(_mm256_mul_ps(x, s), _mm256_set1_ps(0.5f));
  v = _mm256_and_ps(v, _mm256_cmp_ps(v, v, _CMP_EQ_OQ));
  v = _mm256_min_ps(_mm256_max_ps(v, _mm256_set1_ps(-128.0f)), _mm256_set1_ps(127.0f));
  const __m256i t = _mm256_cvttps_epi32(v);
  return _mm256_add_epi32(t, _mm256_castps_si256(_mm256_cmp_ps(v, _mm256_cvtepi32_ps(t), _CMP_LT_OQ)));
}

HALVEX_INLINE void quantizeBlockBase(int8_t* dst, const float* src, const float* s) {
  for (int h = 0; h < 2; ++h) {
    __m128i t[4];
    for (int j = 0; j < 4; ++j) t[j] = quantize4(_mm_loadu_ps(src + 16 * h + 4 * j), _mm_loadu_ps(s + 16 * h + 4 * j));
    const __m128i q = _mm_packs_epi16(_mm_packs_epi32(t[0], t[1]), _mm_packs_epi32(t[2], t[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16 * h), q);
  }
}

HALVEX_INLINE HALVEX_AVX2 void quantizeBlockAvx2(int8_t* dst, const float* src, const float* s) {
  __m256i t[4];
  for (int j = 0; j < 4; ++j) t[j] = quantize8(_mm256_loadu_ps(src + 8 * j), _mm256_loadu_ps(s + 8 * j));
  // The packs work within 128-bit lanes; the permutation restores the order.
  const __m256i q = _mm256_packs_epi16(_mm256_packs_epi32(t[0], t[1]), _mm256_packs_epi32(t[2], t[3]));
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_permutevar8x32_epi32(q, order));
}

HALVEX_INLINE void dequantizeBlockBase(float* dst, const int8_t* src, const float* s) {
  for (int h = 0; h < 2; ++h) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16 * h));
    // Sign extension by unpacking each byte with itself and shifting back.
    const __m128i w[2] = {_mm_srai_epi16(_mm_unpacklo_epi8(b, b), 8), _mm_srai_epi16(_mm_unpackhi_epi8(b, b), 8)};
    for (int k = 0; k < 2; ++k) {
      const __m128i d[2] = {_mm_srai_epi32(_mm_unpacklo_epi16(w[k], w[k]), 16),
                            _mm_srai_epi32(_mm_unpackhi_epi16(w[k], w[k]), 16)};
      for (int j = 0; j < 2; ++j) {
        const size_t at = 16 * h + 8 * k + 4 * j;
        _mm_storeu_ps(dst + at, _mm_mul_ps(_mm_cvtepi32_ps(d[j]), _mm_loadu_ps(s + at)));
      }
    }
  }
}

HALVEX_INLINE HALVEX_AVX2 void dequantizeBlockAvx2(float* dst, const int8_t* src, const float* s) {
  for (int j = 0; j < 4; ++j) {
    const __m256i d = _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + 8 * j)));
    _mm256_storeu_ps(dst + 8 * j, _mm256_mul_ps(_mm256_cvtepi32_ps(d), _mm256_loadu_ps(s + 8 * j)));
  }
}

// Scales for one block: uniform, or contiguous from a per-channel table.
struct UniformScale {
  float s;
  HALVEX_INLINE float one(size_t) const { return s; }
};
struct TableScale {
  const float* table;  // period + kBlock - 1 entries, entry j for channel j mod period
  size_t period;
  HALVEX_INLINE const float* block(size_t i) const { return table + i % period; }
  HALVEX_INLINE float one(size_t i) const { return table[i % period]; }
};

// One loop for both directions and both scale kinds; Block is the vector
// step of the instruction set.
template <typename Out, typename In, typename S, typename Block, typename One>
HALVEX_INLINE void blockLoop(Out* dst, const In* src, size_t n, const S& scale, Block block, One one) {
  size_t i = 0;
  if constexpr (std::is_same_v<S, UniformScale>) {
    alignas(32) float room[kBlock];
    for (float& r : room) r = scale.s;
    for (; i + kBlock <= n; i += kBlock) block(dst + i, src + i, room);
  } else {
    for (; i + kBlock <= n; i += kBlock) block(dst + i, src + i, scale.block(i));
  }
  for (; i < n; ++i) dst[i] = one(src[i], scale.one(i));
}

HALVEX_INLINE float dequantizeOne(int8_t q, float s) { return static_cast<float>(q) * s; }

template <typename S>
void quantizeBase(int8_t* d, const float* s, size_t n, const S& sc) {
  blockLoop(d, s, n, sc, quantizeBlockBase, quantizeOne);
}
template <typename S>
HALVEX_AVX2 void quantizeAvx2(int8_t* d, const float* s, size_t n, const S& sc) {
  blockLoop(d, s, n, sc, [](int8_t* o, const float* x, const float* k) HALVEX_AVX2 { quantizeBlockAvx2(o, x, k); },
            quantizeOne);
}
template <typename S>
void dequantizeBase(float* d, const int8_t* s, size_t n, const S& sc) {
  blockLoop(d, s, n, sc, dequantizeBlockBase, dequantizeOne);
}
template <typename S>
HALVEX_AVX2 void dequantizeAvx2(float* d, const int8_t* s, size_t n, const S& sc) {
  blockLoop(d, s, n, sc, [](float* o, const int8_t* x, const float* k) HALVEX_AVX2 { dequantizeBlockAvx2(o, x, k); },
            dequantizeOne);
}

template <typename S>
void quantizeRun(int8_t* d, const float* s, size_t n, const S& sc) {
  if (kernelIsa() >= KernelIsa::Avx2) quantizeAvx2(d, s, n, sc);
  else quantizeBase(d, s, n, sc);
}
template <typename S>
void dequantizeRun(float* d, const int8_t* s, size_t n, const S& sc) {
  if (kernelIsa() >= KernelIsa::Avx2) dequantizeAvx2(d, s, n, sc);
  else dequantizeBase(d, s, n, sc);
}

// Walks the int8 item under its scale rule and hands each stretch of
// elements to the uniform or the table kernel. A list with a value for every
// one of the `channels` gives channel ch entry ch; a shorter one holds one
// value per original channel, and channel ch uses entry ch mod scaleChannels.
template <typename Uniform, typename Table>
void forScales(const Scale& scale, uint32_t channels, uint32_t scaleChannels, size_t count, MemoryFormat fmt,
               Uniform uniform, Table table) {
  if (scale.is_uniform) {
    uniform(0, count, scale.scale);
    return;
  }
  const size_t period = channels == 0 ? 1 : channels;
  const size_t listed = scale.scale_list.size() >= period ? period : scaleChannels == 0 ? 1 : scaleChannels;
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
  table(count, TableScale{scales.data(), period});
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
  forScales(
      scale, channels, scaleChannels, n, fmt,
      [&](size_t start, size_t len, float s) { quantizeRun(out + start, src + start, len, UniformScale{s}); },
      [&](size_t len, const TableScale& t) { quantizeRun(out, src, len, t); });
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
  forScales(
      scale, channels, scaleChannels, n, fmt,
      [&](size_t start, size_t len, float s) { dequantizeRun(dst + start, in + start, len, UniformScale{s}); },
      [&](size_t len, const TableScale& t) { dequantizeRun(dst, in, len, t); });
}

}  // namespace kestrane
