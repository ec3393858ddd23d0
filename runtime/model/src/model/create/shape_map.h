#pragma once

// Shapes of the named tensors of a model description ("srcShapeMap").

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kestrane {

// The most dimensions a shape may have: numpy's maximum (numpy 1; numpy 2
// allows 64), far more than any model uses. The descriptions copy a shape
// for every name that refers to it, so a bound rank keeps that cost linear
// in the file.
constexpr size_t kMaxShapeRank = 32;

// The shape of `name` in the map: an array of at most kMaxShapeRank numbers
// that each equal a 64-bit integer (a whole float such as 2.0 reads as 2).
// Anything else throws std::runtime_error naming the tensor; a missing name
// is the JSON library's error.
std::vector<int64_t> readShape(const nlohmann::json& shapeMap, const std::string& name);

}  // namespace kestrane
