// Format version 4: version 6 without the header extension word and the
// "@SQL" section. Sequence lengths are derived from the per-axis sequence
// words of inputs and outputs and linked to the RmemIds; RmemIds carry no
// floats and cache designations no type, name or entry list.

#include "legacy_io.h"
#include "tagged_reader.h"
#include "zrb/readers.h"

namespace kestrane::zrb {

namespace {

using detail::SequenceDerivation;
using detail::TaggedReader;

// Input: S0 S1 S2, the nine shape words and C. Output: the same without C.
constexpr int kInputHeadWords = 13;
constexpr int kOutputHeadWords = 12;
// Tags, counts and boundaries of one bundle with empty lists.
constexpr uint64_t kBundleBytes = 16 + 6 * 12 + 4;
constexpr uint64_t kRmemIdBytes = 12;
constexpr uint64_t kCacheDesignationBytes = 20;

void sequenceWords(TaggedReader& r, IoEntry& e) {
  e.seq_length_height = r.word();
  e.seq_length_width = r.word();
  e.seq_length_channel = r.word();
}

Bundle readBundle(TaggedReader& r, size_t b) {
  using namespace detail;
  Bundle bundle;
  SequenceDerivation derived(true);
  r.tag(kBundleMetadata);
  const uint32_t metadataCount = r.count(kMetadatumBytes);
  bundle.setBundleWord(r.word());
  bundle.setMetadata(r.metadataEntries(metadataCount, "model" + std::to_string(b) + "_meta"));
  r.boundary(kBundleMetadata.listName);

  bundle.setCores(r.list(kCores, kCoreBytes, [&](uint32_t) { return r.core(); }));
  bundle.setInputs(r.list(kInputs, TaggedReader::ioEntryBytes(kInputHeadWords), [&](uint32_t i) {
    Input input;
    r.ioPrefix(input);
    sequenceWords(r, input);
    r.shapeWords(input);
    input.seq_extra_word = r.word();
    derived.addInput(input, static_cast<int32_t>(i));
    r.scalesAndGroups(input);
    r.boundary(kInputs.entryName);
    return input;
  }));
  bundle.setOutputs(r.list(kOutputs, TaggedReader::ioEntryBytes(kOutputHeadWords), [&](uint32_t o) {
    Output output;
    r.ioPrefix(output);
    sequenceWords(r, output);
    r.shapeWords(output);
    derived.addOutput(output, static_cast<int32_t>(o));
    r.scalesAndGroups(output);
    r.boundary(kOutputs.entryName);
    return output;
  }));
  bundle.setSectionBinaries(
      r.list(kSectionBinaries, kSectionBinaryBytes, [&](uint32_t j) { return r.sectionBinary(b, j); }));
  bundle.setRmemIds(r.list(kRmemIds, kRmemIdBytes, [&](uint32_t i) {
    RmemIdConfig rmemId;
    const uint32_t type = r.word();
    const uint32_t value = r.word();
    r.boundary(kRmemIds.entryName);
    rmemId.rmem_type = static_cast<uint8_t>(type);
    rmemId.value = value;
    derived.addRmemId(rmemId, static_cast<int32_t>(i));
    return rmemId;
  }));
  bundle.setCacheDesignations(
      r.list(kCacheDesignations, kCacheDesignationBytes, [&](uint32_t) { return r.plainCacheDesignation(); }));
  r.boundary(kBody.entryName);
  bundle.setSequenceLengths(derived.lengths());
  return bundle;
}

}  // namespace

namespace v4 {

bool verify(LoaderV2& loader) { return detail::verifyTagged(loader, 8, kVersion, kVersion); }

bool load(const std::string& path, ZRB& model, bool keepBinariesInFile) {
  const detail::TaggedFileLayout layout{kVersion, false, kBundleBytes};
  return detail::loadTaggedFile(path, model, keepBinariesInFile, layout, readBundle);
}

}  // namespace v4

}  // namespace kestrane::zrb
