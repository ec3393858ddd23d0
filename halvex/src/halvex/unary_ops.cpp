// The unary driver and the unary operations.
#include <array>
#include <initializer_list>

#include "core/log.h"
#include "halvex/kernels_elementwise.h"
#include "halvex/ops_util.h"
#include "halvex/strided_loop.h"
#include "halvex/tensor.h"

namespace kestrane::halvex {
namespace {

using detail::kAll;
using detail::kFloats;
using detail::kNumeric;

using kernels::unaryKernel;

// A table with F's kernel for every listed dtype (bool reads its byte as uint8).
template <typename F>
UnaryOpTable makeTable(const char* name, std::initializer_list<DType> dtypes) {
  UnaryOpTable t;
  t.name = name;
  for (DType d : dtypes) {
    t.kernels[static_cast<uint8_t>(d)] =
        visitDType(d, [](auto c) { return unaryKernel<StorageType<decltype(c)::value>, F>(); });
  }
  return t;
}

}  // namespace

namespace optables {
#define HALVEX_UNARY_TABLE(fn, name, Op, dtypes)           \
  const UnaryOpTable& fn() {                               \
    static const UnaryOpTable table = makeTable<kernels::Op>(name, dtypes); \
    return table;                                          \
  }
HALVEX_UNARY_TABLE(abs, "abs", AbsOp, kNumeric)
HALVEX_UNARY_TABLE(erf, "erf", ErfOp, kAll)
HALVEX_UNARY_TABLE(exp, "exp", ExpOp, kAll)
HALVEX_UNARY_TABLE(hardswish, "hardswish", HardswishOp, kFloats)
HALVEX_UNARY_TABLE(log, "log", LogOp, kAll)
HALVEX_UNARY_TABLE(logicalNot, "logical_not", LogicalNotOp, kAll)
HALVEX_UNARY_TABLE(negate, "negate", NegateOp, kNumeric)
HALVEX_UNARY_TABLE(reciprocal, "reciprocal", ReciprocalOp, kAll)
HALVEX_UNARY_TABLE(sigmoid, "sigmoid", SigmoidOp, kAll)
HALVEX_UNARY_TABLE(sqrt, "sqrt", SqrtOp, kAll)
HALVEX_UNARY_TABLE(square, "square", SquareOp, kNumeric)
HALVEX_UNARY_TABLE(tanh, "tanh", TanhOp, kAll)
#undef HALVEX_UNARY_TABLE
}  // namespace optables

Tensor Tensor::unaryOp(const UnaryOpTable& table, OptionalDType dtype, bool toBool) const {
  const OptionalDType promoted = toBool ? OptionalDType(DType::Bool) : promoteTypes(dtype_, dtype);
  const UnaryKernel kernel = table.kernel(static_cast<uint8_t>(dtype_));
  if (kernel == nullptr) {
    KLOG_ERROR("Operator \"{}\" is not implemented for the dtype \"{}\".", table.name, dtypeName(dtype_));
    return {};
  }
  const Tensor in = detail::kernelReady(*this);
  Tensor out = detail::newTensor(shape_, promoted);
  if (!out.defined() || (out.data() == nullptr && out.numel() > 0)) return {};
  const int64_t inSize = in.elementSize();
  const int64_t outSize = out.elementSize();
  if (in.isDense()) {
    // Flat walk in address order; the result keeps the input's dimension
    // order in memory.
    std::vector<int64_t> strides(in.strides().size());
    for (size_t d = 0; d < strides.size(); ++d) strides[d] = in.strides()[d] / inSize * outSize;
    Tensor result = out.asStrided(shape_, std::move(strides), 0);
    kernel(result.basePtr(), in.basePtr(), in.numel(), 1, 1);
    return result;
  }
  StridedLoop<2> loop{shape_, {out.strides(), in.strides()}};
  loop.run({out.basePtr(), detail::firstElement(in)},
           [&](const std::array<char*, 2>& p, int64_t n, const std::array<int64_t, 2>& step) {
             kernel(p[0], p[1], n, step[0] / outSize, step[1] / inSize);
           },
           true);
  return out;
}

Tensor Tensor::abs() const {
  if (dtype_ == DType::Bool) {
    KLOG_ERROR("Operator \"abs\" is not implemented for dtype \"bool\".");
    return {};
  }
  return unaryOp(optables::abs(), std::nullopt, false);
}

Tensor Tensor::erf() const { return unaryOp(optables::erf(), DType::Float32, false); }
Tensor Tensor::exp() const { return unaryOp(optables::exp(), DType::Float32, false); }
Tensor Tensor::hardswish() const { return unaryOp(optables::hardswish(), DType::Float32, false); }
Tensor Tensor::log() const { return unaryOp(optables::log(), DType::Float32, false); }
Tensor Tensor::sigmoid() const { return unaryOp(optables::sigmoid(), DType::Float32, false); }
Tensor Tensor::sqrt() const { return unaryOp(optables::sqrt(), DType::Float32, false); }
Tensor Tensor::tanh() const { return unaryOp(optables::tanh(), DType::Float32, false); }
Tensor Tensor::logical_not() const { return unaryOp(optables::logicalNot(), std::nullopt, true); }

Tensor Tensor::square() const {
  if (dtype_ == DType::Bool) return to(DType::Int64).unaryOp(optables::square(), std::nullopt, false);
  return unaryOp(optables::square(), std::nullopt, false);
}

}  // namespace kestrane::halvex
