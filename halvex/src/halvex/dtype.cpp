#include "halvex/dtype.h"

#include <array>

namespace kestrane::halvex {

namespace {
constexpr std::array<const char*, 9> kNames = {"uint8",   "int8",    "int16", "int32",    "int64",
                                               "float32", "float64", "bool",  "undefined"};
constexpr std::array<int32_t, 8> kSizes = {1, 1, 2, 4, 8, 4, 8, 1};
}  // namespace

const char* dtypeName(DType dtype) {
  auto code = static_cast<size_t>(dtype);
  return code < kNames.size() ? kNames[code] : "undefined";
}

int32_t elementSize(DType dtype) {
  auto code = static_cast<size_t>(dtype);
  return code < kSizes.size() ? kSizes[code] : 0;
}

OptionalDType promoteTypes(OptionalDType left, OptionalDType right) {
  if (!left) return right;
  if (!right) return left;
  if (*left == DType::Bool) return right;
  if (*right == DType::Bool) return left;
  return static_cast<uint8_t>(*right) > static_cast<uint8_t>(*left) ? right : left;
}

}  // namespace kestrane::halvex
