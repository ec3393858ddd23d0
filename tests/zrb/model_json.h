#pragma once

// A loaded model object as JSON, in the schema of the reference files'
// expected values: every field by its name, paths relative to the
// temporary directory, and each extracted payload as "payload_hex".

#include <string>

#include <nlohmann/json.hpp>

#include "zrb/zrb.h"

namespace kestrane::test {

nlohmann::json modelToJson(const zrb::ZRB& model);

// Differences between `expected` and `actual`, one line each, with the path
// of the field; keys starting with '_' and those in `skip` are not compared.
std::vector<std::string> jsonDifferences(const nlohmann::json& expected, const nlohmann::json& actual,
                                         const std::vector<std::string>& skip = {});

std::string hexOf(const std::vector<uint8_t>& bytes);

}  // namespace kestrane::test
