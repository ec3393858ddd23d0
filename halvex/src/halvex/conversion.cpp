#include "core/log.h"
#include "halvex/convert.h"
#include "halvex/free_functions.h"
#include "halvex/iteration.h"
#include "halvex/kernels_convert.h"
#include "halvex/ops_util.h"

namespace kestrane::halvex {

namespace {

// The conversion kernel of one (source, target) pair: reads the source in
// row-major order whatever its layout, writes a dense result. Contiguous
// stretches go through the pair's vector kernel, others element by element.
template <DType S, DType D>
Tensor convertKernel(const Tensor& src) {
  using In = StorageType<S>;
  using Out = StorageType<D>;
  Tensor out = detail::newTensor(src.shape(), D);
  if (!out.defined()) return {};
  const kernels::ConvertRunFn run = kernels::convertRunKernel<S, D>();
  Tensor::IterImpl<const char> in(src, true);
  char* dst = out.basePtr();
  forEachStretch(
      src.numel(),
      [&](int64_t n) {
        const char* p = in.current();
        const int64_t step = in.step();
        if (step == static_cast<int64_t>(sizeof(In))) {
          run(dst, p, n);
          dst += n * static_cast<int64_t>(sizeof(Out));
          return;
        }
        for (int64_t i = 0; i < n; ++i, p += step, dst += sizeof(Out)) {
          storeAs<Out>(dst, convertValue<S, D>(loadAs<In>(p)));
        }
      },
      in);
  return out;
}

}  // namespace

Tensor Tensor::to(OptionalDType dtype) const {
  if (!dtype || *dtype == dtype_) return *this;
  if (!defined() || !isValidDType(*dtype)) {
    KLOG_ERROR("to: can't convert from \"{}\" to \"{}\".", dtypeName(dtype_), dtypeName(*dtype));
    return {};
  }
  return visitDType(dtype_, [&](auto src) {
    return visitDType(*dtype, [&](auto dst) { return convertKernel<decltype(src)::value, decltype(dst)::value>(*this); });
  });
}

std::vector<double> toDoubleVector(const Tensor& tensor) {
  Tensor t = tensor.to(DType::Float64);
  if (!t.defined()) return {};
  t = t.contiguous();
  if (!t.defined()) return {};
  std::vector<double> out(static_cast<size_t>(t.numel()));
  if (!out.empty()) std::memcpy(out.data(), t.basePtr(), out.size() * sizeof(double));
  return out;
}

}  // namespace kestrane::halvex
