#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>

namespace kestrane::halvex {

// Element type code of a tensor. Undefined marks the undefined tensor.
enum class DType : uint8_t {
  UInt8 = 0,
  Int8 = 1,
  Int16 = 2,
  Int32 = 3,
  Int64 = 4,
  Float32 = 5,
  Float64 = 6,
  Bool = 7,
  Undefined = 8,
};

// A requested element type: unset lets an operation keep or promote the
// operand's type.
using OptionalDType = std::optional<DType>;

inline constexpr int kNumDTypes = 8;

// "uint8", ..., "bool", "undefined".
const char* dtypeName(DType dtype);
// Bytes per element; 0 for Undefined and for codes outside the table.
int32_t elementSize(DType dtype);
// True for the codes 0 to 7.
constexpr bool isValidDType(DType dtype) { return static_cast<uint8_t>(dtype) < kNumDTypes; }
constexpr bool isFloating(DType dtype) { return dtype == DType::Float32 || dtype == DType::Float64; }

// Result type of two candidates: an unset side loses, bool loses against any
// other type, otherwise the larger code wins.
OptionalDType promoteTypes(OptionalDType left, OptionalDType right);

// The C++ type elements of a dtype are stored as. Bool is one byte, 0 or 1,
// read as uint8_t so that any stored byte is a valid value.
template <DType D>
struct DTypeTraits;
template <> struct DTypeTraits<DType::UInt8> { using type = uint8_t; };
template <> struct DTypeTraits<DType::Int8> { using type = int8_t; };
template <> struct DTypeTraits<DType::Int16> { using type = int16_t; };
template <> struct DTypeTraits<DType::Int32> { using type = int32_t; };
template <> struct DTypeTraits<DType::Int64> { using type = int64_t; };
template <> struct DTypeTraits<DType::Float32> { using type = float; };
template <> struct DTypeTraits<DType::Float64> { using type = double; };
template <> struct DTypeTraits<DType::Bool> { using type = uint8_t; };

template <DType D>
using StorageType = typename DTypeTraits<D>::type;

template <DType D>
using DTypeConstant = std::integral_constant<DType, D>;

// Calls f(DTypeConstant<D>{}) for the defined dtype d, so that a kernel is
// instantiated per type and chosen once per call. d must be 0 to 7.
template <typename F>
decltype(auto) visitDType(DType d, F&& f) {
  switch (d) {
    case DType::UInt8: return f(DTypeConstant<DType::UInt8>{});
    case DType::Int8: return f(DTypeConstant<DType::Int8>{});
    case DType::Int16: return f(DTypeConstant<DType::Int16>{});
    case DType::Int32: return f(DTypeConstant<DType::Int32>{});
    case DType::Int64: return f(DTypeConstant<DType::Int64>{});
    case DType::Float32: return f(DTypeConstant<DType::Float32>{});
    case DType::Float64: return f(DTypeConstant<DType::Float64>{});
    default: return f(DTypeConstant<DType::Bool>{});
  }
}

// The same by element width only (1, 2, 4 or 8 bytes): for kernels that move
// elements without looking at their values.
template <typename F>
decltype(auto) visitWidth(int32_t width, F&& f) {
  switch (width) {
    case 2: return f(uint16_t{});
    case 4: return f(uint32_t{});
    case 8: return f(uint64_t{});
    default: return f(uint8_t{});
  }
}

}  // namespace kestrane::halvex
