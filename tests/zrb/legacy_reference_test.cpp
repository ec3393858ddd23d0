// The hand-written reference files of format versions 4 to 1: the reader
// decodes each to its expected values and the writer reproduces each.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ref_json.h"
#include "support/zrb_json.h"
#include "support/zrb_writer.h"
#include "support/zrb_test_file.h"
#include "zrb/zrb.h"

namespace kestrane::test {
namespace {

using nlohmann::json;
using namespace ref;

std::string referencePath(const std::string& name) { return std::string(ZRB_REFERENCE_DIR) + "/" + name; }

class LegacyReference : public ::testing::TestWithParam<std::string> {};

TEST_P(LegacyReference, DecodesToExpectedValues) {
  const std::string name = GetParam();
  TempModelFile file(parseHexListing(readTextFile(referencePath(name + ".hex"))));
  const json expected = json::parse(readTextFile(referencePath(name + ".expected.json")));

  zrb::ZRB model;
  ASSERT_TRUE(model.load(file.path()));
  EXPECT_EQ(modelToJson(model), withoutAnnotations(expected));
}

TEST_P(LegacyReference, KeepsBinariesInTheModelFile) {
  const std::string name = GetParam();
  if (name.rfind("v1_", 0) == 0) GTEST_SKIP() << "version 1 has no keep option";
  TempModelFile file(parseHexListing(readTextFile(referencePath(name + ".hex"))));
  json expected = json::parse(readTextFile(referencePath(name + ".expected.json")));
  const std::string absolute = std::filesystem::absolute(file.path()).string();
  for (auto& bundle : expected["bundles"]) {
    for (auto& binary : bundle["section_binaries"]) {
      binary["keep_in_file"] = true;
      if (!binary["payload_file_offset"].is_null()) {
        binary["path"] = absolute;
        binary["offset"] = binary["payload_file_offset"];
      }
    }
  }

  zrb::ZRB model;
  ASSERT_TRUE(model.load(file.path(), true));
  EXPECT_EQ(modelToJson(model), withoutAnnotations(expected));
}

// The writer, given a description of the same file, writes the listing's
// bytes: both follow the layout independently.
TEST_P(LegacyReference, WriterReproducesListing) {
  const std::string name = GetParam();
  const auto listing = parseHexListing(readTextFile(referencePath(name + ".hex")));
  const json description = json::parse(readTextFile(std::string(ZRB_DESCRIPTION_DIR) + "/" + name + ".json"));
  EXPECT_EQ(zrbw::write(zrbw::modelFromJson(description)).bytes, listing);
}

INSTANTIATE_TEST_SUITE_P(Files, LegacyReference,
                         ::testing::Values("v4", "v3", "v2_0", "v2_1", "v2_2", "v1_0", "v1_1", "v1_2"));

}  // namespace
}  // namespace kestrane::test
