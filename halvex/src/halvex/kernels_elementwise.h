#pragma once

// Element-wise kernels: one functor per operation (the value rule for one
// element) and the run loops that apply a functor to a strided run of
// elements. A run kernel handles n elements whose distances are given in
// elements; distance 0 repeats one element (a broadcast operand).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "halvex/kernels_common.h"
#include "halvex/kernels_exp.h"
#include "halvex/op_table.h"

namespace kestrane::halvex::kernels {

// ---- unary value rules -----------------------------------------------------

struct AbsOp {
  template <typename T>
  static HALVEX_INLINE T apply(T x) {
    if constexpr (std::is_floating_point_v<T>) {
      return std::fabs(x);
    } else if constexpr (std::is_signed_v<T>) {
      return x < 0 ? wrapNeg(x) : x;  // the most negative value stays itself
    } else {
      return x;
    }
  }
};

// e^x: float32 through the run-friendly expF32 (same bits on every path),
// float64 through the C library.
HALVEX_INLINE float expOf(float x) { return expF32(x); }
HALVEX_INLINE double expOf(double x) { return std::exp(x); }

struct ExpOp {
  template <typename T>
  static HALVEX_INLINE FloatOf<T> apply(T in) { return expOf(static_cast<FloatOf<T>>(in)); }
};

#define HALVEX_FLOAT_UNARY(Name, expr)                          \
  struct Name {                                                 \
    template <typename T>                                       \
    static HALVEX_INLINE FloatOf<T> apply(T in) {               \
      using F = FloatOf<T>;                                     \
      const F x = static_cast<F>(in);                           \
      return expr;                                              \
    }                                                           \
  };
HALVEX_FLOAT_UNARY(ErfOp, std::erf(x))
HALVEX_FLOAT_UNARY(LogOp, std::log(x))
HALVEX_FLOAT_UNARY(SqrtOp, std::sqrt(x))
HALVEX_FLOAT_UNARY(TanhOp, std::tanh(x))
HALVEX_FLOAT_UNARY(SigmoidOp, F(1) / (expOf(-x) + F(1)))
HALVEX_FLOAT_UNARY(ReciprocalOp, F(1) / x)
// min(max(x + 3, 0), 6) * x / 6; the argument order keeps a NaN input NaN.
HALVEX_FLOAT_UNARY(HardswishOp, (std::min(std::max(x + F(3), F(0)), F(6)) * x) / F(6))
#undef HALVEX_FLOAT_UNARY

struct LogicalNotOp {
  template <typename T>
  static HALVEX_INLINE uint8_t apply(T x) { return x == T(0) ? 1 : 0; }
};

struct NegateOp {
  template <typename T>
  static HALVEX_INLINE T apply(T x) { return wrapNeg(x); }
};

struct SquareOp {
  template <typename T>
  static HALVEX_INLINE T apply(T x) { return wrapMul(x, x); }
};

// ---- binary value rules ----------------------------------------------------

struct AddOp {
  template <typename T>
  static HALVEX_INLINE T apply(T a, T b) { return wrapAdd(a, b); }
};
// Bool + is a logical or, bool * a logical and.
struct BoolAddOp {
  static HALVEX_INLINE uint8_t apply(uint8_t a, uint8_t b) { return (a | b) != 0; }
};
struct SubOp {
  template <typename T>
  static HALVEX_INLINE T apply(T a, T b) { return wrapSub(a, b); }
};
struct MulOp {
  template <typename T>
  static HALVEX_INLINE T apply(T a, T b) { return wrapMul(a, b); }
};
struct BoolMulOp {
  static HALVEX_INLINE uint8_t apply(uint8_t a, uint8_t b) { return (a != 0) & (b != 0); }
};
struct DivOp {
  template <typename T>
  static HALVEX_INLINE T apply(T a, T b) { return a / b; }
};

#define HALVEX_COMPARE(Name, op)                                                    \
  struct Name {                                                                     \
    template <typename T>                                                           \
    static HALVEX_INLINE uint8_t apply(T a, T b) { return (a op b) ? 1 : 0; }       \
  };
HALVEX_COMPARE(LessOp, <)
HALVEX_COMPARE(GreaterOp, >)
HALVEX_COMPARE(LessEqualOp, <=)
HALVEX_COMPARE(GreaterEqualOp, >=)
HALVEX_COMPARE(EqualOp, ==)
HALVEX_COMPARE(NotEqualOp, !=)
#undef HALVEX_COMPARE

// A floating value is true when it is not equal to 0.0: NaN is true, -0.0 false.
struct LogicalAndOp {
  template <typename T>
  static HALVEX_INLINE uint8_t apply(T a, T b) { return (a != T(0)) & (b != T(0)); }
};
struct LogicalOrOp {
  template <typename T>
  static HALVEX_INLINE uint8_t apply(T a, T b) { return (a != T(0)) | (b != T(0)); }
};
struct LogicalXorOp {
  template <typename T>
  static HALVEX_INLINE uint8_t apply(T a, T b) { return (a != T(0)) ^ (b != T(0)); }
};
struct BoolXorOp {
  static HALVEX_INLINE uint8_t apply(uint8_t a, uint8_t b) { return a ^ b; }
};

// b is taken only when strictly greater: a NaN in a stays, a NaN in b is ignored.
struct MaximumOp {
  template <typename T>
  static HALVEX_INLINE T apply(T a, T b) { return b > a ? b : a; }
};
struct ClampMaxOp {
  template <typename T>
  static HALVEX_INLINE T apply(T a, T b) { return b < a ? b : a; }
};

struct FmodOp {
  template <typename T>
  static HALVEX_INLINE T apply(T a, T b) { return std::fmod(a, b); }
};
// Floored remainder: the sign of the divisor.
struct RemainderOp {
  template <typename T>
  static HALVEX_INLINE T apply(T a, T b) {
    const T r = std::fmod(a, b);
    return ((r > 0 && b < 0) || (r < 0 && b > 0)) ? r + b : r;
  }
};
struct PowOp {
  template <typename T>
  static HALVEX_INLINE T apply(T base, T exponent) {
    if constexpr (std::is_floating_point_v<T>) {
      return std::pow(base, exponent);
    } else {
      // Repeated squaring; a negative exponent runs as its absolute value
      // because the halving truncates toward zero.
      T result = 1;
      T e = exponent;
      while (e != 0) {
        if (e % 2 != 0) result = wrapMul(result, base);
        e = static_cast<T>(e / 2);
        base = wrapMul(base, base);
      }
      return result;
    }
  }
};

// ---- run loops ---------------------------------------------------------------

using UnaryKernel = halvex::UnaryKernel;
using BinaryKernel = halvex::BinaryKernel;

template <typename I, typename F>
using UnaryResult = decltype(F::apply(std::declval<I>()));
template <typename I, typename F>
using BinaryResult = decltype(F::apply(std::declval<I>(), std::declval<I>()));

template <typename I, typename F>
HALVEX_INLINE void unaryLoop(void* outp, const void* inp, int64_t n, int64_t os, int64_t is) {
  using O = UnaryResult<I, F>;
  O* out = static_cast<O*>(outp);
  const I* in = static_cast<const I*>(inp);
  if (os == 1 && is == 1) {
    if constexpr (std::is_same_v<F, ExpOp> && std::is_same_v<I, float>) {
      expRunF32Dispatch(out, in, n);
    } else {
      for (int64_t i = 0; i < n; ++i) out[i] = F::apply(in[i]);
    }
  } else {
    for (int64_t i = 0; i < n; ++i) out[i * os] = F::apply(in[i * is]);
  }
}

template <typename I, typename F>
HALVEX_INLINE void binaryLoop(void* outp, const void* ap, const void* bp, int64_t n, int64_t os,
                              int64_t as, int64_t bs) {
  using O = BinaryResult<I, F>;
  O* out = static_cast<O*>(outp);
  const I* a = static_cast<const I*>(ap);
  const I* b = static_cast<const I*>(bp);
  if (os == 1 && as == 1 && bs == 1) {
    for (int64_t i = 0; i < n; ++i) out[i] = F::apply(a[i], b[i]);
  } else if (os == 1 && as == 1 && bs == 0) {
    const I y = *b;
    for (int64_t i = 0; i < n; ++i) out[i] = F::apply(a[i], y);
  } else if (os == 1 && as == 0 && bs == 1) {
    const I x = *a;
    for (int64_t i = 0; i < n; ++i) out[i] = F::apply(x, b[i]);
  } else {
    for (int64_t i = 0; i < n; ++i) out[i * os] = F::apply(a[i * as], b[i * bs]);
  }
}

template <typename I, typename F>
void unaryBase(void* o, const void* x, int64_t n, int64_t os, int64_t is) {
  unaryLoop<I, F>(o, x, n, os, is);
}
template <typename I, typename F>
HALVEX_AVX2 void unaryAvx2(void* o, const void* x, int64_t n, int64_t os, int64_t is) {
  unaryLoop<I, F>(o, x, n, os, is);
}
template <typename I, typename F>
void binaryBase(void* o, const void* a, const void* b, int64_t n, int64_t os, int64_t as, int64_t bs) {
  binaryLoop<I, F>(o, a, b, n, os, as, bs);
}
template <typename I, typename F>
HALVEX_AVX2 void binaryAvx2(void* o, const void* a, const void* b, int64_t n, int64_t os, int64_t as,
                            int64_t bs) {
  binaryLoop<I, F>(o, a, b, n, os, as, bs);
}

// The run kernel of F for input element type I, for this CPU.
template <typename I, typename F>
UnaryKernel unaryKernel() {
  return useAvx2() ? &unaryAvx2<I, F> : &unaryBase<I, F>;
}
template <typename I, typename F>
BinaryKernel binaryKernel() {
  return useAvx2() ? &binaryAvx2<I, F> : &binaryBase<I, F>;
}

}  // namespace kestrane::halvex::kernels
