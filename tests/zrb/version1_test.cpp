// Format version 1: its four kinds of checksum, the sub-version rules for
// core ids and the payload-less binary, the designations made from the
// hardware description, and the bounds of its offset arithmetic.

#include "utilkit/fs_utils.h"
#include "zrb/readers.h"
#include "zrb_fixture.h"

namespace kestrane::test {
namespace {

class Version1Test : public ZrbTest {
 protected:
  // Loads the file and returns what went to the standard error stream.
  std::string loadCapturingStderr(const std::vector<uint8_t>& bytes, bool expected) {
    zrb::ZRB model;
    const std::string path = save(bytes);
    ::testing::internal::CaptureStderr();
    const bool ok = model.load(path);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(ok, expected) << err;
    EXPECT_EQ(zrb::v1::verify(path), expected);
    return err;
  }
};

TEST_F(Version1Test, EachChecksumKindFailsAlone) {
  const zrbw::Written good = zrbw::write(sampleModel(0x10001));
  EXPECT_EQ(loadCapturingStderr(good.bytes, true), "");
  const std::pair<const char*, const char*> kinds[] = {
      {"checksum", "Validation Failed, Total Checksum Error!\n"},
      {"b0.ipt.1.scale_checksum", "Validation Failed, Input Scale Checksum Error!\n"},
      {"b0.opt.0.scale_checksum", "Validation Failed, Output Scale Checksum Error!\n"},
      {"b0.bin.2.checksum", "Validation Failed, Binary Candidates Checksum Error!\n"},
  };
  for (const auto& [label, message] : kinds) {
    zrbw::Written bad = good;
    bad.setWord(label, good.word(label) + 1);
    if (std::string(label) != "checksum") bad.fixChecksum();  // only the one kind is wrong
    EXPECT_EQ(loadCapturingStderr(bad.bytes, false), message) << label;
  }
}

TEST_F(Version1Test, VerifyAcceptsOnlyVersion1) {
  zrbw::Written w = zrbw::write(sampleModel(0x10002));
  w.setWord("version", 0x10003);
  w.fixChecksum();
  const std::string path = save(w);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(zrb::v1::verify(path));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Validation Failed, Wrong Format Version!\n");
}

TEST_F(Version1Test, PerChannelFlagSetsTheEntryLength) {
  // Per channel without channels: no scales at all.
  zrbw::Model source = sampleModel(0x10000);
  zrbw::IoEntry& out = source.bundles[0].outputs[0];
  out.flags = 1;
  out.dims[5] = 0;
  out.scales.clear();
  EXPECT_TRUE(loadFirstBundle(source, "none.zrb").outputs.at(0).scales.empty());
  zrbw::IoEntry& in = source.bundles[0].inputs[1];
  for (const bool perChannel : {false, true}) {
    in.flags = perChannel ? 1u : 0u;
    in.scales.assign(perChannel ? 16 : 1, 0.5f);
    const zrbw::Written w = zrbw::write(source);
    EXPECT_EQ(w.at("b0.opt.ignored") - w.at("b0.ipt.1.address"), perChannel ? 108u : 48u);
    const zrb::Input read = loadFirstBundle(source, perChannel ? "set.zrb" : "clear.zrb").inputs.at(1);
    EXPECT_EQ(read.scales.size(), perChannel ? 16u : 1u);
    EXPECT_EQ(read.channel_bytes, std::vector<uint8_t>(read.scales.size(), 0));
    EXPECT_EQ(read.reshaped_channel, 16u);
    EXPECT_EQ(read.io_type, 0);
  }
}

TEST_F(Version1Test, PayloadLessBinaryNeedsALastCoreWithAFirstValue) {
  zrbw::Model source = sampleModel(0x10002);
  const auto binaries = loadFirstBundle(source, "value.zrb").section_binaries;
  ASSERT_EQ(binaries.size(), 4u);
  EXPECT_TRUE(binaries[0].no_payload);
  EXPECT_EQ(binaries[0].size, 0x100000u);  // low 32 bits of 0x700100000
  source.bundles[0].cores[1].values[0] = 0;
  EXPECT_EQ(loadFirstBundle(source, "zero.zrb").section_binaries.size(), 3u);
  source.bundles[0].cores.clear();  // no last core at all
  const auto none = loadFirstBundle(source, "none.zrb").section_binaries;
  ASSERT_EQ(none.size(), 3u);
  EXPECT_FALSE(none[0].no_payload);
}

TEST_F(Version1Test, FailureToWriteABinaryFailsTheLoad) {
  zrb::ZRB model;
  // A directory where the second candidate's file must go.
  fs::create_directory(model.getTempDirectory() / "binary1.bin");
  LogCapture log;
  EXPECT_FALSE(model.load(save(zrbw::write(sampleModel(0x10001)))));
  EXPECT_EQ(log.count("Failed to write a section binary file"), 1u) << log.text();
  EXPECT_TRUE(model.getBundles().empty());
}

TEST_F(Version1Test, FileTooShortForHeaderAndChecksumIsRefused) {
  const zrbw::Written w = zrbw::write(sampleModel(0x10000));
  for (size_t length = 8; length < 28; ++length) {
    std::vector<uint8_t> bytes(w.bytes.begin(), w.bytes.begin() + static_cast<long>(length));
    EXPECT_NE(loadCapturingStderr(bytes, false).find("Validation Failed"), std::string::npos) << length;
  }
  // Exactly a header with no cores and empty sections would still need its
  // three section heads.
  std::vector<uint8_t> header(w.bytes.begin(), w.bytes.begin() + 28);
  header[20] = header[21] = header[22] = header[23] = 0;
  uint32_t sum = zrb::byteSum(header.data(), 24);
  std::memcpy(header.data() + 24, &sum, 4);
  EXPECT_NE(loadCapturingStderr(header, false).find("runs past the end"), std::string::npos);
}

TEST_F(Version1Test, MissingFileFailsWithoutMessage) {
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(zrb::v1::verify((files_ / "absent.zrb").string()));
  zrb::ZRB model;
  EXPECT_FALSE(zrb::v1::load((files_ / "absent.zrb").string(), model));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace kestrane::test
