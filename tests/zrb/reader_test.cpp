// Reading valid files of format versions 5 and 6: what each field becomes,
// what is extracted where, and the keepBinariesInFile form.

#include <cstring>

#include "utilkit/fs_utils.h"
#include "zrb_fixture.h"

namespace kestrane::test {
namespace {

std::vector<uint8_t> fileBytes(const std::string& path) {
  std::vector<uint8_t> out;
  EXPECT_TRUE(utilkit::readBinaryFile(path, out)) << path;
  return out;
}

std::vector<uint8_t> fileSlice(const std::string& path, uint64_t offset, uint64_t size) {
  const auto all = fileBytes(path);
  if (offset + size > all.size()) return {};
  return {all.begin() + static_cast<long>(offset), all.begin() + static_cast<long>(offset + size)};
}

class ReaderTest : public ZrbTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(ReaderTest, RoundTripsEveryField) {
  const uint32_t version = GetParam();
  const bool v6 = version == 0x60000;
  const zrbw::Model source = sampleModel(version, 3 * 1024 * 1024 + 17);
  const std::string path = save(zrbw::write(source));
  zrb::ZRB model;
  ASSERT_TRUE(model.load(path));
  expectNothingOutside(model);

  EXPECT_EQ(model.getFormatVersion(), version);
  EXPECT_EQ(model.getHeaderWord(), 0xA1B2C3D4u);
  EXPECT_EQ(model.getTargetHardware(), 3u);
  EXPECT_EQ(model.getHeaderWordExt(), v6 ? 0x0BADF00Du : 0u);

  const auto& meta = model.getMetadata();
  ASSERT_EQ(meta.size(), 2u);
  EXPECT_EQ(fs::path(meta[0].path), model.getTempDirectory() / "model_meta0.bin");
  EXPECT_EQ(fileBytes(meta[0].path), source.metadata[0].payload);
  EXPECT_EQ(meta[0].kind, 3);
  EXPECT_TRUE(meta[0].flag0);
  EXPECT_TRUE(meta[1].no_payload);
  EXPECT_EQ(meta[1].size, 100u);
  EXPECT_TRUE(meta[1].path.empty());
  EXPECT_FALSE(fs::exists(model.getTempDirectory() / "model_meta1.bin"));

  const auto& bundles = model.getBundles();
  ASSERT_EQ(bundles.size(), 2u);
  const zrb::Bundle& b0 = bundles[0];
  EXPECT_EQ(b0.bundle_word, 9u);
  ASSERT_EQ(b0.metadata.size(), 1u);
  EXPECT_EQ(fs::path(b0.metadata[0].path), model.getTempDirectory() / "model0_meta0.bin");
  EXPECT_EQ(fileBytes(b0.metadata[0].path), source.bundles[0].metadata[0].payload);

  ASSERT_EQ(b0.cores.size(), 2u);
  EXPECT_EQ(b0.cores[1].core_id, (CoreId{Cluster::Cluster1, Core::Core1}));
  EXPECT_EQ(b0.cores[1].mode, 2u);

  ASSERT_EQ(b0.inputs.size(), 2u);
  const zrb::Input& in0 = b0.inputs[0];
  EXPECT_EQ(in0.name, "image");
  ASSERT_EQ(in0.designations.size(), 2u);
  EXPECT_EQ(in0.designations[0].address, 0x100002000u);
  EXPECT_EQ(in0.designations[0].memory_type, 5u);
  EXPECT_TRUE(in0.designations[0].flag);
  // 0x1960: supported modes 1, 2, 4 and both clusters.
  EXPECT_EQ(in0.designations[1].core_config.supported_modes, (std::vector<uint32_t>{1, 2, 4}));
  EXPECT_EQ(in0.designations[1].core_config.clusters, (std::vector<uint32_t>{0x10000, 0x20000}));
  EXPECT_EQ(in0.designations[1].core_id, CoreId{});
  EXPECT_EQ(in0.scales, (std::vector<float>{0.5f, 0.25f, 2.0f}));
  EXPECT_EQ(in0.channel_bytes, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(in0.bit_list, (std::vector<uint8_t>{0, 2}));  // 0x00028005: bit 15 is the nibble's
  EXPECT_EQ(in0.word2_nibble, 5);
  ASSERT_EQ(in0.io_groups.size(), 2u);
  EXPECT_EQ(in0.io_groups[1].third, (std::vector<uint32_t>{9}));
  EXPECT_EQ(in0.channel, 16u);
  EXPECT_EQ(in0.seq_index_height, 0);
  EXPECT_EQ(in0.seq_index_width, -1);
  EXPECT_EQ(in0.aux_word, v6 ? 0x99u : 0u);
  // Per-tensor scale of a 16-channel input; one zero channel byte to match.
  EXPECT_EQ(b0.inputs[1].scales, (std::vector<float>{1.0f}));
  EXPECT_EQ(b0.inputs[1].channel_bytes, (std::vector<uint8_t>{0}));
  EXPECT_TRUE(b0.inputs[1].io_groups.empty());
  ASSERT_EQ(b0.outputs.size(), 1u);
  EXPECT_EQ(b0.outputs[0].name, "logits");
  EXPECT_EQ(b0.outputs[0].kind, 7);
  EXPECT_EQ(b0.outputs[0].seq_index_width, 1);

  ASSERT_EQ(b0.sequence_lengths.size(), 1u);
  const zrb::SequenceLength& seq = b0.sequence_lengths[0];
  EXPECT_EQ(seq.sequence_type, 2);
  EXPECT_TRUE(seq.flag_bit8);
  EXPECT_EQ(seq.max_size, 64);
  EXPECT_EQ(seq.further_words, (std::array<uint32_t, 3>{7, 8, v6 ? 9u : 0u}));
  ASSERT_EQ(seq.input_axes.size(), 2u);
  ASSERT_EQ(seq.input_axes.at(1).size(), 2u);
  EXPECT_EQ(seq.input_axes.at(1)[1].axis, 1);
  EXPECT_EQ(seq.input_axes.at(1)[1].axis_type, 2);
  EXPECT_EQ(seq.input_axes.at(0)[0].offset, 0.5f);
  EXPECT_EQ(seq.output_axes.at(0).size(), 1u);
  EXPECT_EQ(seq.cache_rmem_ids, (std::vector<int32_t>{1}));

  ASSERT_EQ(b0.section_binaries.size(), 2u);
  const zrb::SectionBinary& bin = b0.section_binaries[0];
  EXPECT_EQ(fs::path(bin.path), model.getTempDirectory() / "bundle0_binary0.bin");
  EXPECT_EQ(fileBytes(bin.path), source.bundles[0].section_binaries[0].payload);
  EXPECT_EQ(bin.memory_type, 3u);
  EXPECT_EQ(bin.attribute, 0x5A);
  EXPECT_TRUE(bin.flag_bit1);
  EXPECT_FALSE(bin.keep_in_file);
  EXPECT_TRUE(b0.section_binaries[1].no_payload);
  EXPECT_EQ(b0.section_binaries[1].size, 0x1000u);
  EXPECT_TRUE(b0.section_binaries[1].path.empty());

  ASSERT_EQ(b0.rmem_ids.size(), 2u);
  EXPECT_EQ(b0.rmem_ids[1].multiplier, 0.5f);

  ASSERT_EQ(b0.cache_designations.size(), 1u);
  const zrb::CacheDesignation& cad = b0.cache_designations[0];
  EXPECT_EQ(cad.size, 0x100u);
  if (v6) {
    EXPECT_EQ(cad.cache_type, 1);
    EXPECT_EQ(cad.name, "kv");
    EXPECT_TRUE(cad.designations.empty());
    ASSERT_EQ(cad.entries.size(), 2u);
    EXPECT_EQ(cad.entries[1].value, 43u);
    EXPECT_EQ(cad.entries[1].designations.size(), 2u);
  } else {
    // Version 5 has one entry holding a copy of the record's designations.
    EXPECT_EQ(cad.cache_type, 0);
    EXPECT_TRUE(cad.name.empty());
    ASSERT_EQ(cad.designations.size(), 2u);
    ASSERT_EQ(cad.entries.size(), 1u);
    EXPECT_EQ(cad.entries[0].value, 0u);
    ASSERT_EQ(cad.entries[0].designations.size(), 2u);
    EXPECT_EQ(cad.entries[0].designations[1].address, cad.designations[1].address);
  }

  // A payload over the 2 MiB copy buffer arrives whole.
  const zrb::SectionBinary& big = bundles[1].section_binaries.at(0);
  EXPECT_EQ(fs::path(big.path), model.getTempDirectory() / "bundle1_binary0.bin");
  EXPECT_EQ(fileBytes(big.path), source.bundles[1].section_binaries[0].payload);
  // Empty payloads still get their (empty) files.
  EXPECT_TRUE(fileBytes(bundles[1].section_binaries.at(1).path).empty());
  EXPECT_TRUE(fileBytes(bundles[1].metadata.at(0).path).empty());
}

TEST_P(ReaderTest, KeptBinariesPointAtTheirPayloadInTheFile) {
  const zrbw::Model source = sampleModel(GetParam(), 2 * 1024 * 1024 + 5);
  const zrbw::Written written = zrbw::write(source);
  const std::string path = save(written);
  zrb::ZRB model;
  ASSERT_TRUE(model.load(path, true));
  expectNothingOutside(model);
  EXPECT_FALSE(fs::exists(model.getTempDirectory() / "bundle0_binary0.bin"));
  const auto& b0 = model.getBundles().at(0).section_binaries;
  const auto& b1 = model.getBundles().at(1).section_binaries;
  EXPECT_EQ(b0[0].path, fs::absolute(path).string());
  EXPECT_TRUE(b0[0].keep_in_file);
  EXPECT_EQ(b0[0].offset, written.at("b0.bin.0.payload"));
  EXPECT_EQ(fileSlice(path, b0[0].offset, b0[0].size), source.bundles[0].section_binaries[0].payload);
  EXPECT_EQ(fileSlice(path, b1[0].offset, b1[0].size), source.bundles[1].section_binaries[0].payload);
  // No payload: nothing to point at, but the option is still recorded.
  EXPECT_TRUE(b0[1].keep_in_file);
  EXPECT_TRUE(b0[1].path.empty());
  EXPECT_EQ(b0[1].offset, 0u);
}

TEST_P(ReaderTest, RelativePathBecomesAbsoluteForKeptBinaries) {
  const std::string path = save(zrbw::write(sampleModel(GetParam())));
  fs::current_path(files_);
  zrb::ZRB model;
  const bool loaded = model.load("model.zrb", true);
  fs::current_path(cwd_);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(model.getBundles()[0].section_binaries[0].path, path);
}

TEST_P(ReaderTest, EmptyBodyTrailingBytesAndSwappedBoundariesLoad) {
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

TEST_P(ReaderTest, ChannelCountsFollowPerChannelFlag) {
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
  zrb::ZRB model;
  ASSERT_TRUE(model.load(save(zrbw::write(source))));
  const auto& b0 = model.getBundles()[0];
  EXPECT_EQ(b0.inputs[1].scales.size(), 16u);
  EXPECT_EQ(b0.inputs[1].channel_bytes, std::vector<uint8_t>(16, 9));
  EXPECT_TRUE(b0.outputs[0].scales.empty());
  EXPECT_TRUE(b0.outputs[0].channel_bytes.empty());
}

TEST_P(ReaderTest, IoTypeFourCarriesNoGroups) {
  zrbw::Model source = sampleModel(GetParam());
  source.bundles[0].inputs[1].extra_words = {1, 1, 2, 3, 4, 0, 0};  // looks like one group
  zrb::ZRB model;
  LogCapture log;
  EXPECT_FALSE(model.load(save(zrbw::write(source))));
  EXPECT_EQ(log.count("Boundary has been compromised (Input)."), 1u);
}

INSTANTIATE_TEST_SUITE_P(Versions, ReaderTest, ::testing::Values(0x60000u, 0x50000u),
                         [](const auto& info) { return info.param == 0x60000u ? "V6" : "V5"; });

}  // namespace
}  // namespace kestrane::test
