// Bad files of format versions 4 to 1: every tag and boundary is checked
// with its message, and no cut, inflated count or length makes a reader
// crash, allocate without bound or write outside the model's directory.

#include <cstring>
#include <regex>

#include "legacy_fixture.h"
#include "zrb/readers.h"
#include "zrb_fixture.h"

namespace kestrane::test {
namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The message a wrong boundary at `label` is reported with.
std::string boundaryMessage(uint32_t version, const std::string& label) {
  using Names = std::vector<std::pair<std::regex, std::string>>;
  if (isVersion2(version)) {
    static const Names v2 = {
        {std::regex(R"(b\d+\.cre\.\d+\.boundary)"), "Organizing core : "},
        {std::regex(R"(b\d+\.ipt\.\d+\.boundary)"), "Organizing input : "},
        {std::regex(R"(b\d+\.opt\.\d+\.boundary)"), "Organizing output : "},
        {std::regex(R"(b\d+\.bin\.\d+\.boundary)"), "Organizing ZRB : "},
        {std::regex(R"(b\d+\.mta\.\d+\.boundary)"), "Organizing metadata : "},
        {std::regex(R"(b\d+\.end)"), "Organizing ZRB bundle : "},
    };
    for (const auto& [pattern, prefix] : v2) {
      if (std::regex_match(label, pattern)) return prefix + "Boundary has been compromised.";
    }
    return "<unknown boundary " + label + ">";
  }
  // Versions 3 and 4 name the entry or list; version 4 adds the word read
  // for section binaries and cache designations.
  static const Names names = {
      {std::regex(R"((mma|b\d+\.mta)\.\d+\.boundary)"), "Metadatum"},
      {std::regex(R"((mma|b\d+\.mta)\.boundary)"), "Metadata"},
      {std::regex(R"(b\d+\.cre\.\d+\.boundary)"), "Core"},
      {std::regex(R"(b\d+\.cre\.boundary)"), "Cores"},
      {std::regex(R"(b\d+\.ipt\.\d+\.boundary)"), "Input"},
      {std::regex(R"(b\d+\.ipt\.boundary)"), "Inputs"},
      {std::regex(R"(b\d+\.opt\.\d+\.boundary)"), "Output"},
      {std::regex(R"(b\d+\.opt\.boundary)"), "Outputs"},
      {std::regex(R"(b\d+\.bin\.\d+\.boundary)"), "Section Binary"},
      {std::regex(R"(b\d+\.bin\.boundary)"), "Section Binaries"},
      {std::regex(R"(b\d+\.rmi\.\d+\.boundary)"), "RmemId"},
      {std::regex(R"(b\d+\.rmi\.boundary)"), "RmemIds"},
      {std::regex(R"(b\d+\.cad\.\d+\.boundary)"), "Cache Designation"},
      {std::regex(R"(b\d+\.cad\.boundary)"), "Cache Designations"},
      {std::regex(R"(b\d+\.boundary)"), "ZRB Bundle"},
  };
  for (const auto& [pattern, name] : names) {
    if (!std::regex_match(label, pattern)) continue;
    const bool withWord = version == zrb::v4::kVersion && (name == "Section Binary" || name == "Cache Designation");
    return "Boundary has been compromised (" + name + (withWord ? ", 0x12345679" : "") + ").";
  }
  return "<unknown boundary " + label + ">";
}

std::string tagMessage(uint32_t version, const std::string& label) {
  if (isVersion2(version)) {
    // The word read, in decimal: 0x41424344.
    return endsWith(label, "bdy.tag") ? "Wrong ZRB Body Magic, 1094861636" : "Wrong Core Config Magic!, 1094861636";
  }
  static const std::map<std::string, std::string> messages = {
      {"mma", "Wrong ZRB Metadata Magic"},  {"bdy", "Wrong ZRB Body Magic"},
      {"mta", "Wrong Body Metadata Magic"}, {"cre", "Wrong Core Config Magic"},
      {"ipt", "Wrong Body Input Magic"},    {"opt", "Wrong Body Output Magic"},
      {"bin", "Wrong Binary Magic"},        {"rmi", "Wrong RmemId Config Magic"},
      {"cad", "Wrong Cache Designation Magic"},
  };
  return messages.at(label.substr(label.size() - 7, 3)) + " (0x41424344).";
}

class LegacyCorruptionTest : public ZrbTest, public ::testing::WithParamInterface<uint32_t> {
 protected:
  // Loads the bytes as a fresh model; the failure must leave nothing behind.
  bool load(const std::vector<uint8_t>& bytes, bool keep = false) {
    zrb::ZRB model;
    ::testing::internal::CaptureStderr();
    const bool ok = model.load(save(bytes), keep);
    stderr_ = ::testing::internal::GetCapturedStderr();
    expectNothingOutside(model);
    if (!ok) {
      EXPECT_TRUE(model.getBundles().empty());
    }
    return ok;
  }
  // Makes the checksum hold for the bytes as they are: version 1 keeps it
  // in its last four bytes, whatever the length.
  void fixChecksum(zrbw::Written& w) const {
    if (!isVersion1(GetParam())) return w.fixChecksum();
    if (w.bytes.size() < 4) return;
    const uint32_t sum = zrb::byteSum(w.bytes.data(), w.bytes.size() - 4);
    std::memcpy(w.bytes.data() + w.bytes.size() - 4, &sum, 4);
  }
  zrbw::Written sample(size_t big = 3000, size_t small = 700) {
    return zrbw::write(legacySampleModel(GetParam(), big, small));
  }

  std::string stderr_;
};

TEST_P(LegacyCorruptionTest, TruncationAtEveryLengthFails) {
  // Small payloads: every cut inside the structure matters, not inside the data.
  const zrbw::Written w = sample(9, 5);
  for (size_t length = 0; length < w.bytes.size(); ++length) {
    zrbw::Written cut = w;
    cut.truncate(length);
    fixChecksum(cut);
    for (const bool keep : {false, true}) {
      LogCapture log;
      ASSERT_FALSE(load(cut.bytes, keep)) << "length " << length;
      ASSERT_FALSE(log.lines().empty() && stderr_.empty()) << "length " << length;
    }
  }
}

TEST_P(LegacyCorruptionTest, EveryInflatedCountOrLengthFails) {
  const zrbw::Written w = sample();
  size_t checked = 0;
  for (const auto& [label, offset] : w.offsets) {
    const bool isCount = endsWith(label, ".count") || endsWith(label, "des_count") || endsWith(label, "name_length");
    // Payload sizes are lengths where the payload is in the file: always in
    // version 1 and in version-2 metadata, else unless the no-payload bit is set.
    bool isSize = false;
    if (std::regex_match(label, std::regex(R"(b\d+\.(bin|mta)\.\d+\.size)"))) {
      const bool metadata = label.find(".mta.") != std::string::npos;
      const uint32_t flags = isVersion1(GetParam()) ? 0 : w.word(label.substr(0, label.size() - 5) + ".flags");
      isSize = isVersion1(GetParam()) || (metadata && isVersion2(GetParam())) ||
               (flags & (metadata ? 0x10u : 1u)) == 0;
    }
    const bool isScaleCount = isVersion1(GetParam()) && label == "b0.ipt.0.dim.5";
    if (!isCount && !isSize && !isScaleCount) continue;
    for (const uint32_t value : {0xFFFFFFFFu, 0x7FFFFFFFu, 0x00100000u}) {
      zrbw::Written bad = w;
      bad.setWord(label, value);
      fixChecksum(bad);
      LogCapture log;
      EXPECT_FALSE(load(bad.bytes)) << label << " = " << value;
      EXPECT_FALSE(log.lines().empty() && stderr_.empty()) << label;
    }
    ++checked;
  }
  EXPECT_GT(checked, isVersion1(GetParam()) ? 8u : 15u);
}

// Versions 4 to 2; version 1 has neither boundaries nor tags.
using LegacyMarkerTest = LegacyCorruptionTest;

TEST_P(LegacyMarkerTest, EveryBoundaryIsChecked) {
  const zrbw::Written w = sample();
  size_t checked = 0;
  for (const auto& [label, offset] : w.offsets) {
    if (!endsWith(label, "boundary") && !endsWith(label, ".end")) continue;
    for (const uint32_t word : {0x12345679u, 0x78563412u}) {
      // Version 2 takes the boundary in one byte order only.
      if (word == 0x78563412u && !isVersion2(GetParam())) continue;
      zrbw::Written bad = w;
      bad.setWord(label, word);
      fixChecksum(bad);
      LogCapture log;
      EXPECT_FALSE(load(bad.bytes)) << label;
      EXPECT_EQ(log.count(boundaryMessage(GetParam(), label)), 1u) << label << ": " << log.text();
    }
    ++checked;
  }
  EXPECT_GT(checked, 12u);
}

TEST_P(LegacyMarkerTest, EveryTagIsChecked) {
  const zrbw::Written w = sample();
  for (const auto& [label, offset] : w.offsets) {
    if (!endsWith(label, ".tag")) continue;
    zrbw::Written bad = w;
    bad.setWord(label, 0x41424344);
    fixChecksum(bad);
    LogCapture log;
    EXPECT_FALSE(load(bad.bytes)) << label;
    EXPECT_EQ(log.count(tagMessage(GetParam(), label)), 1u) << label << ": " << log.text();
  }
}

TEST_P(LegacyCorruptionTest, SectionBinaryMustLieInsideTheFile) {
  const zrbw::Written w = sample();
  zrbw::Written bad = w;
  // The size field of version 1 and 2 is a word, of 3 and 4 a long word.
  bad.setWord("b0.bin.0.size", static_cast<uint32_t>(w.bytes.size()));
  fixChecksum(bad);
  LogCapture log;
  EXPECT_FALSE(load(bad.bytes, !isVersion1(GetParam())));
  if (isVersion1(GetParam())) {
    EXPECT_NE(stderr_.find("runs past the end of the file"), std::string::npos) << stderr_;
  } else {
    EXPECT_EQ(log.count("lies outside the file"), 1u) << log.text();
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, LegacyCorruptionTest,
                         ::testing::Values(0x40000u, 0x30000u, 0x20000u, 0x20001u, 0x20002u, 0x10000u, 0x10001u,
                                           0x10002u),
                         [](const auto& info) { return versionName(info.param); });
INSTANTIATE_TEST_SUITE_P(Versions, LegacyMarkerTest,
                         ::testing::Values(0x40000u, 0x30000u, 0x20000u, 0x20001u, 0x20002u),
                         [](const auto& info) { return versionName(info.param); });

}  // namespace
}  // namespace kestrane::test
