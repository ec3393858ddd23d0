// Bad files: every corruption is refused with its message, and no cut,
// inflated count or stray word makes the reader crash, allocate without
// bound or write outside the model's temporary directory.

#include <regex>

#include "zrb/readers.h"
#include "zrb_fixture.h"

namespace kestrane::test {
namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The name a boundary is reported with, from the label's list and depth.
std::string boundaryName(const std::string& label) {
  static const std::vector<std::pair<std::regex, std::string>> names = {
      {std::regex(R"((mma|b\d+\.mta)\.\d+\.boundary)"), "Metadatum"},
      {std::regex(R"((mma|b\d+\.mta)\.boundary)"), "Metadata"},
      {std::regex(R"(b\d+\.cre\.\d+\.boundary)"), "Core"},
      {std::regex(R"(b\d+\.cre\.boundary)"), "Cores"},
      {std::regex(R"(b\d+\.ipt\.\d+\.boundary)"), "Input"},
      {std::regex(R"(b\d+\.ipt\.boundary)"), "Inputs"},
      {std::regex(R"(b\d+\.opt\.\d+\.boundary)"), "Output"},
      {std::regex(R"(b\d+\.opt\.boundary)"), "Outputs"},
      {std::regex(R"(b\d+\.sql\.\d+\.(in|out)\..*boundary)"), "SequenceLengthAxis"},
      {std::regex(R"(b\d+\.sql\.\d+\.boundary)"), "SequenceLength"},
      {std::regex(R"(b\d+\.sql\.boundary)"), "SequenceLengths"},
      {std::regex(R"(b\d+\.bin\.\d+\.boundary)"), "Section Binary, 0x12345679"},
      {std::regex(R"(b\d+\.bin\.boundary)"), "Section Binaries"},
      {std::regex(R"(b\d+\.rmi\.\d+\.boundary)"), "RmemId"},
      {std::regex(R"(b\d+\.rmi\.boundary)"), "RmemIds"},
      {std::regex(R"(b\d+\.cad\.\d+\.boundary)"), "Cache Designation, 0x12345679"},
      {std::regex(R"(b\d+\.cad\.boundary)"), "Cache Designations"},
      {std::regex(R"(b\d+\.boundary)"), "ZRB Bundle"},
  };
  for (const auto& [pattern, name] : names) {
    if (std::regex_match(label, pattern)) return name;
  }
  return "<unknown boundary " + label + ">";
}

std::string tagMessage(const std::string& label) {
  static const std::map<std::string, std::string> messages = {
      {"mma", "Wrong ZRB Metadata Magic"},  {"bdy", "Wrong ZRB Body Magic"},
      {"mta", "Wrong Body Metadata Magic"}, {"cre", "Wrong Core Config Magic"},
      {"ipt", "Wrong Body Input Magic"},    {"opt", "Wrong Body Output Magic"},
      {"sql", "Wrong SequenceLength Magic"}, {"bin", "Wrong Binary Magic"},
      {"rmi", "Wrong RmemId Config Magic"}, {"cad", "Wrong Cache Designation Magic"},
  };
  const std::string list = label.substr(label.size() - 7, 3);  // "<list>.tag"
  return messages.at(list) + " (0x41424344).";
}

class CorruptionTest : public ZrbTest, public ::testing::WithParamInterface<uint32_t> {
 protected:
  // Loads the bytes as a fresh model; the failure must leave nothing behind.
  bool load(const std::vector<uint8_t>& bytes, bool keep = false) {
    zrb::ZRB model;
    const bool ok = model.load(save(bytes), keep);
    expectNothingOutside(model);
    return ok;
  }
  zrbw::Written sample() { return zrbw::write(sampleModel(GetParam())); }
};

TEST_P(CorruptionTest, HeaderFaultsFailVerification) {
  zrbw::Written w = sample();
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
    // Unknown version words never reach a reader; the verifier refuses them itself.
    zrbw::Written bad = w;
    bad.setWord("version", 0x60001);
    bad.fixChecksum();
    const std::string path = save(bad.bytes, "other.zrb");
    zrb::LoaderV2 loader(path);
    LogCapture log;
    EXPECT_FALSE(GetParam() == 0x60000 ? zrb::v6::verify(loader) : zrb::v5::verify(loader));
    EXPECT_EQ(log.count("Validation Failed, Wrong Format Version!"), 1u);
  }
}

TEST_P(CorruptionTest, ChecksumSitsWhereTheVersionWordSays) {
  // A version-6 layout labelled 0x50000 is checked against the word at 16,
  // which is then the extension word; the converse holds for version 5.
  zrbw::Written w = sample();
  w.setWord("version", GetParam() == 0x60000 ? 0x50000 : 0x60000);
  w.fixChecksum();
  LogCapture log;
  EXPECT_FALSE(load(w.bytes));
  EXPECT_EQ(log.count("Validation Failed, Total Checksum Error!"), 1u);
}

TEST_P(CorruptionTest, EveryBoundaryIsChecked) {
  const zrbw::Written w = sample();
  size_t checked = 0;
  for (const auto& [label, offset] : w.offsets) {
    if (!endsWith(label, "boundary")) continue;
    zrbw::Written bad = w;
    bad.setWord(label, 0x12345679);
    bad.fixChecksum();
    LogCapture log;
    EXPECT_FALSE(load(bad.bytes)) << label;
    EXPECT_EQ(log.count("Boundary has been compromised (" + boundaryName(label) + ")."), 1u)
        << label << ": " << log.text();
    ++checked;
  }
  EXPECT_GT(checked, 30u);
}

TEST_P(CorruptionTest, EveryTagIsChecked) {
  const zrbw::Written w = sample();
  for (const auto& [label, offset] : w.offsets) {
    if (!endsWith(label, ".tag")) continue;
    zrbw::Written bad = w;
    bad.setWord(label, 0x41424344);
    bad.fixChecksum();
    LogCapture log;
    EXPECT_FALSE(load(bad.bytes)) << label;
    EXPECT_EQ(log.count(tagMessage(label)), 1u) << label << ": " << log.text();
  }
}

TEST_P(CorruptionTest, FailedBoundaryKeepsMetadataButNoBundles) {
  zrbw::Model source = sampleModel(GetParam());
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
  EXPECT_EQ(model.getFormatVersion(), GetParam());
}

TEST_P(CorruptionTest, TruncationAtEveryLengthFails) {
  // Small payloads: every cut inside the structure matters, not inside the data.
  const zrbw::Written w = zrbw::write(sampleModel(GetParam(), 9, 5));
  for (size_t length = 0; length < w.bytes.size(); ++length) {
    zrbw::Written cut = w;
    cut.truncate(length);
    cut.fixChecksum();
    for (bool keep : {false, true}) {
      LogCapture log;
      ASSERT_FALSE(load(cut.bytes, keep)) << "length " << length;
      ASSERT_GE(log.lines().size() + (length < 8 ? 1 : 0), 1u) << "length " << length;
    }
  }
}

TEST_P(CorruptionTest, EveryInflatedCountOrLengthFails) {
  const zrbw::Written w = sample();
  size_t checked = 0;
  for (const auto& [label, offset] : w.offsets) {
    const bool isCount = endsWith(label, ".count") || endsWith(label, "des_count") || endsWith(label, "name_length");
    // A metadata size is a length only when the payload is in the file.
    const bool isPayloadSize = std::regex_match(label, std::regex(R"((mma|b\d+\.mta)\.\d+\.size)")) &&
                               (w.word(label.substr(0, label.size() - 5) + ".flags") & 0x10u) == 0;
    if (!isCount && !isPayloadSize) continue;
    for (uint32_t value : {0xFFFFFFFFu, 0x7FFFFFFFu, 0x00100000u}) {
      zrbw::Written bad = w;
      bad.setWord(label, value);
      bad.fixChecksum();
      LogCapture log;
      EXPECT_FALSE(load(bad.bytes)) << label << " = " << value;
      EXPECT_FALSE(log.lines().empty()) << label;
    }
    ++checked;
  }
  EXPECT_GT(checked, 40u);
}

TEST_P(CorruptionTest, SectionBinaryMustLieInsideTheFile) {
  const zrbw::Written w = sample();
  for (uint64_t size : {uint64_t{0xFFFFFFFFFFFFFFF0u}, uint64_t{1} << 40, uint64_t{w.bytes.size()}}) {
    zrbw::Written bad = w;
    bad.setLongWord("b0.bin.0.size", size);
    bad.fixChecksum();
    {
      LogCapture log;
      EXPECT_FALSE(load(bad.bytes, true));
      EXPECT_EQ(log.count("lies outside the file"), 1u) << log.text();
    }
    {
      LogCapture log;
      EXPECT_FALSE(load(bad.bytes, false));
      EXPECT_EQ(log.count("Failed to read section binary ("), 1u) << log.text();
    }
  }
}

TEST_P(CorruptionTest, UnreadableFileFailsTheChecksumEvenWhenStoredSumIsZero) {
  zrbw::Written w = sample();
  w.setWord("checksum", 0);
  const std::string path = save(w.bytes);
  zrb::LoaderV2 loader(path);
  ASSERT_TRUE(loader.isOpen());
  // The file shrinks after it was measured: the checksum pass reads short.
  fs::resize_file(path, 24);
  LogCapture log;
  EXPECT_FALSE(GetParam() == 0x60000 ? zrb::v6::verify(loader) : zrb::v5::verify(loader));
  EXPECT_EQ(log.count("Failed to read zrb for checksum"), 1u);
  EXPECT_EQ(log.count("Validation Failed, Total Checksum Error!"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Versions, CorruptionTest, ::testing::Values(0x60000u, 0x50000u),
                         [](const auto& info) { return info.param == 0x60000u ? "V6" : "V5"; });

}  // namespace
}  // namespace kestrane::test
