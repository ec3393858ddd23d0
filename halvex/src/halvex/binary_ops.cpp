// The binary driver and the binary operations.
#include <algorithm>
#include <array>
#include <initializer_list>
#include <vector>

#include "core/log.h"
#include "halvex/free_functions.h"
#include "halvex/iteration.h"
#include "halvex/kernels_elementwise.h"
#include "halvex/kernels_transpose.h"
#include "halvex/ops_util.h"
#include "halvex/strided_loop.h"
#include "halvex/tensor.h"

namespace kestrane::halvex {
namespace {

using detail::kAll;
using detail::kFloats;
using detail::kNumeric;

using kernels::binaryKernel;

template <typename F>
void fill(BinaryOpTable& t, std::initializer_list<DType> dtypes) {
  for (DType d : dtypes) {
    t.kernels[static_cast<uint8_t>(d)] =
        visitDType(d, [](auto c) { return binaryKernel<StorageType<decltype(c)::value>, F>(); });
  }
}

template <typename F>
BinaryOpTable makeTable(const char* name, std::initializer_list<DType> dtypes) {
  BinaryOpTable t;
  t.name = name;
  fill<F>(t, dtypes);
  return t;
}

// A table whose bool entry has its own rule.
template <typename F, typename BoolF>
BinaryOpTable makeTableWithBool(const char* name, std::initializer_list<DType> dtypes) {
  BinaryOpTable t = makeTable<F>(name, dtypes);
  t.kernels[static_cast<uint8_t>(DType::Bool)] = binaryKernel<uint8_t, BoolF>();
  return t;
}

// The 0-d right operand of a double scalar: float32 unless this tensor is floating.
Tensor doubleScalar(double value, DType self) {
  return scalarTensor(value, isFloating(self) ? OptionalDType(self) : OptionalDType(DType::Float32));
}

// Both operands of 4-byte elements transposed against the row-major 4-byte
// result in the last two dimensions (their row index is the contiguous one):
// each kTile x kTile tile is computed column by column on contiguous runs in
// the operands' layout, then transposed in registers into the result. False
// (nothing done) for any other layout.
bool runTransposed(const std::vector<int64_t>& shape, char* out, const std::vector<int64_t>& outStrides,
                   int64_t outSize, const std::array<char*, 2>& in, const std::array<std::vector<int64_t>, 2>& inStrides,
                   int64_t inSize, BinaryKernel kernel) {
  constexpr int64_t kTile = 64;
  const size_t n = shape.size();
  if (inSize != 4 || outSize != 4 || n < 2 || shape[n - 2] < 16 || shape[n - 1] < 8 ||
      outStrides[n - 1] != outSize) {
    return false;
  }
  for (const auto& st : inStrides) {
    if (st[n - 2] != inSize || st[n - 1] == 0 || st[n - 1] % inSize != 0) return false;
  }
  const int64_t rows = shape[n - 2], cols = shape[n - 1];
  const int64_t outRow = outStrides[n - 2];
  const std::array<int64_t, 2> ld = {inStrides[0][n - 1] / inSize, inStrides[1][n - 1] / inSize};
  const kernels::TransposeFn transpose = kernels::transposeKernel(4);
  std::vector<uint32_t> scratch(static_cast<size_t>(kTile * kTile));
  char* tile = reinterpret_cast<char*>(scratch.data());
  auto slice = [&](char* o, const char* x, const char* y) {
    for (int64_t j0 = 0; j0 < cols; j0 += kTile) {
      const int64_t w = std::min(kTile, cols - j0);
      for (int64_t i0 = 0; i0 < rows; i0 += kTile) {
        const int64_t h = std::min(kTile, rows - i0);
        // Column j of the tile: h contiguous elements of each operand.
        for (int64_t j = 0; j < w; ++j) {
          kernel(tile + j * kTile * 4, x + ((j0 + j) * ld[0] + i0) * inSize, y + ((j0 + j) * ld[1] + i0) * inSize, h, 1,
                 1, 1);
        }
        transpose(o + i0 * outRow + j0 * outSize, outRow, tile, kTile * 4, h, w);
      }
    }
  };
  const std::vector<int64_t> lead(shape.begin(), shape.end() - 2);
  StridedLoop<3> loop{lead,
                      {std::vector<int64_t>(outStrides.begin(), outStrides.end() - 2),
                       std::vector<int64_t>(inStrides[0].begin(), inStrides[0].end() - 2),
                       std::vector<int64_t>(inStrides[1].begin(), inStrides[1].end() - 2)}};
  loop.run({out, in[0], in[1]}, [&](const std::array<char*, 3>& p, int64_t count, const std::array<int64_t, 3>& step) {
    for (int64_t e = 0; e < count; ++e) slice(p[0] + e * step[0], p[1] + e * step[1], p[2] + e * step[2]);
  });
  return true;
}

}  // namespace

namespace optables {
#define HALVEX_BINARY_TABLE(fn, expr)             \
  const BinaryOpTable& fn() {                     \
    static const BinaryOpTable table = expr;      \
    return table;                                 \
  }
using namespace kernels;  // NOLINT: the op functors
HALVEX_BINARY_TABLE(add, (makeTableWithBool<AddOp, BoolAddOp>("+", kNumeric)))
HALVEX_BINARY_TABLE(sub, makeTable<SubOp>("-", kNumeric))
HALVEX_BINARY_TABLE(mul, (makeTableWithBool<MulOp, BoolMulOp>("*", kNumeric)))
// Integer division is never selected (the methods request float32), so only
// the floating entries exist: no integer division by zero can be reached.
HALVEX_BINARY_TABLE(div, makeTable<DivOp>("/", kFloats))
HALVEX_BINARY_TABLE(less, makeTable<LessOp>("<", kAll))
HALVEX_BINARY_TABLE(greater, makeTable<GreaterOp>(">", kAll))
HALVEX_BINARY_TABLE(lessEqual, makeTable<LessEqualOp>("<=", kAll))
HALVEX_BINARY_TABLE(greaterEqual, makeTable<GreaterEqualOp>(">=", kAll))
HALVEX_BINARY_TABLE(equal, makeTable<EqualOp>("==", kAll))
HALVEX_BINARY_TABLE(notEqual, makeTable<NotEqualOp>("!=", kAll))
HALVEX_BINARY_TABLE(logicalAnd, makeTable<LogicalAndOp>("logical_and", kAll))
HALVEX_BINARY_TABLE(logicalOr, makeTable<LogicalOrOp>("logical_or", kAll))
HALVEX_BINARY_TABLE(logicalXor, (makeTableWithBool<LogicalXorOp, BoolXorOp>("logical_xor", kNumeric)))
HALVEX_BINARY_TABLE(maximum, makeTable<MaximumOp>("maximum", kAll))
HALVEX_BINARY_TABLE(clampMin, makeTable<MaximumOp>("clamp_min", kNumeric))
HALVEX_BINARY_TABLE(clampMax, makeTable<ClampMaxOp>("clamp_max", kNumeric))
// As for "/": the methods compute these in a floating type.
HALVEX_BINARY_TABLE(fmod, makeTable<FmodOp>("fmod", kFloats))
HALVEX_BINARY_TABLE(remainder, makeTable<RemainderOp>("remainder", kFloats))
HALVEX_BINARY_TABLE(pow, makeTable<PowOp>("pow", kNumeric))
#undef HALVEX_BINARY_TABLE
}  // namespace optables

Tensor Tensor::binaryOp(const Tensor& other, const BinaryOpTable& table, OptionalDType dtype, bool toBool) const {
  const OptionalDType computing = promoteTypes(promoteTypes(dtype_, other.dtype()), dtype);
  const DType d = computing.value_or(DType::Undefined);
  const BinaryKernel kernel = table.kernel(static_cast<uint8_t>(d));
  if (kernel == nullptr) {
    KLOG_ERROR("Operator \"{}\" is not implemented for the dtype \"{}\".", table.name, dtypeName(d));
    return {};
  }
  const Tensor a = detail::kernelReady(to(d));
  const Tensor b = detail::kernelReady(other.to(d));
  if (!a.defined() || !b.defined()) return {};

  std::vector<int64_t> outShape;
  if (b.numel() == 1) {
    outShape = a.shape();
  } else if (a.numel() == 1) {
    outShape = b.shape();
  } else {
    std::vector<int64_t> sa = a.shape(), sb = b.shape();
    while (sa.size() < sb.size()) sa.insert(sa.begin(), 1);
    while (sb.size() < sa.size()) sb.insert(sb.begin(), 1);
    std::vector<int64_t> ra, rb;
    if (!computeBroadcastRatios(sa, sb, ra, rb, outShape)) {
      KLOG_ERROR("Cannot broadcast");
      return {};
    }
  }
  Tensor out = detail::newTensor(outShape, toBool ? DType::Bool : d);
  if (!out.defined()) return {};

  // Same shapes, both row-major: one flat run.
  if (a.shape() == b.shape() && a.isContiguous() && b.isContiguous()) {
    kernel(out.basePtr(), a.basePtr(), b.basePtr(), out.numel(), 1, 1, 1);
    return out;
  }
  // A one-element operand is read as a single repeated element whatever its
  // rank; otherwise both are broadcast against the result shape.
  auto operandStrides = [&](const Tensor& t) {
    return t.numel() == 1 ? std::vector<int64_t>(outShape.size(), 0) : detail::broadcastStrides(t, outShape);
  };
  const int64_t os = out.elementSize(), es = a.elementSize();
  if (runTransposed(outShape, out.basePtr(), out.strides(), os, {detail::firstElement(a), detail::firstElement(b)},
                    {operandStrides(a), operandStrides(b)}, es, kernel)) {
    return out;
  }
  StridedLoop<3> loop{outShape, {out.strides(), operandStrides(a), operandStrides(b)}};
  loop.run({out.basePtr(), detail::firstElement(a), detail::firstElement(b)},
           [&](const std::array<char*, 3>& p, int64_t n, const std::array<int64_t, 3>& step) {
             kernel(p[0], p[1], p[2], n, step[0] / os, step[1] / es, step[2] / es);
           },
           true);
  return out;
}

Tensor Tensor::operator+(const Tensor& other) const { return binaryOp(other, optables::add(), std::nullopt, false); }
Tensor Tensor::operator+(int other) const { return *this + scalarTensor(other, dtype_); }
Tensor Tensor::operator+(double other) const { return *this + doubleScalar(other, dtype_); }
Tensor Tensor::operator-(const Tensor& other) const { return binaryOp(other, optables::sub(), std::nullopt, false); }
Tensor Tensor::operator*(const Tensor& other) const { return binaryOp(other, optables::mul(), std::nullopt, false); }
Tensor Tensor::operator*(double other) const { return *this * doubleScalar(other, dtype_); }
Tensor Tensor::operator/(const Tensor& other) const { return binaryOp(other, optables::div(), DType::Float32, false); }
Tensor Tensor::operator/(int other) const { return *this / scalarTensor(other, dtype_); }
Tensor Tensor::operator<(const Tensor& other) const { return binaryOp(other, optables::less(), std::nullopt, true); }
Tensor Tensor::operator<(int other) const { return *this < scalarTensor(other, dtype_); }
Tensor Tensor::operator<(double other) const { return *this < doubleScalar(other, dtype_); }
Tensor Tensor::operator>(const Tensor& other) const { return binaryOp(other, optables::greater(), std::nullopt, true); }
Tensor Tensor::operator>(double other) const { return *this > doubleScalar(other, dtype_); }
Tensor Tensor::operator==(const Tensor& other) const { return binaryOp(other, optables::equal(), std::nullopt, true); }
Tensor Tensor::logical_and(const Tensor& other) const {
  return binaryOp(other, optables::logicalAnd(), std::nullopt, true);
}
Tensor Tensor::logical_or(const Tensor& other) const {
  return binaryOp(other, optables::logicalOr(), std::nullopt, true);
}
Tensor Tensor::logical_xor(const Tensor& other) const {
  return binaryOp(other, optables::logicalXor(), std::nullopt, true);
}
Tensor Tensor::maximum(const Tensor& other) const {
  return binaryOp(other, optables::maximum(), std::nullopt, false);
}
Tensor Tensor::clamp_min(double min) const {
  return binaryOp(doubleScalar(min, dtype_), optables::clampMin(), std::nullopt, false);
}
Tensor Tensor::clamp_max(double max) const {
  return binaryOp(doubleScalar(max, dtype_), optables::clampMax(), std::nullopt, false);
}
Tensor Tensor::fmod(const Tensor& other) const { return binaryOp(other, optables::fmod(), DType::Float32, false); }
Tensor Tensor::remainder(const Tensor& other) const {
  return binaryOp(other, optables::remainder(), DType::Float32, false);
}

Tensor Tensor::pow(const Tensor& exponent) const {
  if (exponent.dtype() == DType::Bool) {
    KLOG_ERROR("Operator \"pow\" is not implemented for the dtype \"bool\".");
    return {};
  }
  if (dtype_ == DType::Bool) return to(DType::Int64).binaryOp(exponent, optables::pow(), std::nullopt, false);
  return binaryOp(exponent, optables::pow(), std::nullopt, false);
}

}  // namespace kestrane::halvex
