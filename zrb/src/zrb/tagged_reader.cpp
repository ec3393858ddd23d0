#include "tagged_reader.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "utilkit/fs_utils.h"

namespace kestrane::zrb::detail {

namespace {

constexpr uint64_t kCopyChunk = 0x200000;

bool tagMatches(uint32_t word, const char* expected) {
  for (int i = 0; i < 4; ++i) {
    if (static_cast<char>((word >> (8 * i)) & 0xFF) != expected[i]) return false;
  }
  return true;
}

}  // namespace

bool verifyTagged(LoaderV2& loader, uint64_t bytesBeforeChecksum, uint32_t firstVersion, uint32_t lastVersion) {
  uint32_t magic = 0;
  if (!loader.read(magic) || !tagMatches(magic, ".ZRB")) {
    KLOG_ERROR("Validation Failed, Wrong Magic!");
    return false;
  }
  uint32_t version = 0;
  loader.read(version);
  if (version < firstVersion || version > lastVersion) {
    KLOG_ERROR("Validation Failed, Wrong Format Version!");
    return false;
  }
  uint32_t stored = 0;
  // A file too short to hold its checksum word cannot pass.
  const bool readable = loader.skip(bytesBeforeChecksum) && loader.read(stored);
  const std::optional<uint32_t> sum = readable ? loader.getChecksumVerified(stored) : std::nullopt;
  if (!sum || *sum != stored) {
    KLOG_ERROR("Validation Failed, Total Checksum Error!");
    return false;
  }
  return loader.rewind();
}

bool hasTempDirectory(const ZRB& model, const std::string& path) {
  if (!model.getTempDirectory().empty()) return true;
  KLOG_ERROR("Unable to load '{}': the model has no temporary directory.", path);
  return false;
}

TaggedReader::TaggedReader(LoaderV2& in, ZRB& model, bool keepBinariesInFile)
    : in_(in), model_(model), keepBinariesInFile_(keepBinariesInFile) {
  if (keepBinariesInFile_) absolutePath_ = std::filesystem::absolute(in.path()).string();
}

// A short read has been logged by the loader and reads as 0; reading goes
// on, and the next tag or boundary check names where the file broke off.
// Counts and lengths read past the end are 0, so nothing grows from them.
uint32_t TaggedReader::word() {
  uint32_t v = 0;
  if (!in_.read(v)) ranShort_ = true;
  return v;
}

uint64_t TaggedReader::longWord() {
  uint64_t v = 0;
  if (!in_.read(v)) ranShort_ = true;
  return v;
}

float TaggedReader::f32() {
  float v = 0;
  if (!in_.read(v)) ranShort_ = true;
  return v;
}

void TaggedReader::ignoreWords(uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) word();
}

bool TaggedReader::fits(uint64_t bytes, bool byteCount) {
  if (bytes <= in_.remaining()) return true;
  // As a read of the whole would have reported it: in bytes for a payload,
  // else as one item not read.
  if (byteCount)
    KLOG_ERROR("Failed to read zrb, {} != {}", in_.remaining(), bytes);
  else
    KLOG_ERROR("Failed to read zrb, {} != {}", 0, 1);
  ranShort_ = true;
  in_.skip(in_.remaining());
  return false;
}

uint32_t TaggedReader::count(uint64_t minEntryBytes) {
  const uint64_t at = in_.offset();
  const uint32_t n = word();
  if (uint64_t{n} * minEntryBytes > in_.remaining()) {
    KLOG_ERROR("Failed to read zrb, count {} at offset {} needs at least {} bytes but {} left", n, at,
               uint64_t{n} * minEntryBytes, in_.remaining());
    abort();
  }
  return n;
}

std::string TaggedReader::string() {
  const uint32_t length = word();
  if (!fits(length)) return {};
  std::string text(length, '\0');
  if (in_.peek(text.data(), length) != length) {
    KLOG_ERROR("Failed to read zrb, {} != {}", 0, 1);
    abort();
  }
  in_.skip(length);
  return text;
}

std::vector<uint32_t> TaggedReader::words(uint32_t n) {
  std::vector<uint32_t> out(n);
  for (auto& w : out) w = word();
  return out;
}

void TaggedReader::tag(const ListKind& kind) {
  const uint32_t w = word();
  if (!tagMatches(w, kind.tag)) {
    KLOG_ERROR(fmt::runtime(kind.wrongTag), w);
    abort();
  }
}

void TaggedReader::boundary(const char* name) {
  if (!isBoundary(word())) {
    KLOG_ERROR("Boundary has been compromised ({}).", name);
    abort();
  }
}

void TaggedReader::boundaryWithWord(const char* name) {
  const uint32_t w = word();
  if (!isBoundary(w)) {
    KLOG_ERROR("Boundary has been compromised ({}, 0x{:x}).", name, w);
    abort();
  }
}

Metadatum TaggedReader::metadatum(const std::string& fileName) {
  Metadatum m;
  const uint32_t flags = word();
  m.flag0 = flags & 1u;
  m.flag1 = flags & 2u;
  m.flag2 = flags & 4u;
  m.flag3 = flags & 8u;
  m.no_payload = flags & 0x10u;
  m.flag13 = flags & 0x2000u;
  m.kind = static_cast<uint8_t>(flags >> 5);
  m.size = word();
  if (!m.no_payload) m.path = writePayloadFile(m.size, fileName);
  ignoreWords(1);
  boundary("Metadatum");
  return m;
}

std::vector<Metadatum> TaggedReader::metadataEntries(uint32_t n, const std::string& filePrefix) {
  std::vector<Metadatum> list;
  list.reserve(n);
  for (uint32_t i = 0; i < n; ++i) list.push_back(metadatum(filePrefix + std::to_string(i) + ".bin"));
  return list;
}

std::string TaggedReader::writePayloadFile(uint64_t size, const std::string& fileName) {
  if (!fits(size, true)) return {};
  std::vector<uint8_t> payload(size);
  const uint64_t got = in_.peek(payload.data(), size);
  if (got != size) {
    KLOG_ERROR("Failed to read zrb, {} != {}", got, size);
    abort();
  }
  in_.skip(size);
  const std::string path = (model_.getTempDirectory() / fileName).string();
  if (!utilkit::writeBinaryFile(path, payload.data(), payload.size())) {
    KLOG_ERROR("Failed to write a metadata file ({}).", path);
    abort();
  }
  return path;
}

void TaggedReader::decodeCore(uint32_t coreWord, uint32_t modeWord, CoreConfig& config) {
  config.core_id = CoreId{static_cast<Cluster>(coreWord & 0x7FFF0000u), static_cast<Core>(coreWord & 0xFFFFu)};
  config.mode = modeWord & 0xFu;
  for (uint32_t mode = 1; mode <= 4; ++mode) {
    if (modeWord & (1u << (4 + mode))) config.supported_modes.push_back(mode);
  }
  if (modeWord & (1u << 11)) config.clusters.push_back(static_cast<uint32_t>(Cluster::Cluster0));
  if (modeWord & (1u << 12)) config.clusters.push_back(static_cast<uint32_t>(Cluster::Cluster1));
}

CoreConfig TaggedReader::core() {
  CoreConfig config;
  const uint32_t coreWord = word();
  const uint32_t modeWord = word();
  decodeCore(coreWord, modeWord, config);
  boundary("Core");
  return config;
}

Designation TaggedReader::designation() {
  Designation d;
  const uint32_t coreWord = word();
  const uint32_t modeWord = word();
  decodeCore(coreWord, modeWord, d.core_config);
  const uint32_t flags = word();
  d.flag = flags & 1u;
  d.memory_type = (flags >> 1) & 0x3Fu;
  ignoreWords(1);
  d.address = longWord();
  return d;
}

std::vector<Designation> TaggedReader::designations() {
  const uint32_t n = count(kDesignationBytes);
  std::vector<Designation> list;
  list.reserve(n);
  for (uint32_t i = 0; i < n; ++i) list.push_back(designation());
  return list;
}

void TaggedReader::ioEntry(IoEntry& e, int headWords, const char* boundaryName) {
  ioPrefix(e);
  shapeWords(e);
  e.seq_index_height = static_cast<int32_t>(word());
  e.seq_index_width = static_cast<int32_t>(word());
  e.seq_index_channel = static_cast<int32_t>(word());
  if (headWords > 12) e.aux_word = word();
  scalesAndGroups(e);
  boundary(boundaryName);
}

void TaggedReader::ioPrefix(IoEntry& e) {
  e.name = string();
  e.designations = designations();
  e.size = longWord();
  const uint32_t flags = word();
  e.per_channel = flags & 1u;
  e.io_type = (flags >> 1) & 0xFu;
  e.kind = static_cast<uint8_t>(flags >> 5);
  e.has_channel_bytes = flags & 0x2000u;
  const uint32_t flags2 = word();
  for (uint8_t bit = 0; bit < 15; ++bit) {
    if (flags2 & (1u << bit)) e.bit_list.push_back(bit);
  }
  e.word2_nibble = (flags2 >> 15) & 0xFu;
}

void TaggedReader::shapeWords(IoEntry& e) {
  uint32_t* const fields[] = {&e.reshaped_height, &e.reshaped_width, &e.reshaped_channel, &e.original_height,
                              &e.original_width,  &e.original_channel, &e.height,         &e.width,
                              &e.channel};
  for (uint32_t* field : fields) *field = word();
}

void TaggedReader::scales(IoEntry& e) {
  const uint32_t n = e.original_channel == 0 ? 0 : (e.per_channel ? e.original_channel : 1);
  if (!fits(uint64_t{n} * 4)) return;
  e.scales.resize(n);
  for (float& s : e.scales) s = f32();
}

void TaggedReader::scalesAndGroups(IoEntry& e) {
  scales(e);
  const size_t n = e.scales.size();
  ignoreWords(1);
  if (e.has_channel_bytes && fits(n)) {
    e.channel_bytes.resize(n);
    if (n != 0 && in_.peek(e.channel_bytes.data(), n) != n) {
      KLOG_ERROR("Failed to read zrb, {} != {}", 0, 1);
      abort();
    }
    in_.skip(n);
  }
  e.channel_bytes.resize(e.scales.size(), 0);
  ignoreWords(1);
  ioGroups(e, 2);
}

void TaggedReader::ioGroups(IoEntry& e, int ignoredWords) {
  if (e.io_type >= 1 && e.io_type <= 3) {
    const uint32_t m = count(12);
    e.io_groups.reserve(m);
    for (uint32_t g = 0; g < m; ++g) {
      IoGroup group;
      const uint32_t k = count(12);
      group.first = words(k);
      group.second = words(k);
      group.third = words(k);
      ignoreWords(ignoredWords);
      e.io_groups.push_back(std::move(group));
    }
  }
}

std::map<int32_t, std::vector<SequenceLengthAxis>> TaggedReader::axisGroups() {
  std::map<int32_t, std::vector<SequenceLengthAxis>> groups;
  const uint32_t n = count(12);
  for (uint32_t i = 0; i < n; ++i) {
    const auto key = static_cast<int32_t>(word());
    const uint32_t m = count(16);
    std::vector<SequenceLengthAxis> axes(m);
    for (auto& axis : axes) {
      const uint32_t w = word();
      axis.axis_type = static_cast<uint8_t>(w);
      axis.axis = (w >> 8) & 0xFu;
      axis.multiplier = f32();
      axis.offset = f32();
      boundary("SequenceLengthAxis");
    }
    boundary("SequenceLengthAxis");
    groups[key] = std::move(axes);
  }
  return groups;
}

SequenceLength TaggedReader::sequenceLength(int extraWords) {
  SequenceLength s;
  s.name = string();
  const uint32_t type = word();
  s.sequence_type = static_cast<uint8_t>(type);
  s.flag_bit8 = type & 0x100u;
  s.max_size = static_cast<int32_t>(word());
  for (int i = 0; i < extraWords; ++i) s.further_words[i] = word();
  s.input_axes = axisGroups();
  s.output_axes = axisGroups();
  for (auto* ids : {&s.sequence_rmem_ids, &s.cache_rmem_ids}) {
    const auto raw = words(count(4));
    ids->assign(raw.begin(), raw.end());
    ignoreWords(1);
  }
  boundary("SequenceLength");
  return s;
}

SectionBinary TaggedReader::sectionBinary(size_t b, size_t j) {
  SectionBinary bin;
  const uint32_t flags = word();
  bin.no_payload = flags & 1u;
  bin.flag_bit1 = flags & 2u;
  bin.memory_type = (flags >> 2) & 0x1Fu;
  bin.attribute = static_cast<uint8_t>(flags >> 8);
  bin.designations = designations();
  bin.size = longWord();
  payload(bin, b, j);
  ignoreWords(1);
  boundaryWithWord("Section Binary");
  return bin;
}

void TaggedReader::payload(SectionBinary& bin, size_t b, size_t j) {
  bin.keep_in_file = keepBinariesInFile_;
  if (!bin.no_payload) {
    if (keepBinariesInFile_) {
      // Kept binaries are read later from the file, so they must lie inside it.
      if (bin.size > in_.remaining()) {
        KLOG_ERROR("Section binary of {} bytes at offset {} lies outside the file ({} bytes).", bin.size,
                   in_.offset(), in_.size());
        abort();
      }
      bin.path = absolutePath_;
      bin.offset = in_.offset();
      in_.skip(bin.size);
    } else {
      // A payload past the end of the file shows as a short chunk.
      bin.path = (model_.getTempDirectory() /
                  ("bundle" + std::to_string(b) + "_binary" + std::to_string(j) + ".bin"))
                     .string();
      copyPayload(bin, bin.path);
    }
  }
}

void TaggedReader::copyPayload(SectionBinary& bin, const std::string& path) {
  FilePtr out(utilkit::openFile(path, "wb"));
  if (!out) {
    KLOG_ERROR("Could not find {}, Abort.", path);
    abort();
  }
  if (copyBuffer_.empty()) copyBuffer_.resize(kCopyChunk);
  for (uint64_t left = bin.size; left > 0;) {
    const uint64_t chunk = std::min(left, kCopyChunk);
    const uint64_t got = in_.peek(copyBuffer_.data(), chunk);
    if (got != chunk) {
      KLOG_ERROR("Failed to read section binary ({} vs {})", got, chunk);
      abort();
    }
    if (std::fwrite(copyBuffer_.data(), 1, chunk, out.get()) != chunk) {
      KLOG_ERROR("Failed to write a section binary file, {}", path);
      abort();
    }
    in_.skip(chunk);
    left -= chunk;
  }
  // Buffered bytes reach the disk at close; a full disk shows here.
  if (std::fclose(out.release()) != 0) {
    KLOG_ERROR("Failed to write a section binary file, {}", path);
    abort();
  }
}

RmemIdConfig TaggedReader::rmemId() {
  RmemIdConfig r;
  r.rmem_type = static_cast<uint8_t>(word());
  r.value = word();
  r.multiplier = f32();
  r.offset = f32();
  boundary("RmemId");
  return r;
}

CacheDesignation TaggedReader::namedCacheDesignation() {
  CacheDesignation c;
  c.cache_type = word() & 0xFu;
  c.name = string();
  c.size = longWord();
  const uint32_t k = count(12);
  c.entries.reserve(k);
  for (uint32_t i = 0; i < k; ++i) {
    CacheDesignationEntry entry;
    entry.designations = designations();
    ignoreWords(1);
    entry.value = word();
    c.entries.push_back(std::move(entry));
  }
  boundaryWithWord("Cache Designation");
  return c;
}

CacheDesignation TaggedReader::plainCacheDesignation() {
  CacheDesignation c;
  ignoreWords(1);
  c.designations = designations();
  c.size = longWord();
  boundaryWithWord("Cache Designation");
  c.cache_type = static_cast<uint8_t>(CacheType::Default);
  c.entries.push_back(CacheDesignationEntry{0, c.designations});
  return c;
}

}  // namespace kestrane::zrb::detail
