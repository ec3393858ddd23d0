#include "layers/description_numbers.h"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace kestrane {

namespace {

using nlohmann::json;

// 2^63 as a double: int64 holds exactly the doubles in [-2^63, 2^63).
constexpr double kInt64Bound = 9223372036854775808.0;
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

}  // namespace

int64_t readInt64(const json& v) {
  if (v.is_number_unsigned()) {
    const uint64_t u = v.get<uint64_t>();
    return u > static_cast<uint64_t>(kInt64Max) ? kInt64Max : static_cast<int64_t>(u);
  }
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (std::isnan(d)) throw std::runtime_error("an integer attribute is NaN");
    if (d >= kInt64Bound) return kInt64Max;
    if (d <= -kInt64Bound) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
  }
  return v.get<int64_t>();
}

std::optional<int64_t> exactInt64(const json& v) {
  if (v.is_number_unsigned()) {
    const uint64_t u = v.get<uint64_t>();
    if (u > static_cast<uint64_t>(kInt64Max)) return std::nullopt;
    return static_cast<int64_t>(u);
  }
  if (v.is_number_integer()) return v.get<int64_t>();
  if (v.is_number_float()) {
    const double d = v.get<double>();
    // NaN fails both comparisons.
    if (!(d >= -kInt64Bound && d < kInt64Bound) || std::trunc(d) != d) return std::nullopt;
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

}  // namespace kestrane
