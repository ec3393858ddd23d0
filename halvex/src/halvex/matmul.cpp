// Matrix product of a tensor of rank >= 1 with a matrix or a vector.
#include "core/log.h"
#include "halvex/kernels_matmul.h"
#include "halvex/ops_util.h"
#include "halvex/tensor.h"

namespace kestrane::halvex {

Tensor Tensor::matmul(Tensor other) const {
  const DType d = promoteTypes(dtype_, other.dtype()).value_or(DType::Undefined);
  const Tensor a = to(d);
  const Tensor b = other.to(d);
  if (!a.defined() || !b.defined()) {
    KLOG_ERROR("matmul: an operand is undefined.");
    return {};
  }
  if (b.ndim() != 1 && b.ndim() != 2) {
    KLOG_ERROR("The number of rhs dimension for matmul should be 1 or 2.");
    return {};
  }
  if (a.ndim() == 0) {
    KLOG_ERROR("Unmatched shape, {} vs. {}", "none", b.size(0));
    return {};
  }
  const int64_t k = a.shape().back();
  if (k != b.size(0)) {
    KLOG_ERROR("Unmatched shape, {} vs. {}", k, b.size(0));
    return {};
  }
  const int64_t n = b.ndim() == 2 ? b.size(1) : 1;
  std::vector<int64_t> shape = a.shape();
  shape.pop_back();
  if (b.ndim() == 2) shape.push_back(n);
  const int64_t m = detail::sizeProduct(a.shape(), 0, a.shape().size() - 1);
  Tensor out = detail::newTensor(shape, d);
  if (!out.defined()) return {};
  if (d != DType::Float32 && d != DType::Float64) {
    KLOG_ERROR("Matmul of integral types are not implemented yet.");
    return {};
  }
  if (out.numel() == 0) return out;  // the row count of an empty result may not even fit
  // The kernels read dense row-major blocks: operands are taken in their
  // logical layout, whatever their strides.
  const Tensor ad = detail::rowMajor(a);
  const Tensor bd = detail::rowMajor(b);
  if (d == DType::Float32) {
    kernels::matmulF32(reinterpret_cast<const float*>(ad.basePtr()), reinterpret_cast<const float*>(bd.basePtr()),
                       reinterpret_cast<float*>(out.basePtr()), m, n, k);
  } else {
    kernels::matmulF64(reinterpret_cast<const double*>(ad.basePtr()), reinterpret_cast<const double*>(bd.basePtr()),
                       reinterpret_cast<double*>(out.basePtr()), m, n, k);
  }
  return out;
}

}  // namespace kestrane::halvex
