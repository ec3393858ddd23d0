#pragma once

// The model summary behind getModelSummary (kestrane/summary.h): the file is
// read and described exactly as model creation reads it, without the checks
// against a configuration. The core-mode table comes from core_mode_table.h.

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace kestrane {

// Writes the report of the file at `path`; nothing when the file cannot be
// loaded or described (one error line with the path).
void writeModelSummary(const std::string& path, std::ostream& out);

// "[" + the shapes separated by ", " + "]", cut before every perLine-th
// shape; continuation lines begin with the shape itself.
std::vector<std::string> formatShapeLines(const std::vector<std::vector<int64_t>>& shapes, size_t perLine);

// The text of a zrb::HardwareVersion value; an unknown value gives
// "Unreachable" and one error line with the raw value.
std::string hardwareVersionText(uint32_t version);

}  // namespace kestrane
