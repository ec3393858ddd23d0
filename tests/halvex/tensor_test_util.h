#pragma once

// Reference readers for halvex tests: elements are addressed one by one by
// the byte-stride rule, independent of the library's iterator.

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "halvex/free_functions.h"
#include "halvex/tensor.h"

namespace kestrane::halvex::test {

// The address of the element at idx: negative strides count from the top.
inline const char* addressOf(const Tensor& t, const std::vector<int64_t>& idx) {
  const char* p = t.basePtr();
  for (size_t d = 0; d < idx.size(); ++d) {
    int64_t s = t.strides()[d];
    p += s >= 0 ? idx[d] * s : (t.shape()[d] - 1 - idx[d]) * -s;
  }
  return p;
}

inline double valueAt(const Tensor& t, const std::vector<int64_t>& idx) {
  const char* p = addressOf(t, idx);
  return visitDType(t.dtype(), [&](auto tag) {
    StorageType<decltype(tag)::value> v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<double>(v);
  });
}

// Every element in row-major index order.
inline std::vector<double> values(const Tensor& t) {
  std::vector<double> out;
  if (t.numel() == 0) return out;
  std::vector<int64_t> idx(t.shape().size(), 0);
  for (;;) {
    out.push_back(valueAt(t, idx));
    size_t d = idx.size();
    for (; d-- > 0;) {
      if (++idx[d] < t.shape()[d]) break;
      idx[d] = 0;
    }
    if (d == static_cast<size_t>(-1)) return out;
  }
}

// A row-major tensor of the shape and dtype holding 0, 1, 2, ...
inline Tensor iota(std::vector<int64_t> shape, DType dtype = DType::Float32) {
  int64_t n = 1;
  for (int64_t s : shape) n *= s;
  std::vector<int64_t> v(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) v[static_cast<size_t>(i)] = i;
  return fromVector(v, dtype).reshape(shape);
}

inline Tensor make(const std::vector<double>& v, DType d, std::vector<int64_t> shape = {}) {
  Tensor t = fromVector(v).to(d);
  return shape.empty() ? t : t.reshape(shape);
}

// Uniform values in [lo, hi); on a grid of 1/grid when grid > 0, so that they
// are exact in every float type.
inline Tensor randomTensor(std::vector<int64_t> shape, DType d, uint32_t seed, double lo = -3, double hi = 3,
                           double grid = 0) {
  int64_t n = 1;
  for (int64_t s : shape) n *= s;
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(lo, hi);
  std::vector<double> v(static_cast<size_t>(n));
  for (auto& x : v) x = grid > 0 ? std::round(dist(gen) * grid) / grid : dist(gen);
  return make(v, d, shape);
}

}  // namespace kestrane::halvex::test
