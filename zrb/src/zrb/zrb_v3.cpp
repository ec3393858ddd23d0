// Format version 3: version 4 without "@RMI" and "@CAD", with core entries
// that carry three 64-bit values and a mode word of another bit layout, and
// with inputs and outputs that have no second flags word, no fourth sequence
// word and no channel bytes.

#include "legacy_io.h"
#include "tagged_reader.h"
#include "zrb/readers.h"

namespace kestrane::zrb {

namespace {

using detail::SequenceDerivation;
using detail::TaggedReader;

constexpr uint64_t kCoreBytes = 36;
// Name length, designation count, size, flags, S0-S2, nine shape words,
// one ignored word and the boundary.
constexpr uint64_t kIoBytes = 4 + 4 + 8 + 4 + 12 * 4 + 4 + 4;
constexpr uint64_t kBundleBytes = 16 + 4 * 12 + 4;

// Supported modes (bits 12-15) and clusters (bits 18, 19) of a version-3
// mode word.
void decodeModeLists(uint32_t modeWord, CoreConfig& config) {
  for (uint32_t mode = 1; mode <= 4; ++mode) {
    if (modeWord & (1u << (11 + mode))) config.supported_modes.push_back(mode);
  }
  if (modeWord & (1u << 18)) config.clusters.push_back(static_cast<uint32_t>(Cluster::Cluster0));
  if (modeWord & (1u << 19)) config.clusters.push_back(static_cast<uint32_t>(Cluster::Cluster1));
}

CoreConfig core(TaggedReader& r) {
  const uint32_t coreWord = r.word();
  const uint32_t modeWord = r.word();
  const uint64_t value0 = r.longWord();
  const uint64_t value1 = r.longWord();
  const uint64_t value2 = r.longWord();
  r.boundary(detail::kCores.entryName);
  CoreConfig config = detail::legacyCoreMode(modeWord);
  config.core_id = detail::coreIdOf(coreWord);
  config.value0 = value0;
  config.value1 = value1;
  config.value2 = value2;
  decodeModeLists(modeWord, config);
  return config;
}

// The mode is kept as read here, 3 included.
Designation designation(TaggedReader& r) {
  Designation d;
  d.core_config.core_id = detail::coreIdOf(r.word());
  const uint32_t modeWord = r.word();
  d.core_config.mode = modeWord & 3u;
  decodeModeLists(modeWord, d.core_config);
  const uint32_t flags = r.word();
  d.flag = flags & 1u;
  d.memory_type = (flags >> 1) & 0x3Fu;
  r.ignoreWords(1);
  d.address = r.longWord();
  return d;
}

std::vector<Designation> designations(TaggedReader& r) {
  return r.entries(detail::kDesignationBytes, [&](uint32_t) { return designation(r); });
}

// Everything before the scales.
void ioHead(TaggedReader& r, IoEntry& e) {
  e.name = r.string();
  e.designations = designations(r);
  e.size = r.longWord();
  const uint32_t flags = r.word();
  e.per_channel = flags & 1u;
  e.io_type = (flags >> 1) & 7u;
  e.kind = static_cast<uint8_t>(flags >> 4);
  e.seq_length_height = r.word();
  e.seq_length_width = r.word();
  e.seq_length_channel = r.word();
  r.shapeWords(e);
}

template <typename Io>
void ioTail(TaggedReader& r, Io& e, const char* boundaryName) {
  r.scales(e);
  r.ignoreWords(1);
  r.ioGroups(e, 2);
  r.boundary(boundaryName);
  detail::completeLegacyIo(e);
}

SectionBinary sectionBinary(TaggedReader& r, size_t b, size_t j) {
  SectionBinary bin;
  const uint32_t flags = r.word();
  bin.no_payload = flags & 1u;
  bin.flag_bit1 = flags & 2u;
  bin.memory_type = (flags >> 2) & 0x1Fu;
  bin.attribute = static_cast<uint8_t>(flags >> 8);
  bin.designations = designations(r);
  bin.size = r.longWord();
  r.payload(bin, b, j);
  r.ignoreWords(1);
  r.boundary(detail::kSectionBinaries.entryName);
  return bin;
}

Bundle readBundle(TaggedReader& r, size_t b) {
  using namespace detail;
  Bundle bundle;
  SequenceDerivation derived(false);
  r.tag(kBundleMetadata);
  const uint32_t metadataCount = r.count(kMetadatumBytes);
  bundle.setBundleWord(r.word());
  bundle.setMetadata(r.metadataEntries(metadataCount, "model" + std::to_string(b) + "_meta"));
  r.boundary(kBundleMetadata.listName);

  bundle.setCores(r.list(kCores, kCoreBytes, [&](uint32_t) { return core(r); }));
  bundle.setInputs(r.list(kInputs, kIoBytes, [&](uint32_t i) {
    Input input;
    ioHead(r, input);
    derived.addInput(input, static_cast<int32_t>(i));
    ioTail(r, input, kInputs.entryName);
    return input;
  }));
  bundle.setOutputs(r.list(kOutputs, kIoBytes, [&](uint32_t o) {
    Output output;
    ioHead(r, output);
    derived.addOutput(output, static_cast<int32_t>(o));
    ioTail(r, output, kOutputs.entryName);
    return output;
  }));
  bundle.setSectionBinaries(
      r.list(kSectionBinaries, kSectionBinaryBytes, [&](uint32_t j) { return sectionBinary(r, b, j); }));
  r.boundary(kBody.entryName);
  bundle.setSequenceLengths(derived.lengths());
  return bundle;
}

}  // namespace

namespace v3 {

bool verify(LoaderV2& loader) { return detail::verifyTagged(loader, 8, kVersion, kVersion); }

bool load(const std::string& path, ZRB& model, bool keepBinariesInFile) {
  const detail::TaggedFileLayout layout{kVersion, false, kBundleBytes};
  return detail::loadTaggedFile(path, model, keepBinariesInFile, layout, readBundle);
}

}  // namespace v3

}  // namespace kestrane::zrb
