// The hand-written reference files: the writer must reproduce each listing
// byte for byte from a description of it, and the reader must decode the
// listing to the expected values. Neither side wrote the listings, so a
// misreading shared by writer and reader shows up here.

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include <nlohmann/json.hpp>

#include "model_json.h"
#include "support/zrb_json.h"
#include "utilkit/fs_utils.h"
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

std::string readText(const fs::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The exit status of a shell command.
int exitStatus(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct BadDescription {
  const char* name;
  std::string description;
  const char* message;  // what the one line on standard error starts with; nullptr: written
};

// A description whose input "a" has the shape [1, dimension], as JSON text.
std::string inputShape(const std::string& dimension) {
  return R"({"metadata": [{"payload": {"model_description": {"inputs": [{"name": "a", "shape": [1, )" + dimension +
         "]}]}}}]}";
}

// `levels` one-element arrays around null, as JSON text.
std::string nestedArrays(size_t levels) { return std::string(levels, '[') + "null" + std::string(levels, ']'); }

class ZrbgenBadDescription : public ZrbTest, public ::testing::WithParamInterface<BadDescription> {};

// A refused description gets one line naming the pointer; a shape of whole
// floats is written as given, since creation reads 2.0 as 2.
TEST_P(ZrbgenBadDescription, IsRefusedWithOneLineNamingThePointer) {
  const fs::path description = files_ / "description.json", out = files_ / "out.zrb", err = files_ / "err.txt";
  std::ofstream(description) << GetParam().description;
  const int status =
      exitStatus(std::string(ZRBGEN) + " " + description.string() + " " + out.string() + " 2>" + err.string());
  if (GetParam().message == nullptr) {
    ASSERT_EQ(status, 0) << readText(err);
    zrb::ZRB model;
    ASSERT_TRUE(model.load(out.string()));
    std::vector<uint8_t> payload;
    ASSERT_TRUE(utilkit::readBinaryFile(model.getMetadata().at(0).path, payload));
    const json given = json::parse(GetParam().description)["metadata"][0]["payload"]["model_description"];
    EXPECT_EQ(json::from_msgpack(payload)["info"]["srcShapeMap"]["a"], given["inputs"][0]["shape"]);
    return;
  }
  EXPECT_EQ(status, 1);
  const std::string line = readText(err);
  EXPECT_EQ(line.rfind(std::string("zrbgen: ") + GetParam().message, 0), 0u) << line;
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
  EXPECT_FALSE(fs::exists(out));
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, ZrbgenBadDescription,
    ::testing::Values(
        BadDescription{"TopLevelKey", R"({"versio": 6})", "/versio: unknown key"},
        BadDescription{"IoEntryKey", R"({"bundles": [{"inputs": [{"nmae": "in"}]}]})",
                       "/bundles/0/inputs/0/nmae: unknown key"},
        BadDescription{"AxisKey",
                       R"({"bundles": [{"sequence_lengths": [{"input_axes": [{"key": 0, "axes": [{"axsi": 1}]}]}]}]})",
                       "/bundles/0/sequence_lengths/0/input_axes/0/axes/0/axsi: unknown key"},
        BadDescription{"PayloadForm", R"({"trailing": {"hexx": "00"}})", "/trailing/hexx: unknown key"},
        BadDescription{"LayerTensorKey",
                       R"({"metadata": [{"payload": {"model_description":
                           {"inputs": [{"name": "a", "shape": [1], "dtype": 1}]}}}]})",
                       "/metadata/0/payload/model_description/inputs/0/dtype: unknown key"},
        BadDescription{"ShapeNumberNotWhole",
                       R"({"metadata": [{"payload": {"model_description":
                           {"inputs": [{"name": "a", "shape": [1, 2.5]}]}}}]})",
                       "/metadata/0/payload/model_description/inputs/0/shape/1: expected a whole number, got 2.5"},
        BadDescription{"ShapeNumberHuge",
                       R"({"metadata": [{"payload": {"model_description":
                           {"tensors": [{"name": "a", "shape": [1e300]}]}}}]})",
                       "/metadata/0/payload/model_description/tensors/0/shape/0: expected a whole number, got 1e+300"},
        BadDescription{"ShapeNumberWholeFloat", inputShape("4.0"), nullptr},
        BadDescription{"ShapeNumberWholeFloatWithExponent", inputShape("4e0"), nullptr},
        BadDescription{"ShapeNumberWholeFloatAtInt64Min", inputShape("-9223372036854775808.0"), nullptr},
        BadDescription{"ShapeNumberWholeFloatBeyondInt64", inputShape("9223372036854775807.0"),
                       "/metadata/0/payload/model_description/inputs/0/shape/1: expected a whole number, got "
                       "9.223372036854776e+18"},
        BadDescription{"ShapeNumberBeyondInt64",
                       R"({"metadata": [{"payload": {"model_description":
                           {"outputs": [{"name": "a", "shape": [9223372036854775808]}]}}}]})",
                       "/metadata/0/payload/model_description/outputs/0/shape/0: 9223372036854775808 is out of range"},
        BadDescription{"OverrideLabel", R"({"overrides": {"b9.ipt.count": 1}})",
                       "/overrides/b9.ipt.count: unknown key"},
        BadDescription{"Version", R"({"version": 9})", "/version: 9 is out of range (1 to 6"},
        BadDescription{"FullVersionWord", R"({"version": 131075})", "/version: 131075 is out of range (1 to 6"},
        BadDescription{"CoreMode", R"({"bundles": [{"cores": [{"mode": 16}]}]})",
                       "/bundles/0/cores/0/mode: 16 is out of range (0 to 15)"},
        BadDescription{"SectionMemoryType", R"({"bundles": [{"section_binaries": [{"memory_type": 32}]}]})",
                       "/bundles/0/section_binaries/0/memory_type: 32 is out of range (0 to 31)"},
        BadDescription{"Region", R"({"bundles": [{"outputs": [{"designations": [{"region": "IMEN"}]}]}]})",
                       "/bundles/0/outputs/0/designations/0/region: \"IMEN\" is out of range (IMEM, "},
        BadDescription{"NegativeWord", R"({"noise_seed": -1})", "/noise_seed: -1 is out of range (0 to 4294967295)"},
        BadDescription{"HardwareName", R"({"target_hardware": "Talis"})",
                       "/target_hardware: \"Talis\" is out of range"},
        BadDescription{"TypeOfVersion", R"({"version": "6"})", "/version: expected a whole number, got \"6\""},
        BadDescription{"TypeOfFlag", R"({"bundles": [{"cores": [{"all_local": 1}]}]})",
                       "/bundles/0/cores/0/all_local: expected true or false, got 1"},
        BadDescription{"ShapeCount", R"({"bundles": [{"inputs": [{"original": [1, 2]}]}]})",
                       "/bundles/0/inputs/0/original: expected 3 values, got 2"},
        BadDescription{"ProgramOperation",
                       R"({"bundles": [{"section_binaries": [{"program": ["copy 0 0 4", "jump 0"]}]}]})",
                       "/bundles/0/section_binaries/0/program: program line 2: unknown operation \"jump\""},
        BadDescription{"ProgramRegion", R"({"bundles": [{"section_binaries": [{"program": "copy @IMEN 0 4"}]}]})",
                       "/bundles/0/section_binaries/0/program: program line 1: unknown region IMEN"},
        BadDescription{"RequiredKey", R"({"bundles": [{"inputs": [{"io_groups": [{"first": [0], "third": [0]}]}]}]})",
                       "/bundles/0/inputs/0/io_groups/0/second: required key missing"},
        // The MessagePack writer recurses once per level.
        BadDescription{"DeepMessagePack", R"({"metadata": [{"payload": {"msgpack": )" + nestedArrays(100000) + "}}]}",
                       "/metadata/0/payload/msgpack: nested deeper than the 256 levels"},
        BadDescription{"MessagePackOneLevelTooDeep",
                       R"({"metadata": [{"payload": {"msgpack": )" + nestedArrays(257) + "}}]}",
                       "/metadata/0/payload/msgpack: nested deeper than the 256 levels"},
        BadDescription{"LayerOneLevelTooDeep",
                       R"({"metadata": [{"payload": {"model_description": {"layers": [{"layerName": "a", "x": )" +
                           nestedArrays(255) + "}]}}}]}",
                       "/metadata/0/payload/model_description/layers/0: nested deeper than the 256 levels"}),
    [](const ::testing::TestParamInfo<BadDescription>& info) { return std::string(info.param.name); });

struct Invocation {
  const char* name;
  const char* arguments;
  int status;
  bool usageOnStdout;  // else on standard error, with nothing on standard output
};

class ZrbgenUsage : public ZrbTest, public ::testing::WithParamInterface<Invocation> {};

TEST_P(ZrbgenUsage, PrintsTheUsageWhereAsked) {
  const fs::path out = files_ / "out.txt", err = files_ / "err.txt";
  EXPECT_EQ(exitStatus(std::string(ZRBGEN) + " " + GetParam().arguments + " >" + out.string() + " 2>" + err.string()),
            GetParam().status);
  const std::string usage = readText(GetParam().usageOnStdout ? out : err);
  EXPECT_EQ(usage.rfind("usage: zrbgen DESCRIPTION.json OUTPUT.zrb", 0), 0u) << usage;
  EXPECT_NE(usage.find("docs/zrbgen.md"), std::string::npos) << usage;
  EXPECT_EQ(readText(GetParam().usageOnStdout ? err : out), "");
}

INSTANTIATE_TEST_SUITE_P(Arguments, ZrbgenUsage,
                         ::testing::Values(Invocation{"Help", "--help", 0, true}, Invocation{"H", "-h", 0, true},
                                           Invocation{"None", "", 1, false},
                                           Invocation{"BadOption", "a.json b.zrb --offset c.json", 1, false}),
                         [](const ::testing::TestParamInfo<Invocation>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrane::test
