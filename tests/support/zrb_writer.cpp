#include "support/zrb_writer.h"

#include "support/zrb_emitter.h"

#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>

namespace kestrane::test::zrbw {

namespace {

bool isKnownVersion(uint32_t version) {
  switch (version) {
    case 0x10000: case 0x10001: case 0x10002:
    case 0x20000: case 0x20001: case 0x20002:
    case 0x30000: case 0x40000: case 0x50000: case 0x60000:
      return true;
    default:
      return false;
  }
}

class FileWriter {
 public:
  // Versions 3 to 6.
  FileWriter(const Model& model, Written& out)
      : m_(model), e_(model, out), v6_(model.version == 0x60000), major_(model.version >> 16) {}

  void file() {
    e_.tag("magic", ".ZRB");
    e_.word("version", m_.version);
    e_.word("target_hardware", m_.target_hardware);
    e_.word("header_word", m_.header_word);
    if (v6_) e_.word("header_word_ext", m_.header_word_ext);
    e_.word("checksum", 0);
    e_.tag("mma.tag", "@MMA");
    e_.count("mma.count", m_.metadata.size());
    for (size_t i = 0; i < m_.metadata.size(); ++i) metadatum("mma." + std::to_string(i), m_.metadata[i]);
    e_.boundary("mma.boundary");
    e_.tag("bdy.tag", "@BDY");
    e_.count("bdy.count", m_.bundles.size());
    for (size_t b = 0; b < m_.bundles.size(); ++b) bundle("b" + std::to_string(b), m_.bundles[b]);
  }

 private:
  template <typename T, typename F>
  void list(const std::string& label, const char* tag, const std::vector<T>& items, F&& entry) {
    e_.tag(label + ".tag", tag);
    e_.count(label + ".count", items.size());
    for (size_t i = 0; i < items.size(); ++i) entry(label + "." + std::to_string(i), items[i]);
    e_.boundary(label + ".boundary");
  }

  void bundle(const std::string& p, const Bundle& b) {
    e_.tag(p + ".mta.tag", "@MTA");
    e_.count(p + ".mta.count", b.metadata.size());
    e_.word(p + ".mta.bundle_word", b.bundle_word);
    for (size_t i = 0; i < b.metadata.size(); ++i) metadatum(p + ".mta." + std::to_string(i), b.metadata[i]);
    e_.boundary(p + ".mta.boundary");
    list(p + ".cre", "@CRE", b.cores, [&](const std::string& l, const Core& c) {
      e_.word(l + ".core", c.core_word);
      e_.word(l + ".mode", c.mode_word);
      if (major_ == 3) {
        for (size_t i = 0; i < c.values.size(); ++i) e_.longWord(l + ".value" + std::to_string(i), c.values[i]);
      }
      e_.boundary(l + ".boundary");
    });
    list(p + ".ipt", "@IPT", b.inputs, [&](const std::string& l, const IoEntry& io) { ioEntry(l, io, true); });
    list(p + ".opt", "@OPT", b.outputs, [&](const std::string& l, const IoEntry& io) { ioEntry(l, io, false); });
    if (major_ >= 5) {
      list(p + ".sql", "@SQL", b.sequence_lengths,
           [&](const std::string& l, const SequenceLength& s) { sequenceLength(l, s); });
    }
    list(p + ".bin", "@BIN", b.section_binaries,
         [&](const std::string& l, const SectionBinary& s) { sectionBinary(l, s); });
    if (major_ >= 4) {
      list(p + ".rmi", "@RMI", b.rmem_ids, [&](const std::string& l, const RmemId& r) {
        e_.word(l + ".type", r.type_word);
        e_.word(l + ".value", r.value);
        if (major_ >= 5) {
          e_.f32(l + ".multiplier", r.multiplier);
          e_.f32(l + ".offset", r.offset);
        }
        e_.boundary(l + ".boundary");
      });
      list(p + ".cad", "@CAD", b.cache_designations,
           [&](const std::string& l, const CacheDesignation& c) { cacheDesignation(l, c); });
    }
    e_.boundary(p + ".boundary");
  }

  void metadatum(const std::string& l, const Metadatum& m) {
    e_.word(l + ".flags", m.flags);
    e_.word(l + ".size", m.size.value_or(static_cast<uint32_t>(m.payload.size())));
    if (!(m.flags & 0x10u)) e_.bytes(l + ".payload", m.payload);
    e_.ignored(l + ".ignored");
    e_.boundary(l + ".boundary");
  }

  void designations(const std::string& l, const std::vector<Designation>& list) {
    e_.count(l + ".des_count", list.size());
    for (size_t d = 0; d < list.size(); ++d) {
      const std::string p = l + ".des." + std::to_string(d);
      e_.word(p + ".core", list[d].core_word);
      e_.word(p + ".mode", list[d].mode_word);
      e_.word(p + ".flags", list[d].flag_word);
      e_.ignored(p + ".ignored");
      e_.longWord(p + ".address", list[d].address);
    }
  }

  void words(const std::string& l, const std::vector<uint32_t>& list, size_t n) {
    for (size_t i = 0; i < n; ++i) e_.word(l + "." + std::to_string(i), i < list.size() ? list[i] : 0);
  }

  // Versions 3 and 4 put S0-S2 before the nine shape words (and version-4
  // inputs C after them) instead of the index words and aux word; version 3
  // has no second flags word and no channel bytes.
  void ioEntry(const std::string& l, const IoEntry& io, bool isInput) {
    e_.string(l, io.name);
    designations(l, io.designations);
    e_.longWord(l + ".size", io.size);
    e_.word(l + ".flags", io.flags);
    if (major_ >= 4) e_.word(l + ".flags2", io.flags2);
    if (major_ <= 4) {
      for (size_t i = 0; i < 3; ++i) e_.word(l + ".seq." + std::to_string(i), io.seq_lengths[i]);
    }
    const size_t dims = major_ <= 4 ? 9 : v6_ ? 13 : 12;
    for (size_t i = 0; i < dims; ++i) e_.word(l + ".dim." + std::to_string(i), io.dims[i]);
    if (major_ == 4 && isInput) e_.word(l + ".seq_extra", io.seq_extra);
    for (size_t i = 0; i < io.scales.size(); ++i) e_.f32(l + ".scale." + std::to_string(i), io.scales[i]);
    e_.ignored(l + ".ignored0");
    if (major_ >= 4) {
      if (io.flags & 0x2000u) e_.bytes(l + ".channel_bytes", io.channel_bytes);
      e_.ignored(l + ".ignored1");
    }
    const uint32_t ioType = (io.flags >> 1) & (major_ == 3 ? 7u : 0xFu);
    if (ioType >= 1 && ioType <= 3) {
      e_.count(l + ".io.count", io.io_groups.size());
      for (size_t g = 0; g < io.io_groups.size(); ++g) {
        const std::string p = l + ".io." + std::to_string(g);
        const IoGroup& group = io.io_groups[g];
        e_.count(p + ".count", group.first.size());
        words(p + ".first", group.first, group.first.size());
        words(p + ".second", group.second, group.first.size());
        words(p + ".third", group.third, group.first.size());
        e_.ignored(p + ".ignored0");
        e_.ignored(p + ".ignored1");
      }
    }
    for (size_t i = 0; i < io.extra_words.size(); ++i) e_.word(l + ".extra." + std::to_string(i), io.extra_words[i]);
    e_.boundary(l + ".boundary");
  }

  void axisGroups(const std::string& l, const std::vector<AxisGroup>& groups) {
    e_.count(l + ".count", groups.size());
    for (size_t g = 0; g < groups.size(); ++g) {
      const std::string p = l + "." + std::to_string(g);
      e_.word(p + ".key", groups[g].key);
      e_.count(p + ".count", groups[g].axes.size());
      for (size_t a = 0; a < groups[g].axes.size(); ++a) {
        const std::string q = p + "." + std::to_string(a);
        e_.word(q + ".word", groups[g].axes[a].word);
        e_.f32(q + ".multiplier", groups[g].axes[a].multiplier);
        e_.f32(q + ".offset", groups[g].axes[a].offset);
        e_.boundary(q + ".boundary");
      }
      e_.boundary(p + ".boundary");
    }
  }

  void sequenceLength(const std::string& l, const SequenceLength& s) {
    e_.string(l, s.name);
    e_.word(l + ".type", s.type_word);
    e_.word(l + ".max_size", s.max_size);
    words(l + ".extra", {s.extra.begin(), s.extra.end()}, v6_ ? 3 : 2);
    axisGroups(l + ".in", s.input_axes);
    axisGroups(l + ".out", s.output_axes);
    e_.count(l + ".seq_ids.count", s.sequence_rmem_ids.size());
    words(l + ".seq_ids", s.sequence_rmem_ids, s.sequence_rmem_ids.size());
    e_.ignored(l + ".ignored0");
    e_.count(l + ".cache_ids.count", s.cache_rmem_ids.size());
    words(l + ".cache_ids", s.cache_rmem_ids, s.cache_rmem_ids.size());
    e_.ignored(l + ".ignored1");
    e_.boundary(l + ".boundary");
  }

  void sectionBinary(const std::string& l, const SectionBinary& s) {
    e_.word(l + ".flags", s.flags);
    designations(l, s.designations);
    e_.longWord(l + ".size", s.size.value_or(s.payload.size()));
    if (!(s.flags & 1u)) e_.bytes(l + ".payload", s.payload);
    e_.ignored(l + ".ignored");
    e_.boundary(l + ".boundary");
  }

  void cacheDesignation(const std::string& l, const CacheDesignation& c) {
    if (v6_) {
      e_.word(l + ".type", c.type_word);
      e_.string(l, c.name);
      e_.longWord(l + ".size", c.size);
      e_.count(l + ".entry.count", c.entries.size());
      for (size_t i = 0; i < c.entries.size(); ++i) {
        const std::string p = l + ".entry." + std::to_string(i);
        designations(p, c.entries[i].designations);
        e_.ignored(p + ".ignored");
        e_.word(p + ".value", c.entries[i].value);
      }
    } else {
      e_.word(l + ".ignored", c.type_word);
      designations(l, c.designations);
      e_.longWord(l + ".size", c.size);
    }
    e_.boundary(l + ".boundary");
  }

  const Model& m_;
  Emitter e_;
  bool v6_;
  uint32_t major_;
};

}  // namespace

uint32_t Written::word(const std::string& label) const {
  uint32_t value;
  std::memcpy(&value, bytes.data() + at(label), 4);
  return value;
}

void Written::setWord(const std::string& label, uint32_t value) { std::memcpy(bytes.data() + at(label), &value, 4); }

void Written::setLongWord(const std::string& label, uint64_t value) {
  std::memcpy(bytes.data() + at(label), &value, 8);
}

uint32_t byteSum(const std::vector<uint8_t>& bytes, uint64_t checksumOffset) {
  uint32_t sum = 0;
  for (uint64_t i = 0; i < bytes.size(); ++i) {
    if (i < checksumOffset || i >= checksumOffset + 4) sum += bytes[i];
  }
  return sum;
}

void Written::fixChecksum() {
  const uint64_t offset = at("checksum");
  if (bytes.size() < offset + 4) return;
  const uint32_t sum = byteSum(bytes, offset);
  std::memcpy(bytes.data() + offset, &sum, 4);
}

Written write(const Model& model) {
  if (!isKnownVersion(model.version)) {
    throw std::invalid_argument("zrb writer: format version " + std::to_string(model.version) +
                                " is not supported");
  }
  Written out;
  switch (model.version >> 16) {
    case 1:
      writeVersion1(model, out);
      break;
    case 2:
      writeVersion2(model, out);
      break;
    default:
      FileWriter(model, out).file();
  }
  out.bytes.insert(out.bytes.end(), model.trailing.begin(), model.trailing.end());
  if (model.checksum) {
    out.setWord("checksum", *model.checksum);
  } else {
    out.fixChecksum();
  }
  const auto it = model.overrides.find("checksum");
  if (it != model.overrides.end()) out.setWord("checksum", it->second);
  // A misspelt label would otherwise leave the file as it was, quietly.
  for (const auto& [label, value] : model.overrides) {
    if (!out.offsets.count(label)) {
      throw std::invalid_argument("/overrides/" + label + ": unknown key (no word of the file has this label)");
    }
  }
  return out;
}

uint32_t ioFlags(bool perChannel, uint32_t ioType, uint32_t kind, bool channelBytes) {
  return (perChannel ? 1u : 0u) | ((ioType & 0xFu) << 1) | ((kind & 0xFFu) << 5) | (channelBytes ? 0x2000u : 0u);
}

uint32_t binaryFlags(bool noPayload, bool flag1, uint32_t memoryType, uint32_t attribute) {
  return (noPayload ? 1u : 0u) | (flag1 ? 2u : 0u) | ((memoryType & 0x1Fu) << 2) | ((attribute & 0xFFu) << 8);
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace kestrane::test::zrbw
