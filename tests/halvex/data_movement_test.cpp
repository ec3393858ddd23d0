// Data movement on every instruction set the CPU offers: the conversion
// kernels against the scalar rule, copies of transposed, flipped, broadcast
// and strided layouts and index_select against element-by-element results,
// and the argmax/argmin rule on vectorised lines.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "halvex/convert.h"
#include "halvex/free_functions.h"
#include "isa_test_util.h"
#include "tensor_test_util.h"

namespace kestrane::halvex {
namespace {

using Shape = std::vector<int64_t>;
using test::addressOf;

class DataMovement : public test::EveryIsa {};
HALVEX_ON_EVERY_ISA(DataMovement);

const DType kAllTypes[] = {DType::UInt8, DType::Int8,    DType::Int16,   DType::Int32,
                           DType::Int64, DType::Float32, DType::Float64, DType::Bool};

template <typename Fn>
void forEachIndex(const Shape& shape, Fn&& fn) {
  int64_t n = 1;
  for (int64_t s : shape) n *= s;
  Shape idx(shape.size(), 0);
  for (int64_t k = 0; k < n; ++k) {
    fn(idx);
    for (size_t d = shape.size(); d-- > 0;) {
      if (++idx[d] < shape[d]) break;
      idx[d] = 0;
    }
  }
}

// Every element of got holds the bytes of the same element of want (the
// byte-stride rule read element by element, independent of the library).
void expectSameElements(const Tensor& got, const Tensor& want) {
  ASSERT_TRUE(got.defined());
  ASSERT_EQ(got.shape(), want.shape());
  const size_t esz = static_cast<size_t>(got.elementSize());
  forEachIndex(got.shape(), [&](const Shape& idx) {
    ASSERT_EQ(std::memcmp(addressOf(got, idx), addressOf(want, idx), esz), 0) << ::testing::PrintToString(idx);
  });
}

// A row-major tensor of random bytes (bool: 0 or 1).
Tensor randomBytes(const Shape& shape, DType dtype, uint32_t seed) {
  TensorData t(shape, dtype);
  std::mt19937 gen(seed);
  auto* p = static_cast<uint8_t*>(t.data());
  for (int64_t i = 0; i < t.numel() * t.elementSize(); ++i) {
    p[i] = static_cast<uint8_t>(dtype == DType::Bool ? gen() % 2 : gen());
  }
  return std::move(t);
}

template <typename T>
Tensor tensorOf(const std::vector<T>& v, DType dtype, Shape shape) {
  TensorData t(shape, dtype);
  if (!v.empty()) std::memcpy(t.data(), v.data(), v.size() * sizeof(T));
  return std::move(t);
}

// ---- conversion ---------------------------------------------------------------

// Values at and beyond the range of every target, NaN and infinities.
template <DType S>
std::vector<StorageType<S>> hardValues() {
  using T = StorageType<S>;
  std::vector<double> v;
  if constexpr (isFloating(S)) {
    const double inf = std::numeric_limits<double>::infinity();
    v = {0.0,     -0.0,          NAN,           inf,           -inf,          0.5,          -0.5,
         -0.9,    1.0,           -1.5,          2.9,           127.0,         127.9,        128.0,
         -128.0,  -128.9,        -129.0,        255.5,         256.0,         300.7,        -1.0,
         32767.0, 32767.5,       32768.0,       -32768.9,      -32769.0,      65535.0,      65536.0,
         1e9,     2147483520.0,  2147483647.0,  2147483648.0,  -2147483648.0, -2147483904.0, 4294967296.0,
         9.2e18,  9.3e18,        -9.2e18,       -9.3e18,       9223372036854775807.0,       -9223372036854775808.0,
         1e30,    -1e30,         1e-30,         -1e-40};
    if constexpr (S == DType::Float64) {
      v.insert(v.end(), {2147483647.9, -2147483648.9, -2147483649.0, 16777217.0, 1e300, -1e300, 4e-320});
    }
  } else if constexpr (S == DType::Bool) {
    v = {0, 1};
  } else {
    const double lo = static_cast<double>(std::numeric_limits<T>::min());
    const double hi = static_cast<double>(std::numeric_limits<T>::max());
    for (double x : {0.0, 1.0, -1.0, 127.0, 128.0, -128.0, -129.0, 200.0, 255.0, 256.0, 300.0, 32767.0, 32768.0,
                     -32769.0, 65536.0 + 300.0, 16777217.0, 2147483647.0, -2147483648.0, 4294967297.0,
                     9007199254740993.0}) {
      if (x >= lo && x <= hi) v.push_back(x);
    }
  }
  std::vector<T> out;
  for (double x : v) out.push_back(static_cast<T>(x));
  if constexpr (std::is_integral_v<T> && sizeof(T) == 8) {
    out.insert(out.end(), {std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), (int64_t{1} << 53) + 1});
  }
  return out;
}

template <DType S, DType D>
void checkConversionPair() {
  using In = StorageType<S>;
  using Out = StorageType<D>;
  const std::vector<In> vals = hardValues<S>();
  // Lengths 1 to 67 cover the scalar tail alone, vectors plus tails, and
  // every value in several lanes (the start shifts through the list).
  for (int64_t n = 1; n <= 67; ++n) {
    std::vector<In> src(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) src[static_cast<size_t>(i)] = vals[static_cast<size_t>(i * 7 + n) % vals.size()];
    const Tensor out = tensorOf(src, S, {n}).to(D);
    ASSERT_TRUE(out.defined());
    ASSERT_EQ(out.dtype(), D);
    const char* got = static_cast<const char*>(out.data());
    for (int64_t i = 0; i < n; ++i) {
      const Out want = convertValue<S, D>(src[static_cast<size_t>(i)]);
      ASSERT_EQ(std::memcmp(got + i * sizeof(Out), &want, sizeof(Out)), 0)
          << dtypeName(S) << " -> " << dtypeName(D) << " of " << +src[static_cast<size_t>(i)] << " at " << i
          << " of " << n;
    }
  }
}

TEST_P(DataMovement, EveryConversionPairGivesTheScalarRuleOnHardValues) {
  for (DType from : kAllTypes) {
    for (DType to : kAllTypes) {
      if (from == to) continue;
      visitDType(from, [&](auto s) {
        visitDType(to, [&](auto d) { checkConversionPair<decltype(s)::value, decltype(d)::value>(); });
      });
    }
  }
}

TEST_P(DataMovement, FloatToIntegerConversionSaturatesToTheSignBitPattern) {
  const std::vector<float> v = {NAN, INFINITY, -INFINITY, 3e9f, -3e9f, 2147483648.0f, -2147483904.0f, 1e20f};
  for (int64_t n : {8, 16, 19, 35}) {
    std::vector<float> src(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) src[static_cast<size_t>(i)] = v[static_cast<size_t>(i) % v.size()];
    const Tensor t = tensorOf(src, DType::Float32, {n});
    const std::vector<double> i32 = test::values(t.to(DType::Int32));
    const std::vector<double> i8 = test::values(t.to(DType::Int8));
    const std::vector<double> i64 = test::values(t.to(DType::Int64));
    for (int64_t i = 0; i < n; ++i) {
      EXPECT_EQ(i32[static_cast<size_t>(i)], -2147483648.0) << i;
      EXPECT_EQ(i8[static_cast<size_t>(i)], 0.0) << i;
      const bool inInt64 = src[static_cast<size_t>(i)] == 3e9f || src[static_cast<size_t>(i)] == -3e9f ||
                           src[static_cast<size_t>(i)] == 2147483648.0f ||
                           src[static_cast<size_t>(i)] == -2147483904.0f;
      if (!inInt64) {
        EXPECT_EQ(i64[static_cast<size_t>(i)], -9223372036854775808.0) << i;
      }
    }
  }
}

// ---- copies -------------------------------------------------------------------

// Source layouts of odd shapes: transposed (tiled when both sides pass 64),
// flipped, stepped, permuted and broadcast.
std::vector<Tensor> oddLayouts(DType d, uint32_t seed) {
  std::vector<Tensor> out;
  out.push_back(randomBytes({131, 67}, d, seed).transpose(0, 1));
  out.push_back(randomBytes({70, 130}, d, seed + 1).transpose(0, 1));
  out.push_back(randomBytes({200, 5}, d, seed + 2).transpose(0, 1));
  out.push_back(randomBytes({67, 131}, d, seed + 3).flip({1}));
  out.push_back(randomBytes({67, 131}, d, seed + 4).flip({0, 1}));
  out.push_back(randomBytes({3, 5, 7}, d, seed + 5).flip({0, 2}));
  const Tensor wide = randomBytes({140, 150}, d, seed + 6);
  out.push_back(wide.asStrided({70, 75}, {wide.stride(0) * 2, wide.stride(1) * 2}, wide.elementSize()));
  out.push_back(randomBytes({7, 66, 67}, d, seed + 7).permute({2, 0, 1}));
  out.push_back(randomBytes({66, 3, 70}, d, seed + 8).permute({2, 1, 0}));
  out.push_back(randomBytes({67, 1}, d, seed + 9).expand({67, 131}));
  out.push_back(randomBytes({1, 131}, d, seed + 10).expand({67, 131}));
  out.push_back(randomBytes({131, 67}, d, seed + 11).transpose(0, 1).flip({0}));
  return out;
}

TEST_P(DataMovement, ClonesOfOddLayoutsHoldEveryElement) {
  for (DType d : kAllTypes) {
    for (const Tensor& src : oddLayouts(d, 10)) {
      SCOPED_TRACE(::testing::PrintToString(src.shape()) + " strides " + ::testing::PrintToString(src.strides()) +
                   " " + dtypeName(d));
      const Tensor c = src.clone();
      EXPECT_TRUE(c.isContiguous());
      expectSameElements(c, src);
      expectSameElements(src.contiguous(), src);
    }
  }
}

TEST_P(DataMovement, CopiesIntoTransposedFlippedAndBroadcastDestinations) {
  for (DType d : {DType::Int8, DType::Int16, DType::Float32, DType::Float64}) {
    SCOPED_TRACE(dtypeName(d));
    const Tensor src = randomBytes({67, 131}, d, 20);
    Tensor store = randomBytes({131, 67}, d, 21);
    Tensor dst = store.transpose(0, 1);
    dst.copy_(src);
    expectSameElements(dst, src);
    Tensor flipped = randomBytes({67, 131}, d, 22).flip({1});
    flipped.copy_(src.transpose(0, 1).transpose(0, 1));
    expectSameElements(flipped, src);
    // A column and a row, and a one-element source, broadcast over rows and columns.
    const Tensor column = randomBytes({67, 1}, d, 23);
    Tensor target = randomBytes({67, 131}, d, 24);
    target.copy_(column);
    expectSameElements(target, column.expand({67, 131}));
    const Tensor row = randomBytes({131}, d, 25);
    target.copy_(row);
    expectSameElements(target, row.reshape({1, 131}).expand({67, 131}));
    const Tensor one = randomBytes({}, d, 26);
    Tensor view = target.transpose(0, 1);
    view.copy_(one);
    expectSameElements(view, one.reshape({1, 1}).expand({131, 67}));
  }
}

TEST_P(DataMovement, OverlappingViewsCopyInRowMajorOrder) {
  // Element k takes element 9 - k in order, so the second half reads
  // elements the first half has already written.
  Tensor t = test::iota({10}, DType::Int32);
  t.copy_(t.flip({0}));
  EXPECT_EQ(test::values(t), (std::vector<double>{9, 8, 7, 6, 5, 5, 6, 7, 8, 9}));
  Tensor m = test::iota({3, 3}, DType::Float32);
  m.copy_(m.transpose(0, 1));
  EXPECT_EQ(test::values(m), (std::vector<double>{0, 3, 6, 3, 4, 7, 6, 7, 8}));
}

TEST_P(DataMovement, IndexSelectCopiesOneBlockPerPositionOnAnyLayout) {
  const std::vector<int64_t> positions = {5, 6, 7, 0, 0, 66, 3, 4, 65, 1};
  const Tensor idx = fromVector(positions);
  for (DType d : {DType::UInt8, DType::Int16, DType::Float32, DType::Int64}) {
    std::vector<Tensor> sources = {randomBytes({67, 3, 68}, d, 30), randomBytes({68, 67, 3}, d, 31).permute({1, 2, 0}),
                                   randomBytes({67, 3, 68}, d, 32).flip({0, 2})};
    for (const Tensor& src : sources) {
      for (int64_t dim = 0; dim < 3; ++dim) {
        if (dim == 1) continue;  // size 3: positions out of range
        SCOPED_TRACE(std::string(dtypeName(d)) + " dim " + std::to_string(dim));
        const Tensor out = src.index_select(dim, idx);
        ASSERT_TRUE(out.defined());
        Shape shape = src.shape();
        shape[static_cast<size_t>(dim)] = static_cast<int64_t>(positions.size());
        ASSERT_EQ(out.shape(), shape);
        forEachIndex(shape, [&](const Shape& at) {
          Shape from = at;
          from[static_cast<size_t>(dim)] = positions[static_cast<size_t>(at[static_cast<size_t>(dim)])];
          ASSERT_EQ(std::memcmp(addressOf(out, at), addressOf(src, from), static_cast<size_t>(src.elementSize())), 0);
        });
      }
    }
  }
}

// ---- argmax and argmin --------------------------------------------------------

// The sequential rule: strictly better replaces, so the first extreme wins; a
// NaN never replaces and a NaN first element stays.
template <typename T>
std::pair<T, int64_t> sequentialArg(const std::vector<T>& v, bool max) {
  T best = v[0];
  int64_t at = 0;
  for (size_t k = 1; k < v.size(); ++k) {
    if (max ? v[k] > best : v[k] < best) {
      best = v[k];
      at = static_cast<int64_t>(k);
    }
  }
  return {best, at};
}

// Rows of few distinct values (ties in many lanes), with NaN, signed zeros
// and infinities for the float types; rows are reduced along the last dim.
template <typename T>
void checkArgRows(DType d, int64_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  const int64_t rows = 6;
  std::vector<T> data(static_cast<size_t>(rows * n));
  for (auto& x : data) x = static_cast<T>(static_cast<int>(gen() % 5) - (std::is_signed_v<T> ? 2 : 0));
  if constexpr (std::is_floating_point_v<T>) {
    data[0] = NAN;                                                   // row 0: NaN first, stays
    data[static_cast<size_t>(n + n / 2)] = NAN;                      // row 1: NaN inside, ignored
    data[static_cast<size_t>(2 * n + n / 3)] = T(-0.0);              // row 2: signed zeros
    data[static_cast<size_t>(2 * n + n - 1)] = T(0.0);
    data[static_cast<size_t>(3 * n + n - 1)] = std::numeric_limits<T>::infinity();  // row 3: extreme last
    data[static_cast<size_t>(4 * n)] = -std::numeric_limits<T>::infinity();
  }
  // Row 5: every element equal: position 0.
  for (int64_t k = 0; k < n; ++k) data[static_cast<size_t>(5 * n + k)] = T(1);
  const Tensor t = tensorOf(data, d, {rows, n});
  for (bool max : {true, false}) {
    const auto [values, indices] = max ? t.max(1, false) : t.min(1, false);
    ASSERT_TRUE(indices.defined());
    const Tensor arg = max ? t.argmax(1, false) : indices;
    for (int64_t r = 0; r < rows; ++r) {
      const std::vector<T> row(data.begin() + r * n, data.begin() + (r + 1) * n);
      const auto [best, at] = sequentialArg(row, max);
      const int64_t got = static_cast<const int64_t*>(arg.data())[r];
      ASSERT_EQ(got, at) << dtypeName(d) << " n " << n << " row " << r << (max ? " max" : " min");
      ASSERT_EQ(std::memcmp(static_cast<const T*>(values.data()) + r, &best, sizeof(T)), 0) << n << " row " << r;
    }
  }
}

TEST_P(DataMovement, ArgExtremesFollowTheSequentialRuleOnEveryLength) {
  for (int64_t n = 1; n <= 300; n += (n < 80 ? 1 : 37)) {
    checkArgRows<float>(DType::Float32, n, static_cast<uint32_t>(n));
    checkArgRows<double>(DType::Float64, n, static_cast<uint32_t>(n) + 1);
    checkArgRows<int32_t>(DType::Int32, n, static_cast<uint32_t>(n) + 2);
    checkArgRows<int64_t>(DType::Int64, n, static_cast<uint32_t>(n) + 3);
    checkArgRows<int16_t>(DType::Int16, n, static_cast<uint32_t>(n) + 4);
    checkArgRows<int8_t>(DType::Int8, n, static_cast<uint32_t>(n) + 5);
    checkArgRows<uint8_t>(DType::UInt8, n, static_cast<uint32_t>(n) + 6);
  }
  // Lines longer than one block of lane counters (narrow types count steps
  // in their own width).
  checkArgRows<int8_t>(DType::Int8, 20000, 7);
  checkArgRows<uint8_t>(DType::UInt8, 20000, 8);
  checkArgRows<int16_t>(DType::Int16, 70000, 9);
  checkArgRows<float>(DType::Float32, 100000, 10);
}

TEST_P(DataMovement, ArgmaxTiesAcrossLanesTakeTheFirstPosition) {
  // The largest value appears once per vector lane, step and accumulator,
  // from a given first position on; NaN before it never counts.
  for (int64_t first : {1, 7, 15, 16, 31, 63, 64, 100, 255}) {
    std::vector<float> v(512, 1.0f);
    for (size_t k = static_cast<size_t>(first); k < v.size(); k += 3) v[k] = 5.0f;
    if (first >= 2) v[static_cast<size_t>(first) / 2] = NAN;
    const Tensor t = tensorOf(v, DType::Float32, {1, 512});
    EXPECT_EQ(t.argmax(1, false).item<int64_t>(), first) << first;
  }
  std::vector<float> nanFirst(300, 2.0f);
  nanFirst[0] = NAN;
  nanFirst[150] = 9.0f;
  const auto [value, index] = tensorOf(nanFirst, DType::Float32, {300}).max(0, false);
  EXPECT_TRUE(std::isnan(value.item<float>()));
  EXPECT_EQ(index.item<int64_t>(), 0);
}

}  // namespace
}  // namespace kestrane::halvex
