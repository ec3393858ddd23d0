#pragma once

// Builds a model-file description for the writer from JSON; the format is
// documented in docs/zrbgen.md. A key the format does not have, a value its
// field cannot hold or one of the wrong type throws std::invalid_argument
// "<JSON pointer>: <problem>" (e.g. "/bundles/0/cores/0/mdoe: unknown key")
// before anything is built.

#include <string>

#include <nlohmann/json.hpp>

#include "support/zrb_writer.h"

namespace kestrane::test::zrbw {

// `baseDir` resolves relative "file" payloads.
Model modelFromJson(const nlohmann::json& description, const std::string& baseDir = ".");

// The offsets of a written file as a JSON object (label -> offset).
nlohmann::json offsetsToJson(const Written& written);

}  // namespace kestrane::test::zrbw
