// Format version 2 (sub-versions 0x20000 to 0x20002): only the body and the
// core lists are tagged; the other lists follow each other separated by
// unchecked words, entries end in exactly 0x12345678 and a bundle in
// 0xDEADBEEF. There is no model-level metadata: the first bundle's stands in.

#include "legacy_io.h"
#include "tagged_reader.h"
#include "zrb/readers.h"

namespace kestrane::zrb {

namespace {

using detail::ListKind;
using detail::TaggedReader;

constexpr uint32_t kEntryBoundary = 0x12345678;
constexpr uint32_t kBundleEnd = 0xDEADBEEF;

constexpr ListKind kBody{"@BDY", "Wrong ZRB Body Magic, {}", "", ""};
constexpr ListKind kCores{"@CRE", "Wrong Core Config Magic!, {}", "", ""};

// Smallest entries, for checking counts against the bytes left.
constexpr uint64_t kCoreBytes = 36;
constexpr uint64_t kDesignationBytes = 16;
constexpr uint64_t kInputBytes = 4 + 6 * 4 + 4 + 4 + 4;
constexpr uint64_t kOutputBytes = kInputBytes + 3 * 4;
constexpr uint64_t kSectionBinaryBytes = 20;
constexpr uint64_t kMetadatumBytes = 16;
// "@CRE", five counts, four unchecked words and the end word.
constexpr uint64_t kBundleBytes = 44;

// Core values a designation's mode word links with its bits 4 to 9.
constexpr uint32_t kLinkedCores[] = {1, 2, 3, 4, 0xFFFD, 0xFFFE};

void entryBoundary(TaggedReader& r, const char* message) {
  if (r.word() != kEntryBoundary) {
    KLOG_ERROR("{}", message);
    TaggedReader::abort();
  }
}

CoreConfig core(TaggedReader& r) {
  const uint32_t coreWord = r.word();
  const uint64_t value0 = r.longWord();
  const uint64_t value1 = r.longWord();
  const uint64_t value2 = r.longWord();
  const uint32_t modeWord = r.word();
  entryBoundary(r, "Organizing core : Boundary has been compromised.");
  CoreConfig config = detail::legacyCoreMode(modeWord);
  config.core_id = detail::coreIdOf(coreWord);
  config.value0 = value0;
  config.value1 = value1;
  config.value2 = value2;
  return config;
}

// Inputs and outputs give the address before the mode word, section
// binaries the mode word first.
Designation designation(TaggedReader& r, bool modeFirst) {
  const uint32_t coreWord = r.word();
  Designation d;
  uint32_t modeWord = 0;
  if (modeFirst) {
    modeWord = r.word();
    d.address = r.longWord();
  } else {
    d.address = r.longWord();
    modeWord = r.word();
  }
  d.core_id = detail::coreIdOf(coreWord);
  d.flag = (modeWord >> 10) & 1u;
  d.mode = modeWord & 3u;
  for (size_t bit = 0; bit < std::size(kLinkedCores); ++bit) {
    if ((modeWord & (1u << (4 + bit))) && kLinkedCores[bit] != (coreWord & 0xFFFFu))
      d.linked_cores.push_back(kLinkedCores[bit]);
  }
  d.core_config.core_id = d.core_id;
  d.core_config.mode = d.mode;
  d.core_config.supported_modes = d.linked_cores;
  return d;
}

std::vector<Designation> designations(TaggedReader& r, bool modeFirst) {
  return r.entries(kDesignationBytes, [&](uint32_t) { return designation(r, modeFirst); });
}

void readShape(TaggedReader& r, uint32_t& height, uint32_t& width, uint32_t& channel) {
  height = r.word();
  width = r.word();
  channel = r.word();
}

// `hasReshape`: the entry carries its reshaped shape (else it is the
// original one); `hasIoType`: flags bits 1-3 give the io type (else 0).
template <typename Io>
Io ioEntry(TaggedReader& r, bool hasReshape, bool hasIoType, const char* boundaryMessage) {
  Io e;
  e.designations = designations(r, false);
  readShape(r, e.original_height, e.original_width, e.original_channel);
  readShape(r, e.height, e.width, e.channel);
  if (hasReshape) {
    readShape(r, e.reshaped_height, e.reshaped_width, e.reshaped_channel);
  } else {
    e.reshaped_height = e.original_height;
    e.reshaped_width = e.original_width;
    e.reshaped_channel = e.original_channel;
  }
  const uint32_t flags = r.word();
  e.per_channel = flags & 1u;
  e.io_type = hasIoType ? static_cast<uint8_t>((flags >> 1) & 7u) : 0;
  r.ioGroups(e, 1);
  r.scales(e);
  r.ignoreWords(1);
  entryBoundary(r, boundaryMessage);
  e.kind = 0;
  detail::completeLegacyIo(e);
  return e;
}

SectionBinary sectionBinary(TaggedReader& r, size_t b, size_t j) {
  SectionBinary bin;
  bin.designations = designations(r, true);
  const uint32_t flags = r.word();
  bin.no_payload = flags & 1u;
  bin.flag_bit1 = flags & 2u;
  bin.memory_type = (flags >> 2) & 0x1Fu;
  bin.size = r.word();
  r.payload(bin, b, j);
  r.ignoreWords(1);
  entryBoundary(r, "Organizing ZRB : Boundary has been compromised.");
  return bin;
}

// Bundle 0 keeps the historical names "meta<k>.bin"; later bundles get
// names of their own so they cannot replace the files bundle 0's (and so
// the model's) metadata points at.
std::string metadataFileName(size_t b, size_t k) {
  const std::string prefix = b == 0 ? "meta" : "bundle" + std::to_string(b) + "_meta";
  return prefix + std::to_string(k) + ".bin";
}

Metadatum metadatum(TaggedReader& r, size_t b, size_t k) {
  Metadatum m;
  const uint32_t flags = r.word();
  m.flag0 = flags & 1u;
  m.flag1 = flags & 2u;
  m.flag2 = flags & 4u;
  m.size = r.word();
  m.path = r.writePayloadFile(m.size, metadataFileName(b, k));
  r.ignoreWords(1);
  entryBoundary(r, "Organizing metadata : Boundary has been compromised.");
  return m;
}

Bundle readBundle(TaggedReader& r, size_t b, uint32_t version) {
  Bundle bundle;
  r.tag(kCores);
  bundle.setCores(r.entries(kCoreBytes, [&](uint32_t) { return core(r); }));
  r.ignoreWords(1);
  bundle.setInputs(r.entries(kInputBytes, [&](uint32_t) {
    return ioEntry<Input>(r, version == v2::kVersion2, version == v2::kVersion2,
                          "Organizing input : Boundary has been compromised.");
  }));
  r.ignoreWords(1);
  bundle.setOutputs(r.entries(kOutputBytes, [&](uint32_t) {
    return ioEntry<Output>(r, true, version != v2::kVersion0, "Organizing output : Boundary has been compromised.");
  }));
  r.ignoreWords(1);
  bundle.setSectionBinaries(r.entries(kSectionBinaryBytes, [&](uint32_t j) { return sectionBinary(r, b, j); }));
  r.ignoreWords(1);
  bundle.setMetadata(r.entries(kMetadatumBytes, [&](uint32_t k) { return metadatum(r, b, k); }));
  if (r.word() != kBundleEnd) {
    KLOG_ERROR("Organizing ZRB bundle : Boundary has been compromised.");
    TaggedReader::abort();
  }
  bundle.setBundleWord(0);
  return bundle;
}

bool isVersion2(uint32_t version) { return version >= v2::kVersion0 && version <= v2::kVersion2; }

}  // namespace

namespace v2 {

bool verify(LoaderV2& loader) { return detail::verifyTagged(loader, 8, kVersion0, kVersion2); }

bool load(const std::string& path, ZRB& model, bool keepBinariesInFile) {
  if (!detail::hasTempDirectory(model, path)) return false;
  return detail::guardedLoad(path, [&] {
    LoaderV2 in(path);
    if (!in.isOpen() || !verify(in)) return false;
    TaggedReader r(in, model, keepBinariesInFile);
    r.ignoreWords(1);
    const uint32_t version = r.word();
    const uint32_t hardware = r.word();
    const uint32_t headerWord = r.word();
    if (!isVersion2(version)) {
      KLOG_ERROR("Unexpected format version, {}", version);
      return false;
    }
    model.setHeader(version, headerWord, hardware);
    r.ignoreWords(1);  // the checksum, verified above

    r.tag(kBody);
    const uint32_t bundleCount = r.count(kBundleBytes);
    std::vector<Bundle> bundles;
    bundles.reserve(bundleCount);
    for (uint32_t b = 0; b < bundleCount; ++b) bundles.push_back(readBundle(r, b, version));
    if (r.ranShort()) return false;  // logged where it happened
    if (!bundles.empty()) model.setMetadata(bundles.front().getMetadata());
    model.setBundles(bundles);
    return true;
  });
}

}  // namespace v2

}  // namespace kestrane::zrb
