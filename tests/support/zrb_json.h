#pragma once

// Builds a model-file description for the writer from JSON; the format is
// documented in docs/zrbgen.md. Throws std::invalid_argument (or a JSON
// error) naming the offending key when the description is malformed.

#include <string>

#include <nlohmann/json.hpp>

#include "support/zrb_writer.h"

namespace kestrane::test::zrbw {

// `baseDir` resolves relative "file" payloads.
Model modelFromJson(const nlohmann::json& description, const std::string& baseDir = ".");

// The offsets of a written file as a JSON object (label -> offset).
nlohmann::json offsetsToJson(const Written& written);

}  // namespace kestrane::test::zrbw
