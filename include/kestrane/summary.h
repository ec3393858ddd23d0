#pragma once

// A text report of a compiled model file for people: its path, target
// hardware, supported core modes and cores, and per model variant the input
// and output shapes and the layer table. Needs no accelerator.

#include <string>

#include "kestrane/export.h"

namespace kestrane {

// The report (fixed-width, 89 columns); an empty text when the file cannot
// be read or described (the reason is logged).
KESTRANE_API std::string getModelSummary(const std::string& path);

}  // namespace kestrane
