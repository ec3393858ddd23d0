#pragma once

// Test helpers around the reference model files: the listing syntax (hex
// bytes, '#' comments) and the model object rendered as the JSON form of
// the "*.expected.json" files, so a loaded model compares as one value.

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zrb/zrb.h"

namespace kestrane::test::ref {

// The bytes of an annotated hex listing; throws std::invalid_argument on a
// token that is not two lower-case hexadecimal digits.
std::vector<uint8_t> parseHexListing(const std::string& text);

// The model object with the field names of the expected files. Paths inside
// the temporary directory become bare file names; every record with a path
// gets "payload_hex", the content at that path (and offset when the binary
// is kept in the model file).
nlohmann::json modelToJson(const zrb::ZRB& model);

// `expected` without the keys that are not model fields: those starting
// with '_' and "payload_file_offset".
nlohmann::json withoutAnnotations(nlohmann::json expected);

std::string readTextFile(const std::string& path);

}  // namespace kestrane::test::ref
