#pragma once

// What the readers of the tagged format versions share: primitive reads,
// tags, boundaries, count checks, and the entry forms that several versions
// have in common. A failed check logs its line and throws LoadAborted, which
// guardedLoad turns into false; a short read is logged and reading goes on to
// the next check.

#include <filesystem>
#include <functional>
#include <utility>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "core/log.h"
#include "zrb/records.h"
#include "zrb/saveload.h"
#include "zrb/zrb.h"

namespace kestrane::zrb::detail {

// The failure has been logged already.
struct LoadAborted {};

// One tagged list: its tag, the message for a wrong tag, and the names its
// entry and list boundaries are reported with.
struct ListKind {
  const char* tag;
  const char* wrongTag;
  const char* entryName;
  const char* listName;
};

inline constexpr ListKind kModelMetadata{"@MMA", "Wrong ZRB Metadata Magic (0x{:x}).", "Metadatum", "Metadata"};
inline constexpr ListKind kBody{"@BDY", "Wrong ZRB Body Magic (0x{:x}).", "ZRB Bundle", ""};
inline constexpr ListKind kBundleMetadata{"@MTA", "Wrong Body Metadata Magic (0x{:x}).", "Metadatum", "Metadata"};
inline constexpr ListKind kCores{"@CRE", "Wrong Core Config Magic (0x{:x}).", "Core", "Cores"};
inline constexpr ListKind kInputs{"@IPT", "Wrong Body Input Magic (0x{:x}).", "Input", "Inputs"};
inline constexpr ListKind kOutputs{"@OPT", "Wrong Body Output Magic (0x{:x}).", "Output", "Outputs"};
inline constexpr ListKind kSequenceLengths{"@SQL", "Wrong SequenceLength Magic (0x{:x}).", "SequenceLength",
                                           "SequenceLengths"};
inline constexpr ListKind kSectionBinaries{"@BIN", "Wrong Binary Magic (0x{:x}).", "Section Binary",
                                           "Section Binaries"};
inline constexpr ListKind kRmemIds{"@RMI", "Wrong RmemId Config Magic (0x{:x}).", "RmemId", "RmemIds"};
inline constexpr ListKind kCacheDesignations{"@CAD", "Wrong Cache Designation Magic (0x{:x}).", "Cache Designation",
                                             "Cache Designations"};

// Smallest sizes in the file, for checking counts against the bytes left.
inline constexpr uint64_t kMetadatumBytes = 16;
inline constexpr uint64_t kCoreBytes = 12;
inline constexpr uint64_t kDesignationBytes = 24;
inline constexpr uint64_t kSectionBinaryBytes = 24;
inline constexpr uint64_t kRmemIdBytes = 20;

// Magic, a version from `firstVersion` to `lastVersion` (the reader's own)
// and the total checksum, which sits after `bytesBeforeChecksum` bytes of
// header words past the version word. On success the loader is back at
// offset 0.
bool verifyTagged(LoaderV2& loader, uint64_t bytesBeforeChecksum, uint32_t firstVersion, uint32_t lastVersion);

// The readers extract into the model's temporary directory; without one
// (its creation failed) nothing is read, after one error line.
bool hasTempDirectory(const ZRB& model, const std::string& path);

// Runs one reader; an abort or a file-system error ends it with false (the
// latter after one error line). Host memory running out goes on to the
// caller as std::bad_alloc: it is not a fault of the file.
template <typename Body>
bool guardedLoad(const std::string& path, Body&& body) {
  try {
    return body();
  } catch (const LoadAborted&) {
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    KLOG_ERROR("Failed to load '{}': {}", path, e.what());
  }
  return false;
}

class TaggedReader {
 public:
  TaggedReader(LoaderV2& in, ZRB& model, bool keepBinariesInFile);

  // Primitives; a short read is logged, reads as 0 and reading goes on.
  uint32_t word();
  uint64_t longWord();
  float f32();
  void ignoreWords(uint64_t n);
  std::string string();
  // Whether `bytes` are left in the file. A length that runs past the end
  // reads short: it is logged once, nothing is allocated for it, and reading
  // goes on from the end of the file to the next check. `byteCount`: the
  // read is logged in bytes (a payload) rather than as one item.
  bool fits(uint64_t bytes, bool byteCount = false);
  // A count of entries that each take at least `minEntryBytes`.
  uint32_t count(uint64_t minEntryBytes);
  std::vector<uint32_t> words(uint32_t n);
  void tag(const ListKind& kind);
  void boundary(const char* name);
  // The form that reports the word read as well.
  void boundaryWithWord(const char* name);
  [[noreturn]] static void abort() { throw LoadAborted{}; }
  // Whether a read came up short. A file cut where no check follows (in its
  // bundle count) would otherwise read as whole.
  bool ranShort() const { return ranShort_; }

  // "count, entries" with `entry(i)` reading entry i.
  template <typename Entry>
  auto entries(uint64_t minEntryBytes, Entry&& entry) {
    const uint32_t n = count(minEntryBytes);
    std::vector<decltype(entry(uint32_t{}))> items;
    items.reserve(n);
    for (uint32_t i = 0; i < n; ++i) items.push_back(entry(i));
    return items;
  }

  // "tag, count, entries, boundary".
  template <typename Entry>
  auto list(const ListKind& kind, uint64_t minEntryBytes, Entry&& entry) {
    tag(kind);
    auto items = entries(minEntryBytes, std::forward<Entry>(entry));
    boundary(kind.listName);
    return items;
  }

  // Entries of versions 4 to 6 (and with them the base of 3).
  // Metadata entry; its payload goes to `fileName` in the temporary directory.
  Metadatum metadatum(const std::string& fileName);
  std::vector<Metadatum> metadataEntries(uint32_t n, const std::string& filePrefix);
  CoreConfig core();
  Designation designation();
  std::vector<Designation> designations();
  // Input or output with `headWords` (13 or 12) words in its dimension block.
  void ioEntry(IoEntry& entry, int headWords, const char* boundaryName);
  // The parts of an input or output that other versions arrange differently:
  // name, designations, size and both flags words (versions 4 to 6) ...
  void ioPrefix(IoEntry& entry);
  // ... the nine shape words, reshaped, original, then device shape ...
  void shapeWords(IoEntry& entry);
  // ... scales, ignored word, channel bytes, ignored word and I/O groups.
  void scalesAndGroups(IoEntry& entry);
  // Scales: none without channels, else one, or one per channel.
  void scales(IoEntry& entry);
  // I/O groups when the io type carries them; each group ends in
  // `ignoredWords` words.
  void ioGroups(IoEntry& entry, int ignoredWords);
  // The payload of a section binary whose flags and size were read:
  // extracted, located in the model file, or absent (no_payload).
  void payload(SectionBinary& binary, size_t b, size_t j);
  // Reads `size` bytes and writes them to `fileName` in the temporary
  // directory; returns the file's path (empty when the file ran short).
  std::string writePayloadFile(uint64_t size, const std::string& fileName);
  SequenceLength sequenceLength(int extraWords);
  // Section binary j of bundle b: extracted, or located in the model file.
  SectionBinary sectionBinary(size_t b, size_t j);
  RmemIdConfig rmemId();
  // Type, name, size and per-entry designations (version 6).
  CacheDesignation namedCacheDesignation();
  // Ignored word, designations and size (versions 4 and 5).
  CacheDesignation plainCacheDesignation();

  static uint64_t ioEntryBytes(int headWords) { return 36 + 4 * uint64_t(headWords); }
  static uint64_t sequenceLengthBytes(int extraWords) { return 36 + 4 * uint64_t(extraWords); }

 private:
  void decodeCore(uint32_t coreWord, uint32_t modeWord, CoreConfig& config);
  std::map<int32_t, std::vector<SequenceLengthAxis>> axisGroups();
  void copyPayload(SectionBinary& binary, const std::string& path);

  LoaderV2& in_;
  ZRB& model_;
  bool keepBinariesInFile_;
  bool ranShort_ = false;
  std::string absolutePath_;
  std::vector<uint8_t> copyBuffer_;  // 2 MiB, made at the first extraction
};

// Versions 5 and 6 share one layout; these are its differences.
struct V6FamilyLayout {
  uint32_t version;
  bool headerExtension;     // the word at offset 16 (version 6)
  int ioHeadWords;          // words in an input's or output's dimension block
  int sequenceExtraWords;   // words after max_size in a sequence length
  bool namedCaches;         // cache designations with type, name and entries
};

// Header, "@MMA" and "@BDY" of versions 3 to 6; `readBundle(r, b)` reads
// bundle b. Defined beside the version-6 reader.
struct TaggedFileLayout {
  uint32_t version;
  bool headerExtension;   // the word at offset 16 (version 6)
  uint64_t bundleBytes;   // smallest bundle, for checking the bundle count
};
bool loadTaggedFile(const std::string& path, ZRB& model, bool keepBinariesInFile, const TaggedFileLayout& layout,
                    const std::function<Bundle(TaggedReader&, size_t)>& readBundle);

// Reads a file of the version-6 family; defined beside the version-6 reader.
bool loadV6Family(const std::string& path, ZRB& model, bool keepBinariesInFile, const V6FamilyLayout& layout);

}  // namespace kestrane::zrb::detail
