// The hand-written reference files: the writer must reproduce each listing
// byte for byte from a description of it, and the reader must decode the
// listing to the expected values. Neither side wrote the listings, so a
// misreading shared by writer and reader shows up here.

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "model_json.h"
#include "support/zrb_json.h"
#include "zrb_fixture.h"

namespace kestrane::test {
namespace {

using nlohmann::json;

const fs::path kReferenceDir = ZRB_REFERENCE_DIR;
const fs::path kDescriptionDir = ZRB_DESCRIPTION_DIR;

// The bytes of an annotated listing: two-digit hex bytes, '#' comments.
std::vector<uint8_t> parseListing(const fs::path& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << path;
  std::vector<uint8_t> out;
  for (std::string line; std::getline(in, line);) {
    std::istringstream tokens(line.substr(0, line.find('#')));
    for (std::string token; tokens >> token;) {
      EXPECT_EQ(token.size(), 2u) << path << ": " << line;
      out.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    }
  }
  return out;
}

json readJson(const fs::path& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << path;
  return json::parse(in);
}

std::string labelAt(const zrbw::Written& w, uint64_t offset) {
  std::string best = "?";
  for (const auto& [label, at] : w.offsets) {
    if (at <= offset && (best == "?" || at > w.offsets.at(best))) best = label;
  }
  return best;
}

class ReferenceTest : public ZrbTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(ReferenceTest, ReaderDecodesTheExpectedValues) {
  const std::string path = save(parseListing(kReferenceDir / (GetParam() + ".hex")));
  const json expected = readJson(kReferenceDir / (GetParam() + ".expected.json"));
  zrb::ZRB model;
  ASSERT_TRUE(model.load(path));
  for (const std::string& d : jsonDifferences(expected, modelToJson(model), {"payload_file_offset"})) {
    ADD_FAILURE() << d;
  }
}

TEST_P(ReferenceTest, KeptBinariesUseTheListedOffsets) {
  if (GetParam().rfind("v1_", 0) == 0) GTEST_SKIP() << "version 1 always extracts its binaries";
  const std::string path = save(parseListing(kReferenceDir / (GetParam() + ".hex")));
  // Kept binaries point into the model file, payload-less ones at nothing;
  // everything else reads as without the option.
  json expected = readJson(kReferenceDir / (GetParam() + ".expected.json"));
  for (auto& bundle : expected.at("bundles")) {
    for (auto& bin : bundle.at("section_binaries")) {
      const bool none = bin.at("payload_file_offset").is_null();
      bin.erase("payload_hex");
      bin["keep_in_file"] = true;
      bin["path"] = none ? "" : fs::absolute(path).string();
      bin["offset"] = none ? 0 : bin.at("payload_file_offset").get<uint64_t>();
    }
  }
  zrb::ZRB model;
  ASSERT_TRUE(model.load(path, true));
  for (const std::string& d : jsonDifferences(expected, modelToJson(model), {"payload_file_offset"})) ADD_FAILURE() << d;
}

TEST_P(ReferenceTest, WriterAndZrbgenReproduceTheListing) {
  const std::vector<uint8_t> listing = parseListing(kReferenceDir / (GetParam() + ".hex"));
  const zrbw::Written written =
      zrbw::write(zrbw::modelFromJson(readJson(kDescriptionDir / (GetParam() + ".json")), kDescriptionDir));
  size_t first = 0;
  while (first < listing.size() && first < written.bytes.size() && listing[first] == written.bytes[first]) ++first;
  EXPECT_EQ(written.bytes.size(), listing.size());
  EXPECT_EQ(first, std::min(listing.size(), written.bytes.size()))
      << "first difference at offset " << first << " (" << labelAt(written, first) << ")";

  const fs::path out = files_ / "zrbgen.zrb";
  const fs::path offsets = files_ / "offsets.json";
  const std::string command = std::string(ZRBGEN) + " " + (kDescriptionDir / (GetParam() + ".json")).string() +
                              " " + out.string() + " --offsets " + offsets.string();
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream in(out, std::ios::binary);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_TRUE(bytes == listing) << "zrbgen differs from the listing";
  // Version 1 closes the file with its checksum.
  const uint64_t checksumAt = GetParam() == "v6" ? 20u : GetParam().rfind("v1_", 0) == 0 ? bytes.size() - 4 : 16u;
  EXPECT_EQ(readJson(offsets).at("checksum").get<uint64_t>(), checksumAt);
}

INSTANTIATE_TEST_SUITE_P(Listings, ReferenceTest, ::testing::Values("v6", "v5", "v4", "v3", "v2_0", "v2_1", "v2_2", "v1_0",
                                                            "v1_1", "v1_2"));

TEST(Zrbgen, RefusesBadDescriptions) {
  const std::string bad = std::string(ZRBGEN) + " /nonexistent/description.json /dev/null 2>/dev/null";
  EXPECT_NE(std::system(bad.c_str()), 0);
  const std::string version = "echo '{\"version\": 9}' | " + std::string(ZRBGEN) + " - /dev/null 2>/dev/null";
  EXPECT_NE(std::system(version.c_str()), 0);
}

}  // namespace
}  // namespace kestrane::test
