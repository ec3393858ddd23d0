// Bad files of every format version: every tag and boundary is checked with
// its message, and no cut, inflated count or length makes a reader crash,
// allocate without bound or write outside the model's temporary directory.

#include <cstring>
#include <regex>
#include <string>
#include <tuple>

#include "zrb/readers.h"
#include "zrb_fixture.h"

namespace kestrane::test {
namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The message a boundary word 0x12345679 at `label` is reported with.
std::string boundaryMessage(uint32_t version, const std::string& label) {
  using Names = std::vector<std::pair<std::regex, std::string>>;
  if (isVersion2(version)) {
    static const Names v2 = {
        {std::regex(R"(b\d+\.cre\.\d+\.boundary)"), "core"},  {std::regex(R"(b\d+\.ipt\.\d+\.boundary)"), "input"},
        {std::regex(R"(b\d+\.opt\.\d+\.boundary)"), "output"}, {std::regex(R"(b\d+\.bin\.\d+\.boundary)"), "ZRB"},
        {std::regex(R"(b\d+\.mta\.\d+\.boundary)"), "metadata"}, {std::regex(R"(b\d+\.end)"), "ZRB bundle"},
    };
    for (const auto& [pattern, name] : v2) {
      if (std::regex_match(label, pattern)) return "Organizing " + name + " : Boundary has been compromised.";
    }
    return "<unknown boundary " + label + ">";
  }
  // Versions 3 to 6 name the entry or list (or axis, or bundle); 4 to 6
  // add the word read for section binaries and cache designations.
  static const std::map<std::string, std::pair<std::string, std::string>> lists = {
      {"mma", {"Metadatum", "Metadata"}}, {"mta", {"Metadatum", "Metadata"}},
      {"cre", {"Core", "Cores"}},         {"ipt", {"Input", "Inputs"}},
      {"opt", {"Output", "Outputs"}},     {"sql", {"SequenceLength", "SequenceLengths"}},
      {"rmi", {"RmemId", "RmemIds"}},     {"bin", {"Section Binary", "Section Binaries"}},
      {"cad", {"Cache Designation", "Cache Designations"}}};
  static const std::regex parts(R"((?:b\d+\.)?(\w{3})(\.\d+)?(\..+)?\.boundary)");
  std::smatch m;
  std::string name = "ZRB Bundle";
  if (std::regex_match(label, m, parts)) {
    const auto& [entry, list] = lists.at(m[1]);
    name = m[3].matched ? "SequenceLengthAxis" : m[2].matched ? entry : list;
  }
  const bool withWord = version >= 0x40000 && m[2].matched && !m[3].matched && (m[1] == "bin" || m[1] == "cad");
  return "Boundary has been compromised (" + name + (withWord ? ", 0x12345679" : "") + ").";
}

// The message a tag word 0x41424344 at `label` is reported with.
std::string tagMessage(uint32_t version, const std::string& label) {
  if (isVersion2(version)) {  // the word read, in decimal
    return endsWith(label, "bdy.tag") ? "Wrong ZRB Body Magic, 1094861636" : "Wrong Core Config Magic!, 1094861636";
  }
  static const std::map<std::string, std::string> messages = {
      {"mma", "Wrong ZRB Metadata Magic"},  {"bdy", "Wrong ZRB Body Magic"},
      {"mta", "Wrong Body Metadata Magic"}, {"cre", "Wrong Core Config Magic"},
      {"ipt", "Wrong Body Input Magic"},    {"opt", "Wrong Body Output Magic"},
      {"sql", "Wrong SequenceLength Magic"}, {"bin", "Wrong Binary Magic"},
      {"rmi", "Wrong RmemId Config Magic"}, {"cad", "Wrong Cache Designation Magic"},
  };
  return messages.at(label.substr(label.size() - 7, 3)) + " (0x41424344).";  // "<list>.tag"
}

class CorruptionTest : public ZrbTest, public ::testing::WithParamInterface<uint32_t> {
 protected:
  uint32_t version() const { return GetParam(); }
  // Loads the bytes as a fresh model; a failure must leave no bundles and
  // nothing behind.
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
    if (!isVersion1(version())) return w.fixChecksum();
    if (w.bytes.size() < 4) return;
    const uint32_t sum = zrb::byteSum(w.bytes.data(), w.bytes.size() - 4);
    std::memcpy(w.bytes.data() + w.bytes.size() - 4, &sum, 4);
  }
  // Sets the word, fixes the checksum and expects the load to fail with a
  // message (`message`, or any when empty).
  void expectRefused(const zrbw::Written& w, const std::string& label, uint32_t value, const std::string& message = {}) {
    zrbw::Written bad = w;
    bad.setWord(label, value);
    fixChecksum(bad);
    LogCapture log;
    EXPECT_FALSE(load(bad.bytes)) << label << " = " << value;
    if (message.empty()) {
      EXPECT_FALSE(log.lines().empty() && stderr_.empty()) << label;
    } else {
      EXPECT_EQ(log.count(message), 1u) << label << ": " << log.text();
    }
  }

  std::string stderr_;
};

TEST_P(CorruptionTest, TruncationAtEveryLengthFails) {
  // Small payloads: every cut inside the structure matters, not inside the data.
  const zrbw::Written w = zrbw::write(sampleModel(version(), 9, 5));
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

TEST_P(CorruptionTest, EveryInflatedCountOrLengthFails) {
  const zrbw::Written w = zrbw::write(sampleModel(version()));
  const std::regex payloadSize(R"((mma|b\d+\.(bin|mta))\.\d+\.size)");
  size_t checked = 0;
  for (const auto& [label, offset] : w.offsets) {
    const bool isCount = endsWith(label, ".count") || endsWith(label, "des_count") || endsWith(label, "name_length");
    // Payload sizes are lengths where the payload is in the file: always in
    // version 1 and in version-2 metadata, else unless the no-payload bit is set.
    bool isSize = false;
    if (std::regex_match(label, payloadSize)) {
      const bool metadata = label.find(".bin.") == std::string::npos;
      const uint32_t flags = isVersion1(version()) ? 0 : w.word(label.substr(0, label.size() - 5) + ".flags");
      isSize = (metadata && isVersion2(version())) || (flags & (metadata ? 0x10u : 1u)) == 0;
    }
    const bool isScaleCount = isVersion1(version()) && label == "b0.ipt.0.dim.5";
    if (!isCount && !isSize && !isScaleCount) continue;
    for (const uint32_t value : {0xFFFFFFFFu, 0x7FFFFFFFu, 0x00100000u}) expectRefused(w, label, value);
    ++checked;
  }
  EXPECT_GT(checked, version() >= 0x50000 ? 40u : isVersion1(version()) ? 8u : 15u);
}

TEST_P(CorruptionTest, EveryBoundaryAndTagIsChecked) {
  if (isVersion1(version())) GTEST_SKIP() << "version 1 has neither boundaries nor tags";
  const zrbw::Written w = zrbw::write(sampleModel(version()));
  size_t boundaries = 0;
  for (const auto& [label, offset] : w.offsets) {
    if (endsWith(label, ".tag")) expectRefused(w, label, 0x41424344, tagMessage(version(), label));
    if (!endsWith(label, "boundary") && !endsWith(label, ".end")) continue;
    expectRefused(w, label, 0x12345679, boundaryMessage(version(), label));
    // Version 2 takes the boundary in one byte order only.
    if (isVersion2(version())) expectRefused(w, label, 0x78563412, boundaryMessage(version(), label));
    ++boundaries;
  }
  EXPECT_GT(boundaries, version() >= 0x50000 ? 30u : 12u);
}

TEST_P(CorruptionTest, SectionBinaryMustLieInsideTheFile) {
  const zrbw::Written w = zrbw::write(sampleModel(version()));
  if (version() < 0x30000) {
    // The size field of versions 1 and 2 is a word.
    zrbw::Written bad = w;
    bad.setWord("b0.bin.0.size", static_cast<uint32_t>(w.bytes.size()));
    fixChecksum(bad);
    LogCapture log;
    EXPECT_FALSE(load(bad.bytes, !isVersion1(version())));
    if (isVersion1(version())) {
      EXPECT_NE(stderr_.find("runs past the end of the file"), std::string::npos) << stderr_;
    } else {
      EXPECT_EQ(log.count("lies outside the file"), 1u) << log.text();
    }
    return;
  }
  for (uint64_t size : {uint64_t{0xFFFFFFFFFFFFFFF0u}, uint64_t{1} << 40, uint64_t{w.bytes.size()}}) {
    zrbw::Written bad = w;
    bad.setLongWord("b0.bin.0.size", size);
    bad.fixChecksum();
    for (const bool keep : {true, false}) {
      LogCapture log;
      EXPECT_FALSE(load(bad.bytes, keep));
      EXPECT_EQ(log.count(keep ? "lies outside the file" : "Failed to read section binary ("), 1u) << log.text();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, CorruptionTest, ::testing::ValuesIn(kAllVersions), versionParamName);

// What versions 5 and 6 check of their header and checksum, and what a
// failed bundle leaves.
using HeaderCorruptionTest = CorruptionTest;

TEST_P(HeaderCorruptionTest, HeaderFaultsFailVerification) {
  const zrbw::Written w = zrbw::write(sampleModel(version()));
  {
    zrbw::Written bad = w;
    bad.bytes[1] = 'X';
    bad.fixChecksum();
    LogCapture log;
    EXPECT_FALSE(load(bad.bytes));
    EXPECT_EQ(log.count("Validation Failed, Wrong Magic!"), 1u);
  }
  {
    zrbw::Written bad = w;
    bad.bytes[w.bytes.size() / 2] ^= 0x40;
    LogCapture log;
    EXPECT_FALSE(load(bad.bytes));
    EXPECT_EQ(log.count("Validation Failed, Total Checksum Error!"), 1u);
    bad.fixChecksum();  // the new byte sum makes it whole again
    EXPECT_TRUE(load(bad.bytes));
  }
  {
    // A version-6 layout labelled 0x50000 is checked against the word at 16,
    // which is then the extension word; the converse holds for version 5.
    zrbw::Written bad = w;
    bad.setWord("version", version() == 0x60000 ? 0x50000 : 0x60000);
    bad.fixChecksum();
    LogCapture log;
    EXPECT_FALSE(load(bad.bytes));
    EXPECT_EQ(log.count("Validation Failed, Total Checksum Error!"), 1u);
  }
}

TEST_P(HeaderCorruptionTest, FailedBoundaryKeepsMetadataButNoBundles) {
  zrbw::Model source = sampleModel(version());
  source.bundles[0].inputs.push_back(source.bundles[0].inputs[1]);
  source.bundles[0].inputs.push_back(source.bundles[0].inputs[1]);
  zrbw::Written w = zrbw::write(source);
  w.setWord("b0.ipt.2.boundary", 0x12345678);
  w.fixChecksum();
  zrb::ZRB good;
  EXPECT_TRUE(good.load(save(w.bytes, "good.zrb")));
  w.setWord("b0.ipt.2.boundary", 0);
  w.fixChecksum();
  zrb::ZRB model;
  LogCapture log;
  EXPECT_FALSE(model.load(save(w.bytes)));
  EXPECT_EQ(log.count("Boundary has been compromised (Input)."), 1u);
  EXPECT_EQ(model.getMetadata().size(), 2u);
  EXPECT_TRUE(model.getBundles().empty());
  EXPECT_EQ(model.getFormatVersion(), version());
}

TEST_P(HeaderCorruptionTest, CutFileReadsOnToTheNextCheck) {
  const zrbw::Written w = zrbw::write(sampleModel(version()));
  // Where the file ends (checksum made whole) and the check that then fails;
  // none after the bundle count, which must still not read as no bundles.
  const std::vector<std::pair<std::string, std::string>> cuts = {
      {"mma.tag", "Wrong ZRB Metadata Magic (0x0)."},
      {"bdy.tag", "Wrong ZRB Body Magic (0x0)."},
      {"bdy.count", ""},
      {"b0.ipt.1.boundary", "Boundary has been compromised (Input)."},
      {"b0.ipt.boundary", "Boundary has been compromised (Inputs)."},
      {"b0.opt.tag", "Wrong Body Output Magic (0x0)."},
      {"b1.boundary", "Boundary has been compromised (ZRB Bundle)."},
  };
  for (const auto& [label, message] : cuts) {
    zrbw::Written cut = w;
    cut.truncate(w.at(label));
    cut.fixChecksum();
    zrb::ZRB model;
    LogCapture log;
    EXPECT_FALSE(model.load(save(cut.bytes))) << label;
    EXPECT_GE(log.count("Failed to read zrb, 0 != 1"), 1u) << label << ": " << log.text();
    if (!message.empty()) {
      EXPECT_EQ(log.count(message), 1u) << label << ": " << log.text();
    }
    EXPECT_TRUE(model.getBundles().empty()) << label;
  }
}

TEST_P(HeaderCorruptionTest, LengthPastTheEndReadsShortToTheEntryBoundary) {
  const zrbw::Written w = zrbw::write(sampleModel(version()));
  ASSERT_EQ(w.word("mma.0.flags") & 0x10u, 0u);  // the payload is in the file
  // A payload reads short in bytes (what was left after its size word), a
  // name as one item.
  const std::string payloadShort =
      "Failed to read zrb, " + std::to_string(w.bytes.size() - w.at("mma.0.size") - 4) + " != 4294967280";
  const std::vector<std::tuple<std::string, std::string, std::string>> lengths = {
      {"mma.0.size", payloadShort, "Boundary has been compromised (Metadatum)."},
      {"b0.ipt.0.name_length", "Failed to read zrb, 0 != 1", "Boundary has been compromised (Input)."},
      {"b0.sql.0.name_length", "Failed to read zrb, 0 != 1", "Boundary has been compromised (SequenceLength)."},
  };
  for (const auto& [label, shortRead, message] : lengths) {
    zrbw::Written bad = w;
    bad.setWord(label, 0xFFFFFFF0u);
    bad.fixChecksum();
    zrb::ZRB model;
    LogCapture log;
    EXPECT_FALSE(model.load(save(bad.bytes))) << label;
    EXPECT_GE(log.count(shortRead), 1u) << label << ": " << log.text();
    EXPECT_EQ(log.count("bytes asked"), 0u) << label << ": " << log.text();
    EXPECT_EQ(log.count(message), 1u) << label << ": " << log.text();
    EXPECT_TRUE(model.getBundles().empty()) << label;
    // Model-level metadata is stored once its list was read whole.
    EXPECT_EQ(model.getMetadata().empty(), label == "mma.0.size") << label;
  }
}

TEST_P(HeaderCorruptionTest, ExtractedBinaryPastTheEndFailsAtItsShortChunk) {
  constexpr uint64_t kChunk = 0x200000;
  // More than one chunk after the payload's start, so the short one is not the first.
  const zrbw::Written w = zrbw::write(sampleModel(version(), 3 * kChunk / 2 + 123));
  const uint64_t left = w.bytes.size() - w.at("b0.bin.0.payload");
  ASSERT_GT(left, kChunk);
  for (const uint64_t size : {left + 1, left + kChunk, uint64_t{1} << 40}) {
    zrbw::Written bad = w;
    bad.setLongWord("b0.bin.0.size", size);
    bad.fixChecksum();
    const uint64_t whole = left / kChunk * kChunk;  // read in full chunks first
    const std::string message = "Failed to read section binary (" + std::to_string(left - whole) + " vs " +
                                std::to_string(std::min(size - whole, kChunk)) + ")";
    zrb::ZRB model;
    LogCapture log;
    EXPECT_FALSE(model.load(save(bad.bytes)));
    EXPECT_EQ(log.count(message), 1u) << size << ": " << log.text();
  }
}

TEST_P(HeaderCorruptionTest, UnreadableFileFailsTheChecksumEvenWhenStoredSumIsZero) {
  zrbw::Written w = zrbw::write(sampleModel(version()));
  w.setWord("checksum", 0);
  const std::string path = save(w.bytes);
  zrb::LoaderV2 loader(path);
  ASSERT_TRUE(loader.isOpen());
  // The file shrinks after it was measured: the checksum pass reads short.
  fs::resize_file(path, 24);
  LogCapture log;
  EXPECT_FALSE(version() == 0x60000 ? zrb::v6::verify(loader) : zrb::v5::verify(loader));
  EXPECT_EQ(log.count("Failed to read zrb for checksum"), 1u);
  EXPECT_EQ(log.count("Validation Failed, Total Checksum Error!"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Versions, HeaderCorruptionTest, ::testing::Values(0x60000u, 0x50000u), versionParamName);

}  // namespace
}  // namespace kestrane::test
