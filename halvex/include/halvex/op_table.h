#pragma once

// Operation tables of the element-wise drivers: an operation's name and one
// run kernel per dtype code (an empty entry: not implemented for that dtype).
// A run kernel processes n elements whose distances are given in elements
// (0 repeats one element), so the drivers call it once per contiguous run
// rather than once per element.

#include <array>
#include <cstdint>

namespace kestrane::halvex {

using UnaryKernel = void (*)(void* out, const void* in, int64_t n, int64_t outStride, int64_t inStride);
using BinaryKernel = void (*)(void* out, const void* a, const void* b, int64_t n, int64_t outStride,
                              int64_t aStride, int64_t bStride);

template <typename Kernel>
struct OpTable {
  const char* name = "";
  // Indexed by dtype code 0 to 8; entry 8 (undefined) is always empty.
  std::array<Kernel, 9> kernels{};

  Kernel kernel(uint8_t code) const { return code < kernels.size() ? kernels[code] : nullptr; }
};

using UnaryOpTable = OpTable<UnaryKernel>;
using BinaryOpTable = OpTable<BinaryKernel>;

// The library's tables, built once on first use (kernels are chosen for the
// CPU then) and constant afterwards.
namespace optables {
const UnaryOpTable& abs();
const UnaryOpTable& erf();
const UnaryOpTable& exp();
const UnaryOpTable& hardswish();
const UnaryOpTable& log();
const UnaryOpTable& logicalNot();
const UnaryOpTable& negate();
const UnaryOpTable& reciprocal();
const UnaryOpTable& sigmoid();
const UnaryOpTable& sqrt();
const UnaryOpTable& square();
const UnaryOpTable& tanh();

const BinaryOpTable& add();
const BinaryOpTable& sub();
const BinaryOpTable& mul();
const BinaryOpTable& div();
const BinaryOpTable& less();
const BinaryOpTable& greater();
const BinaryOpTable& lessEqual();
const BinaryOpTable& greaterEqual();
const BinaryOpTable& equal();
const BinaryOpTable& notEqual();
const BinaryOpTable& logicalAnd();
const BinaryOpTable& logicalOr();
const BinaryOpTable& logicalXor();
const BinaryOpTable& maximum();
const BinaryOpTable& clampMin();
const BinaryOpTable& clampMax();
const BinaryOpTable& fmod();
const BinaryOpTable& remainder();
const BinaryOpTable& pow();
}  // namespace optables

}  // namespace kestrane::halvex
