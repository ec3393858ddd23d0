#include "tagged_reader.h"
#include "zrb/readers.h"

namespace kestrane::zrb {

namespace detail {

namespace {

Bundle readBundle(TaggedReader& r, size_t b, const V6FamilyLayout& layout) {
  Bundle bundle;
  r.tag(kBundleMetadata);
  const uint32_t metadataCount = r.count(kMetadatumBytes);
  bundle.setBundleWord(r.word());
  bundle.setMetadata(r.metadataEntries(metadataCount, "model" + std::to_string(b) + "_meta"));
  r.boundary(kBundleMetadata.listName);

  bundle.setCores(r.list(kCores, kCoreBytes, [&](uint32_t) { return r.core(); }));
  bundle.setInputs(r.list(kInputs, TaggedReader::ioEntryBytes(layout.ioHeadWords), [&](uint32_t) {
    Input input;
    r.ioEntry(input, layout.ioHeadWords, kInputs.entryName);
    return input;
  }));
  bundle.setOutputs(r.list(kOutputs, TaggedReader::ioEntryBytes(layout.ioHeadWords), [&](uint32_t) {
    Output output;
    r.ioEntry(output, layout.ioHeadWords, kOutputs.entryName);
    return output;
  }));
  bundle.setSequenceLengths(r.list(kSequenceLengths, TaggedReader::sequenceLengthBytes(layout.sequenceExtraWords),
                                   [&](uint32_t) { return r.sequenceLength(layout.sequenceExtraWords); }));
  bundle.setSectionBinaries(
      r.list(kSectionBinaries, kSectionBinaryBytes, [&](uint32_t j) { return r.sectionBinary(b, j); }));
  bundle.setRmemIds(r.list(kRmemIds, kRmemIdBytes, [&](uint32_t) { return r.rmemId(); }));
  bundle.setCacheDesignations(r.list(kCacheDesignations, layout.namedCaches ? 24 : 20, [&](uint32_t) {
    return layout.namedCaches ? r.namedCacheDesignation() : r.plainCacheDesignation();
  }));
  r.boundary(kBody.entryName);
  return bundle;
}

// Tags, counts and boundaries of one bundle with empty lists.
constexpr uint64_t kBundleBytes = 16 + 7 * 12 + 4;

}  // namespace

bool loadTaggedFile(const std::string& path, ZRB& model, bool keepBinariesInFile, const TaggedFileLayout& layout,
                    const std::function<Bundle(TaggedReader&, size_t)>& bundleReader) {
  if (!hasTempDirectory(model, path)) return false;
  return guardedLoad(path, [&] {
    LoaderV2 in(path);
    if (!in.isOpen()) return false;
    if (!verifyTagged(in, layout.headerExtension ? 12 : 8, layout.version, layout.version)) return false;
    TaggedReader r(in, model, keepBinariesInFile);
    r.ignoreWords(1);
    const uint32_t version = r.word();
    const uint32_t hardware = r.word();
    const uint32_t headerWord = r.word();
    const uint32_t extension = layout.headerExtension ? r.word() : 0;
    if (version != layout.version) {
      KLOG_ERROR("Unexpected format version, {}", version);
      return false;
    }
    model.setHeader(version, headerWord, hardware);
    if (layout.headerExtension) model.setHeaderWord16(extension);
    r.ignoreWords(1);  // the checksum, verified above

    model.setMetadata(r.list(kModelMetadata, kMetadatumBytes, [&](uint32_t i) {
      return r.metadatum("model_meta" + std::to_string(i) + ".bin");
    }));

    r.tag(kBody);
    const uint32_t bundleCount = r.count(layout.bundleBytes);
    std::vector<Bundle> bundles;
    bundles.reserve(bundleCount);
    for (uint32_t b = 0; b < bundleCount; ++b) bundles.push_back(bundleReader(r, b));
    if (r.ranShort()) return false;  // logged where it happened
    model.setBundles(bundles);
    return true;
  });
}

bool loadV6Family(const std::string& path, ZRB& model, bool keepBinariesInFile, const V6FamilyLayout& layout) {
  const TaggedFileLayout file{layout.version, layout.headerExtension, kBundleBytes};
  return loadTaggedFile(path, model, keepBinariesInFile, file,
                        [&layout](TaggedReader& r, size_t b) { return readBundle(r, b, layout); });
}

}  // namespace detail

namespace v6 {

bool verify(LoaderV2& loader) { return detail::verifyTagged(loader, 12, kVersion, kVersion); }

bool load(const std::string& path, ZRB& model, bool keepBinariesInFile) {
  static constexpr detail::V6FamilyLayout kLayout{kVersion, true, 13, 3, true};
  return detail::loadV6Family(path, model, keepBinariesInFile, kLayout);
}

}  // namespace v6

}  // namespace kestrane::zrb
