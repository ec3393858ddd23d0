#pragma once

// Shapes of the named tensors of a model description ("srcShapeMap").

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kestrane {

// The shape of `name` in the map: an array of numbers that each equal a
// 64-bit integer (a whole float such as 2.0 reads as 2). Anything else
// throws std::runtime_error naming the tensor; a missing name is the JSON
// library's error.
std::vector<int64_t> readShape(const nlohmann::json& shapeMap, const std::string& name);

}  // namespace kestrane
