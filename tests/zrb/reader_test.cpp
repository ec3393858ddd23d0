// Reading valid files of every format version: what is extracted where,
// the keepBinariesInFile form, and the fields each version fills its own
// way. The decoding of every field is checked against the hand-written
// reference files; these tests cover what the sample models add.

#include "utilkit/fs_utils.h"
#include "zrb/readers.h"
#include "zrb_fixture.h"

namespace kestrane::test {
namespace {

std::vector<uint8_t> fileBytes(const std::string& path) {
  std::vector<uint8_t> out;
  EXPECT_TRUE(utilkit::readBinaryFile(path, out)) << path;
  return out;
}

class ReaderTest : public ZrbTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(ReaderTest, ExtractsEveryPayloadWholeIntoItsDirectory) {
  const uint32_t version = GetParam();
  // A payload over the 2 MiB copy buffer arrives whole; empty payloads
  // still get their (empty) files; payload-less entries get none; each
  // bundle's metadata has files of its own that a later bundle leaves alone.
  const zrbw::Model source = sampleModel(version, 3 * 1024 * 1024 + 17);
  zrb::ZRB model;
  ASSERT_TRUE(model.load(save(zrbw::write(source))));
  expectNothingOutside(model);
  EXPECT_EQ(model.getFormatVersion(), version);
  EXPECT_EQ(model.getHeaderWord(), 0xA1B2C3D4u);
  EXPECT_EQ(model.getTargetHardware(), 3u);
  const auto& bundles = model.getBundles();
  ASSERT_EQ(bundles.size(), source.bundles.size());
  std::vector<std::vector<uint8_t>> expected, extracted;
  for (size_t b = 0; b < bundles.size(); ++b) {
    for (const auto& bin : source.bundles[b].section_binaries) {
      if ((bin.flags & 1u) == 0 || isVersion1(version)) expected.push_back(bin.payload);
    }
    for (const auto& bin : bundles[b].section_binaries) {
      EXPECT_FALSE(bin.keep_in_file);
      if (bin.path.empty()) continue;
      EXPECT_EQ(fs::path(bin.path).parent_path(), model.getTempDirectory());
      extracted.push_back(fileBytes(bin.path));
    }
    const auto& metadata = bundles[b].metadata;
    ASSERT_GE(metadata.size(), source.bundles[b].metadata.size());
    for (size_t i = 0; i < source.bundles[b].metadata.size(); ++i) {
      EXPECT_EQ(fs::path(metadata[i].path).parent_path(), model.getTempDirectory());
      EXPECT_EQ(fileBytes(metadata[i].path), source.bundles[b].metadata[i].payload);
    }
  }
  EXPECT_EQ(extracted, expected);
  // Version 2 has no model metadata of its own: it shows the first bundle's.
  if (isVersion2(version)) {
    EXPECT_EQ(model.getMetadata().at(0).path, bundles[0].metadata.at(0).path);
  }
  if (version >= 0x30000) {
    const auto& meta = model.getMetadata();
    ASSERT_EQ(meta.size(), 2u);
    EXPECT_EQ(fileBytes(meta[0].path), source.metadata[0].payload);
    EXPECT_TRUE(meta[1].no_payload);
    EXPECT_TRUE(meta[1].path.empty());
  }
}

// Where each kept binary points is checked against the reference listings.
TEST_P(ReaderTest, KeptBinariesAreNotExtractedAndPointAtAnAbsolutePath) {
  if (isVersion1(GetParam())) GTEST_SKIP() << "version 1 always extracts its binaries";
  const zrbw::Written written = zrbw::write(sampleModel(GetParam()));
  const std::string path = save(written);
  fs::current_path(files_);
  zrb::ZRB model;
  const bool loaded = model.load("model.zrb", true);
  fs::current_path(cwd_);
  ASSERT_TRUE(loaded);
  expectNothingOutside(model);
  EXPECT_FALSE(fs::exists(model.getTempDirectory() / "bundle0_binary0.bin"));
  const zrb::SectionBinary& bin = model.getBundles().at(0).section_binaries.at(0);
  EXPECT_EQ(bin.path, path);
  EXPECT_EQ(bin.offset, written.at("b0.bin.0.payload"));
}

INSTANTIATE_TEST_SUITE_P(Versions, ReaderTest, ::testing::ValuesIn(kAllVersions), versionParamName);

// --- Versions 5 and 6.

using ReaderV56Test = ReaderTest;

TEST_P(ReaderV56Test, EmptyBodyTrailingBytesAndSwappedBoundariesLoad) {
  zrbw::Model source;
  source.version = GetParam();
  source.boundary = zrbw::kSwappedBoundaryWord;
  source.trailing = {1, 2, 3, 4, 5, 6, 7};
  zrb::ZRB empty;
  ASSERT_TRUE(empty.load(save(zrbw::write(source))));
  EXPECT_TRUE(empty.getBundles().empty());
  EXPECT_EQ(empty.getFormatVersion(), GetParam());

  zrbw::Model full = sampleModel(GetParam());
  full.boundary = zrbw::kSwappedBoundaryWord;
  full.trailing = std::vector<uint8_t>(1000, 0xEE);
  zrb::ZRB model;
  ASSERT_TRUE(model.load(save(zrbw::write(full), "full.zrb")));
  EXPECT_EQ(model.getBundles().size(), 2u);
}

TEST_P(ReaderV56Test, ChannelCountsFollowPerChannelFlag) {
  zrbw::Model source = sampleModel(GetParam());
  zrbw::IoEntry& in = source.bundles[0].inputs[1];
  in.flags = zrbw::ioFlags(true, 0, 0, true);
  in.dims[5] = 16;
  in.scales.assign(16, 0.5f);
  in.channel_bytes.assign(16, 9);
  zrbw::IoEntry& out = source.bundles[0].outputs[0];
  out.flags = zrbw::ioFlags(true, 0, 0, true);
  out.dims[5] = 0;  // no channels: no scales, no channel bytes
  out.scales.clear();
  out.channel_bytes.clear();
  const zrb::Bundle b0 = loadFirstBundle(source);
  EXPECT_EQ(b0.inputs[1].scales.size(), 16u);
  EXPECT_EQ(b0.inputs[1].channel_bytes, std::vector<uint8_t>(16, 9));
  EXPECT_TRUE(b0.outputs[0].scales.empty());
  EXPECT_TRUE(b0.outputs[0].channel_bytes.empty());
}

TEST_P(ReaderV56Test, IoTypeFourCarriesNoGroups) {
  zrbw::Model source = sampleModel(GetParam());
  source.bundles[0].inputs[1].extra_words = {1, 1, 2, 3, 4, 0, 0};  // looks like one group
  zrb::ZRB model;
  LogCapture log;
  EXPECT_FALSE(model.load(save(zrbw::write(source))));
  EXPECT_EQ(log.count("Boundary has been compromised (Input)."), 1u);
}

INSTANTIATE_TEST_SUITE_P(Versions, ReaderV56Test, ::testing::Values(0x60000u, 0x50000u), versionParamName);

// --- Version 4: sequence lengths derived from the per-axis words; then
// what version 2 does its own way.

// Sequence-length indices of an entry: height, width, channel.
std::array<int32_t, 3> seqIndex(const zrb::IoEntry& e) {
  return {e.seq_index_height, e.seq_index_width, e.seq_index_channel};
}
using Index = std::array<int32_t, 3>;

using LegacyFormatTest = ZrbTest;

TEST_F(LegacyFormatTest, SequenceLengthsFollowTheFirstAxisWithAWord) {
  const zrb::Bundle b = loadFirstBundle(sampleModel(0x40000));
  ASSERT_EQ(b.sequence_lengths.size(), 2u);
  // Input 0 (S = 0, 5, 7, C = 3): axis 1, max_size 5, the bool set by C.
  const zrb::SequenceLength& s0 = b.sequence_lengths[0];
  EXPECT_EQ(s0.max_size, 5);
  EXPECT_EQ(s0.sequence_type, 0);
  EXPECT_TRUE(s0.flag_bit8);
  EXPECT_EQ(s0.further_words, (std::array<uint32_t, 3>{3, 0, 0}));
  ASSERT_EQ(s0.input_axes.count(0), 1u);
  EXPECT_EQ(s0.input_axes.at(0)[0].axis, 1);
  EXPECT_EQ(s0.input_axes.at(0)[0].multiplier, 1.0f);
  EXPECT_EQ(seqIndex(b.inputs[0]), (Index{-1, 0, -1}));
  EXPECT_EQ(b.inputs[0].seq_extra_word, 3u);
  // The output (S0 = 6) skips sequence length 0, whose input has no word on
  // axis 0, and joins sequence length 1 (input 1, S0 = 4).
  EXPECT_TRUE(s0.output_axes.empty());
  const zrb::SequenceLength& s1 = b.sequence_lengths[1];
  EXPECT_FALSE(s1.flag_bit8);
  ASSERT_EQ(s1.output_axes.count(0), 1u);
  EXPECT_EQ(s1.output_axes.at(0)[0].axis, 0);
  EXPECT_EQ(seqIndex(b.outputs[0]), (Index{1, -1, -1}));
  // RmemIds of type 1 and 2 are listed in every derived sequence length.
  for (const auto& s : b.sequence_lengths) {
    EXPECT_EQ(s.sequence_rmem_ids, (std::vector<int32_t>{0}));
    EXPECT_EQ(s.cache_rmem_ids, (std::vector<int32_t>{1}));
  }
}

TEST_F(LegacyFormatTest, OutputsAttachToTheFirstMatchingInputOnly) {
  zrbw::Model source = sampleModel(0x40000);
  auto& b = source.bundles[0];
  b.inputs[0].seq_lengths = {4, 0, 0};
  b.inputs[1].seq_lengths = {4, 0, 0};
  b.outputs[0].seq_lengths = {4, 0, 0};
  b.outputs.push_back(b.outputs[0]);
  b.outputs[1].seq_lengths = {0, 0, 9};  // no input has a word on axis 2
  const zrb::Bundle read = loadFirstBundle(source);
  ASSERT_EQ(read.sequence_lengths.size(), 2u);
  EXPECT_EQ(read.sequence_lengths[0].output_axes.size(), 1u);
  EXPECT_TRUE(read.sequence_lengths[1].output_axes.empty());
  EXPECT_EQ(seqIndex(read.outputs[0]), (Index{0, -1, -1}));
  EXPECT_EQ(seqIndex(read.outputs[1]), (Index{-1, -1, -1}));
}

TEST_F(LegacyFormatTest, EveryLinkOfAMegabyteFileSharesOneListPerKind) {
  // Thousands of inputs, each opening a sequence length, and thousands of
  // RmemIds, each linked to every length: the lengths must share one list per
  // kind (a list per length would hold inputs x RmemIds entries, gigabytes for
  // a file of one megabyte). Outputs on an axis no input has join nothing.
  zrbw::Model source = sampleModel(0x40000);
  zrbw::Bundle& b = source.bundles[0];
  const size_t inputs = 4000, outputs = 4000, rmemIds = 20000;
  zrbw::IoEntry in = b.inputs[0];
  in.designations.clear();
  in.scales.clear();
  in.io_groups.clear();
  in.dims = {};
  in.flags = 0;
  in.seq_lengths = {4, 0, 0};
  zrbw::IoEntry out = in;
  out.seq_lengths = {0, 0, 9};
  b.inputs.assign(inputs, in);
  b.outputs.assign(outputs, out);
  b.outputs[0].seq_lengths = {3, 0, 0};
  b.rmem_ids.clear();
  for (size_t i = 0; i < rmemIds; ++i) b.rmem_ids.push_back({i % 2 == 0 ? 1u : 2u, static_cast<uint32_t>(i)});
  const zrbw::Written written = zrbw::write(source);
  EXPECT_GT(written.bytes.size(), 700u * 1024);
  EXPECT_LT(written.bytes.size(), 1100u * 1024);
  zrb::ZRB model;
  ASSERT_TRUE(model.load(save(written)));
  const zrb::Bundle& read = model.getBundles().at(0);
  ASSERT_EQ(read.sequence_lengths.size(), inputs);
  const zrb::SequenceLength& first = read.sequence_lengths[0];
  EXPECT_EQ(first.sequence_rmem_ids.size(), rmemIds / 2);
  EXPECT_EQ(first.cache_rmem_ids.size(), rmemIds / 2);
  EXPECT_EQ(first.cache_rmem_ids[0], 1);
  size_t unshared = 0;
  for (const auto& s : read.sequence_lengths) {
    unshared += !s.sequence_rmem_ids.sharesWith(first.sequence_rmem_ids);
    unshared += !s.cache_rmem_ids.sharesWith(first.cache_rmem_ids);
  }
  EXPECT_EQ(unshared, 0u);
  // Only output 0 (axis 0) joins a length: the first one.
  EXPECT_EQ(first.output_axes.size(), 1u);
  EXPECT_EQ(seqIndex(read.outputs[0]), (Index{0, -1, -1}));
  EXPECT_EQ(seqIndex(read.outputs[outputs - 1]), (Index{-1, -1, -1}));
}

TEST_F(LegacyFormatTest, RmemIdsLinkNothingWithoutSequenceLengths) {
  zrbw::Model source = sampleModel(0x40000);
  auto& b = source.bundles[0];
  for (auto* list : {&b.inputs, &b.outputs}) {
    for (auto& e : *list) e.seq_lengths = {0, 0, 0};
  }
  const zrb::Bundle read = loadFirstBundle(source);
  EXPECT_TRUE(read.sequence_lengths.empty());
  EXPECT_EQ(read.rmem_ids.size(), 3u);
  EXPECT_EQ(seqIndex(read.inputs[0]), (Index{-1, -1, -1}));
}

TEST_F(LegacyFormatTest, CacheDesignationWithoutDesignationsGetsOneEmptyEntry) {
  zrbw::Model source = sampleModel(0x40000);
  source.bundles[0].cache_designations.push_back({});
  const zrb::Bundle read = loadFirstBundle(source);
  ASSERT_EQ(read.cache_designations.size(), 2u);
  EXPECT_EQ(read.cache_designations[0].entries.at(0).designations.size(), 2u);
  ASSERT_EQ(read.cache_designations[1].entries.size(), 1u);
  EXPECT_TRUE(read.cache_designations[1].entries[0].designations.empty());
}

// --- Version 2.

TEST_F(LegacyFormatTest, Version2WithoutBundlesHasNoMetadata) {
  zrbw::Model source;
  source.version = 0x20000;
  zrb::ZRB model;
  ASSERT_TRUE(model.load(save(zrbw::write(source))));
  EXPECT_TRUE(model.getBundles().empty());
  EXPECT_TRUE(model.getMetadata().empty());
  EXPECT_TRUE(model.isSupportedHardware());
}

// --- Each verify takes its own version only (5 and 6 too).

TEST_F(LegacyFormatTest, EachVerifyAcceptsOnlyItsOwnVersion) {
  struct Case {
    uint32_t written;
    uint32_t relabelled;
    bool (*verify)(zrb::LoaderV2&);
  };
  const Case cases[] = {{0x40000, 0x30000, &zrb::v4::verify}, {0x40000, 0x50000, &zrb::v4::verify},
                        {0x30000, 0x40000, &zrb::v3::verify}, {0x20002, 0x20003, &zrb::v2::verify},
                        {0x20000, 0x30000, &zrb::v2::verify}, {0x40000, 0x40001, &zrb::v4::verify},
                        // Unknown version words never reach a reader; the verifier refuses them itself.
                        {0x60000, 0x60001, &zrb::v6::verify}, {0x50000, 0x60001, &zrb::v5::verify}};
  for (const Case& c : cases) {
    zrbw::Written w = zrbw::write(sampleModel(c.written));
    const std::string good = save(w.bytes, "good.zrb");
    w.setWord("version", c.relabelled);
    w.fixChecksum();
    const std::string bad = save(w.bytes, "bad.zrb");
    zrb::LoaderV2 goodLoader(good), badLoader(bad);
    EXPECT_TRUE(c.verify(goodLoader)) << std::hex << c.written;
    LogCapture log;
    EXPECT_FALSE(c.verify(badLoader)) << std::hex << c.relabelled;
    EXPECT_EQ(log.count("Validation Failed, Wrong Format Version!"), 1u);
  }
}

}  // namespace
}  // namespace kestrane::test
