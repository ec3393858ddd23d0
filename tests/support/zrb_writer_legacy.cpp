// The model-file writer for format versions 2 and 1, which predate tagged
// sections.

#include <stdexcept>

#include "support/zrb_emitter.h"

namespace kestrane::test::zrbw {

namespace {

constexpr uint32_t kBundleEnd = 0xDEADBEEF;

uint32_t sumOf(const std::vector<uint8_t>& bytes) {
  uint32_t sum = 0;
  for (uint8_t b : bytes) sum += b;
  return sum;
}

std::vector<uint8_t> scaleBytes(const std::vector<float>& scales) {
  std::vector<uint8_t> out(scales.size() * 4);
  if (!scales.empty()) std::memcpy(out.data(), scales.data(), out.size());
  return out;
}

class Version2Writer {
 public:
  Version2Writer(const Model& model, Written& out) : m_(model), e_(model, out) {}

  void file() {
    e_.tag("magic", ".ZRB");
    e_.word("version", m_.version);
    e_.word("target_hardware", m_.target_hardware);
    e_.word("header_word", m_.header_word);
    e_.word("checksum", 0);
    e_.tag("bdy.tag", "@BDY");
    e_.count("bdy.count", m_.bundles.size());
    for (size_t b = 0; b < m_.bundles.size(); ++b) bundle("b" + std::to_string(b), m_.bundles[b]);
  }

 private:
  template <typename T, typename F>
  void list(const std::string& label, const std::vector<T>& items, F&& entry) {
    e_.count(label + ".count", items.size());
    for (size_t i = 0; i < items.size(); ++i) entry(label + "." + std::to_string(i), items[i]);
  }

  void bundle(const std::string& p, const Bundle& b) {
    e_.tag(p + ".cre.tag", "@CRE");
    list(p + ".cre", b.cores, [&](const std::string& l, const Core& c) {
      e_.word(l + ".core", c.core_word);
      for (size_t i = 0; i < c.values.size(); ++i) e_.longWord(l + ".value" + std::to_string(i), c.values[i]);
      e_.word(l + ".mode", c.mode_word);
      e_.boundary(l + ".boundary");
    });
    e_.ignored(p + ".ipt.unchecked");
    const bool sub2 = m_.version == 0x20002;
    list(p + ".ipt", b.inputs, [&](const std::string& l, const IoEntry& io) { ioEntry(l, io, sub2, sub2); });
    e_.ignored(p + ".opt.unchecked");
    list(p + ".opt", b.outputs,
         [&](const std::string& l, const IoEntry& io) { ioEntry(l, io, true, m_.version != 0x20000); });
    e_.ignored(p + ".bin.unchecked");
    list(p + ".bin", b.section_binaries, [&](const std::string& l, const SectionBinary& s) {
      designations(l, s.designations, true);
      e_.word(l + ".flags", s.flags);
      e_.word(l + ".size", static_cast<uint32_t>(s.size.value_or(s.payload.size())));
      if (!(s.flags & 1u)) e_.bytes(l + ".payload", s.payload);
      e_.ignored(l + ".ignored");
      e_.boundary(l + ".boundary");
    });
    e_.ignored(p + ".mta.unchecked");
    list(p + ".mta", b.metadata, [&](const std::string& l, const Metadatum& m) {
      e_.word(l + ".flags", m.flags);
      e_.word(l + ".size", m.size.value_or(static_cast<uint32_t>(m.payload.size())));
      e_.bytes(l + ".payload", m.payload);
      e_.ignored(l + ".ignored");
      e_.boundary(l + ".boundary");
    });
    e_.word(p + ".end", kBundleEnd);
  }

  // Section binaries give the mode word before the address, inputs and
  // outputs after it.
  void designations(const std::string& l, const std::vector<Designation>& list, bool modeFirst) {
    e_.count(l + ".des_count", list.size());
    for (size_t d = 0; d < list.size(); ++d) {
      const std::string p = l + ".des." + std::to_string(d);
      e_.word(p + ".core", list[d].core_word);
      if (modeFirst) e_.word(p + ".mode", list[d].mode_word);
      e_.longWord(p + ".address", list[d].address);
      if (!modeFirst) e_.word(p + ".mode", list[d].mode_word);
    }
  }

  // dims hold the shapes as in the later versions: reshaped (0-2),
  // original (3-5) and device shape (6-8).
  void ioEntry(const std::string& l, const IoEntry& io, bool hasReshape, bool hasIoType) {
    designations(l, io.designations, false);
    static constexpr size_t kOrder[] = {3, 4, 5, 6, 7, 8, 0, 1, 2};
    for (size_t i = 0; i < (hasReshape ? 9u : 6u); ++i) e_.word(l + ".dim." + std::to_string(kOrder[i]), io.dims[kOrder[i]]);
    e_.word(l + ".flags", io.flags);
    const uint32_t ioType = hasIoType ? (io.flags >> 1) & 7u : 0;
    if (ioType >= 1 && ioType <= 3) {
      e_.count(l + ".io.count", io.io_groups.size());
      for (size_t g = 0; g < io.io_groups.size(); ++g) {
        const std::string p = l + ".io." + std::to_string(g);
        const IoGroup& group = io.io_groups[g];
        e_.count(p + ".count", group.first.size());
        const std::pair<const char*, const std::vector<uint32_t>*> parts[] = {
            {".first.", &group.first}, {".second.", &group.second}, {".third.", &group.third}};
        for (const auto& [name, part] : parts) {
          for (size_t i = 0; i < group.first.size(); ++i)
            e_.word(p + name + std::to_string(i), i < part->size() ? (*part)[i] : 0);
        }
        e_.ignored(p + ".ignored");
      }
    }
    for (size_t i = 0; i < io.scales.size(); ++i) e_.f32(l + ".scale." + std::to_string(i), io.scales[i]);
    e_.ignored(l + ".ignored");
    for (size_t i = 0; i < io.extra_words.size(); ++i) e_.word(l + ".extra." + std::to_string(i), io.extra_words[i]);
    e_.boundary(l + ".boundary");
  }

  const Model& m_;
  Emitter e_;
};

class Version1Writer {
 public:
  Version1Writer(const Model& model, Written& out) : m_(model), e_(model, out) {
    if (model.bundles.size() != 1) throw std::invalid_argument("zrb writer: version 1 holds exactly one bundle");
  }

  void file() {
    const Bundle& b = m_.bundles.front();
    e_.tag("magic", ".ZRB");
    e_.word("version", m_.version);
    e_.word("target_hardware", m_.target_hardware);
    e_.word("header_word", m_.header_word);
    e_.ignored("ignored");
    e_.count("b0.cre.count", b.cores.size());
    for (size_t c = 0; c < b.cores.size(); ++c) {
      const std::string l = "b0.cre." + std::to_string(c);
      e_.word(l + ".core", b.cores[c].core_word);
      for (size_t i = 0; i < 3; ++i) e_.longWord(l + ".value" + std::to_string(i), b.cores[c].values[i]);
      e_.word(l + ".mode", b.cores[c].mode_word);
      e_.ignored(l + ".ignored");
    }
    ioSection("b0.ipt", b.inputs);
    ioSection("b0.opt", b.outputs);
    e_.ignored("b0.bin.ignored");
    e_.count("b0.bin.count", b.section_binaries.size());
    for (size_t j = 0; j < b.section_binaries.size(); ++j) {
      const std::string l = "b0.bin." + std::to_string(j);
      const SectionBinary& s = b.section_binaries[j];
      e_.count(l + ".des_count", s.designations.size());
      for (size_t d = 0; d < s.designations.size(); ++d) {
        const std::string p = l + ".des." + std::to_string(d);
        e_.word(p + ".core", s.designations[d].core_word);
        e_.longWord(p + ".address", s.designations[d].address);
      }
      e_.word(l + ".size", static_cast<uint32_t>(s.size.value_or(s.payload.size())));
      e_.bytes(l + ".payload", s.payload);
      e_.word(l + ".checksum", sumOf(s.payload));
      e_.ignored(l + ".ignored");
    }
    // The total checksum closes the file; write() fills it in.
    e_.word("checksum", 0);
  }

 private:
  void ioSection(const std::string& label, const std::vector<IoEntry>& entries) {
    e_.ignored(label + ".ignored");
    e_.count(label + ".count", entries.size());
    for (size_t k = 0; k < entries.size(); ++k) {
      const std::string l = label + "." + std::to_string(k);
      const IoEntry& io = entries[k];
      e_.longWord(l + ".address", io.address);
      for (size_t i = 3; i < 9; ++i) e_.word(l + ".dim." + std::to_string(i), io.dims[i]);
      e_.word(l + ".flags", io.flags);
      for (size_t i = 0; i < io.scales.size(); ++i) e_.f32(l + ".scale." + std::to_string(i), io.scales[i]);
      e_.word(l + ".scale_checksum", sumOf(scaleBytes(io.scales)));
      e_.ignored(l + ".ignored");
    }
  }

  const Model& m_;
  Emitter e_;
};

}  // namespace

void writeVersion2(const Model& model, Written& out) { Version2Writer(model, out).file(); }

void writeVersion1(const Model& model, Written& out) { Version1Writer(model, out).file(); }

}  // namespace kestrane::test::zrbw
