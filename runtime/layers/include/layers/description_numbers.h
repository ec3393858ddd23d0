#pragma once

// Integers of a model description. The JSON library converts a float to an
// integer type without a check (undefined behaviour outside the type's
// range), so every integer a description gives is read through these.

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

namespace kestrane {

// Any JSON number as int64, for layer attributes: wider values saturate,
// floats truncate toward zero, NaN throws std::runtime_error. Anything else
// is the JSON library's type error.
int64_t readInt64(const nlohmann::json& v);

// The int64 a JSON number equals: an integer within range, or a float with
// a whole value within range (2.0 is 2). Empty for any other value: NaN,
// the infinities, fractions, numbers beyond int64, and whatever is not a
// number (booleans among them).
std::optional<int64_t> exactInt64(const nlohmann::json& v);

}  // namespace kestrane
