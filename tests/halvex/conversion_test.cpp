#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "halvex/free_functions.h"
#include "support/log_capture.h"
#include "tensor_test_util.h"

using namespace kestrane::halvex;
using kestrane::halvex::test::iota;
using kestrane::halvex::test::values;
using kestrane::test::LogCapture;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

template <typename T>
Tensor makeTensor(const std::vector<T>& v, DType dtype) {
  TensorData t({static_cast<int64_t>(v.size())}, dtype);
  if (!v.empty()) std::memcpy(t.data(), v.data(), v.size() * sizeof(T));
  return std::move(t);
}

// A source element: its float value for the float types, integer value otherwise.
struct Source {
  double f = 0;
  int64_t i = 0;
};

int bitsOf(DType d) { return elementSize(d) * 8; }
bool isSigned(DType d) { return d != DType::UInt8 && d != DType::Bool; }

// Two's-complement low bits of v read as a value of the integer type d.
double wrapTo(int64_t v, DType d) {
  int bits = bitsOf(d);
  if (bits == 64) return static_cast<double>(v);
  uint64_t u = static_cast<uint64_t>(v) & ((uint64_t{1} << bits) - 1);
  if (isSigned(d) && u >= (uint64_t{1} << (bits - 1))) return static_cast<double>(u) - std::ldexp(1.0, bits);
  return static_cast<double>(u);
}

// The expected target value, spelled out per rule of the conversion table.
double expected(const Source& s, DType from, DType to) {
  bool floatSource = isFloating(from);
  if (to == DType::Bool) return (floatSource ? s.f != 0 : s.i != 0) ? 1 : 0;
  if (from == DType::Bool) return s.i != 0 ? 1 : 0;
  if (!floatSource) {
    if (to == DType::Float32) return static_cast<double>(static_cast<float>(static_cast<double>(s.i)));
    if (to == DType::Float64) return static_cast<double>(s.i);
    return wrapTo(s.i, to);
  }
  if (to == DType::Float32) return static_cast<double>(static_cast<float>(s.f));
  if (to == DType::Float64) return s.f;
  double t = std::trunc(s.f);
  if (to == DType::Int64) {
    bool inRange = std::isfinite(t) && t >= -std::ldexp(1.0, 63) && t < std::ldexp(1.0, 63);
    return inRange ? t : -std::ldexp(1.0, 63);
  }
  bool inRange = std::isfinite(t) && t >= -2147483648.0 && t <= 2147483647.0;
  return wrapTo(inRange ? static_cast<int64_t>(t) : INT32_MIN, to);
}

std::vector<Source> sourcesFor(DType d) {
  std::vector<Source> out;
  auto ints = [&](std::vector<int64_t> v) {
    for (int64_t x : v) out.push_back({0, x});
  };
  switch (d) {
    case DType::UInt8: ints({0, 1, 127, 128, 200, 255}); break;
    case DType::Int8: ints({0, 1, -1, -56, 127, -128}); break;
    case DType::Int16: ints({0, 300, -1, 32767, -32768, 255}); break;
    case DType::Int32: ints({0, -1, 16777217, INT32_MAX, INT32_MIN, 65536 + 300}); break;
    case DType::Int64: ints({0, -1, 4294967297, 16777217, INT64_MAX, INT64_MIN, (int64_t{1} << 53) + 1}); break;
    case DType::Bool: ints({0, 1}); break;
    default: {
      std::vector<double> fs = {0.0,  -0.0,  kNaN,         kInf,          -kInf,         2147483648.0, 255.5,
                                -1.5, 2.9,   -2.9,         300.7,         -0.9,          256.0,        -1.0,
                                1e20, -1e20, 2147483647.0, -2147483648.0, -2147483904.0, 9.3e18,       -9.3e18};
      if (d == DType::Float64) fs.insert(fs.end(), {16777217.0, 1e300, 2147483647.9, -2147483648.9});
      for (double f : fs) out.push_back({d == DType::Float32 ? static_cast<double>(static_cast<float>(f)) : f, 0});
    }
  }
  return out;
}

Tensor sourceTensor(const std::vector<Source>& src, DType d) {
  return visitDType(d, [&](auto tag) {
    using T = StorageType<decltype(tag)::value>;
    std::vector<T> v;
    for (const Source& s : src) v.push_back(isFloating(d) ? static_cast<T>(s.f) : static_cast<T>(s.i));
    return makeTensor(v, d);
  });
}

bool sameValue(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

const DType kAll[] = {DType::UInt8, DType::Int8,    DType::Int16,   DType::Int32,
                      DType::Int64, DType::Float32, DType::Float64, DType::Bool};

}  // namespace

TEST(Conversion, FullTableOnHardValues) {
  for (DType from : kAll) {
    std::vector<Source> src = sourcesFor(from);
    Tensor t = sourceTensor(src, from);
    for (DType to : kAll) {
      if (from == to) continue;
      Tensor r = t.to(to);
      ASSERT_EQ(r.dtype(), to);
      std::vector<double> got = values(r);
      ASSERT_EQ(got.size(), src.size());
      for (size_t k = 0; k < src.size(); ++k) {
        double want = expected(src[k], from, to);
        EXPECT_TRUE(sameValue(got[k], want)) << dtypeName(from) << " -> " << dtypeName(to) << " of "
                                             << (isFloating(from) ? src[k].f : static_cast<double>(src[k].i))
                                             << ": got " << got[k] << ", want " << want;
      }
    }
  }
}

TEST(Conversion, ExamplesOfTheRules) {
  auto conv = [](std::vector<double> v, DType from, DType to) {
    return values(makeTensor(v, DType::Float64).to(from).to(to));
  };
  EXPECT_EQ(conv({2.9, -2.9, 255.5, 256.0, -1.0}, DType::Float32, DType::UInt8),
            (std::vector<double>{2, 254, 255, 0, 255}));
  EXPECT_EQ(conv({kNaN}, DType::Float32, DType::Int8), std::vector<double>{0});
  EXPECT_EQ(conv({kNaN}, DType::Float32, DType::Int32), std::vector<double>{INT32_MIN});
  EXPECT_EQ(conv({kNaN, -0.0}, DType::Float32, DType::Bool), (std::vector<double>{1, 0}));
  EXPECT_EQ(makeTensor(std::vector<float>{NAN}, DType::Float32).to(DType::Int64).item<int64_t>(), INT64_MIN);
  EXPECT_EQ(fromVector(std::vector<int64_t>{16777217}).to(DType::Float32).item<float>(), 16777216.0f);
  EXPECT_EQ(values(fromVector(std::vector<int32_t>{200}, DType::UInt8).to(DType::Int8)), std::vector<double>{-56});
  EXPECT_EQ(values(fromVector(std::vector<int32_t>{300}, DType::Int16).to(DType::Int8)), std::vector<double>{44});
  EXPECT_EQ(conv({300.7, -1.5, -0.9}, DType::Float64, DType::Int8), (std::vector<double>{44, -1, 0}));
}

TEST(Conversion, SameOrUnsetTypeIsAShallowCopyAndUndefinedIsRefused) {
  Tensor t = iota({2, 2}, DType::Int32);
  EXPECT_EQ(t.to(DType::Int32).data(), t.data());
  EXPECT_EQ(t.to(std::nullopt).data(), t.data());
  EXPECT_EQ(toDoubleVector(t.transpose(0, 1)), (std::vector<double>{0, 2, 1, 3}));
  LogCapture log;
  EXPECT_FALSE(t.to(DType::Undefined).defined());
  EXPECT_EQ(log.lines().size(), 1u);
}
