#pragma once

// Pieces of the readable reprs: enumeration members as Python shows them
// ("CoreMode.Single"), cores as "Cluster0/Core2", floats at their shortest.

#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "kestrane/type.h"

namespace ophel {

namespace py = pybind11;

template <typename Enum>
std::string enumText(Enum value) {
  return py::str(py::cast(value)).cast<std::string>();
}

// The member name alone ("Cluster0" of "Cluster.Cluster0").
template <typename Enum>
std::string memberName(Enum value) {
  const std::string text = enumText(value);
  return text.substr(text.find('.') + 1);
}

inline std::string coreList(const std::vector<kestrane::CoreId>& cores) {
  std::string text = "[";
  for (size_t i = 0; i < cores.size(); ++i) {
    if (i > 0) text += ", ";
    text += memberName(cores[i].cluster) + "/" + memberName(cores[i].core);
  }
  return text + "]";
}

inline std::string pyBool(bool value) { return value ? "True" : "False"; }

// As Python writes a float: "1.0", not "1".
inline std::string pyFloat(float value) {
  std::string text = fmt::format("{}", value);
  if (text.find_first_of(".eni") == std::string::npos) text += ".0";
  return text;
}

inline std::string pyFloats(const std::vector<float>& values) {
  std::string text = "[";
  for (size_t i = 0; i < values.size(); ++i) text += (i == 0 ? "" : ", ") + pyFloat(values[i]);
  return text + "]";
}

inline std::string quoted(const std::string& text) { return py::repr(py::str(text)).cast<std::string>(); }

}  // namespace ophel
