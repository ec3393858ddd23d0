#include "shape_map.h"

#include <optional>
#include <stdexcept>

#include <fmt/format.h>

#include "layers/description_numbers.h"

namespace kestrane {

namespace {

// A value as the error line shows it; NaN and the infinities have no JSON
// text of their own.
std::string shown(const nlohmann::json& v) {
  if (v.is_number_float()) return fmt::format("{}", v.get<double>());
  if (v.is_structured()) return std::string("an ") + v.type_name();
  return v.dump();
}

}  // namespace

std::vector<int64_t> readShape(const nlohmann::json& shapeMap, const std::string& name) {
  const nlohmann::json& shape = shapeMap.at(name);
  if (!shape.is_array()) {
    throw std::runtime_error(fmt::format("the shape of \"{}\" is {}, not an array of integers", name, shown(shape)));
  }
  if (shape.size() > kMaxShapeRank) {
    throw std::runtime_error(
        fmt::format("the shape of \"{}\" has {} dimensions, more than {}", name, shape.size(), kMaxShapeRank));
  }
  std::vector<int64_t> dims;
  dims.reserve(shape.size());
  for (const nlohmann::json& d : shape) {
    const std::optional<int64_t> dim = exactInt64(d);
    if (!dim) {
      throw std::runtime_error(fmt::format("dimension {} of the shape of \"{}\" is {}, not a 64-bit integer",
                                           dims.size(), name, shown(d)));
    }
    dims.push_back(*dim);
  }
  return dims;
}

}  // namespace kestrane
