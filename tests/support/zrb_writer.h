#pragma once

// Writes model files of format versions 1 to 6 from plain records, for
// tests and the zrbgen tool. It knows the layout on its own: it shares no
// header or constant with the reader, so one misreading cannot hide in both.
//
// Every word of the file is settable: flag words are given raw, ignored
// words get noise from a seeded generator unless overridden, and any
// labelled word can be replaced by `overrides` (label -> value). The result
// carries the bytes and the offset of every labelled field, so a test can
// corrupt a chosen word, fix or break the checksum, or truncate the file.
//
// Labels: "magic", "version", "target_hardware", "header_word",
// "header_word_ext" (version 6), "checksum"; lists "mma", "bdy", and per
// bundle "b<i>.mta", "b<i>.cre", "b<i>.ipt", "b<i>.opt", "b<i>.sql",
// "b<i>.bin", "b<i>.rmi", "b<i>.cad", each with ".tag", ".count" and
// ".boundary" (plus "b<i>.mta.bundle_word"); entry k of a list is
// "<list>.<k>" with fields such as ".flags", ".size", ".payload",
// ".ignored", ".boundary", ".name_length"; a designation is
// "<entry>.des.<d>" (".core", ".mode", ".flags", ".ignored", ".address");
// the bundle's closing boundary is "b<i>.boundary". Counts and lengths end
// in ".count", ".des_count", ".name_length" or ".size".
//
// Versions 2 and 1 have no tags: a version-2 bundle is "b<i>.cre" (tagged),
// then "b<i>.ipt", "b<i>.opt", "b<i>.bin" and "b<i>.mta", each list with an
// ".unchecked" word before its ".count", and ends in "b<i>.end". Version 1
// has one bundle "b0" with "b0.cre.count", "b0.ipt", "b0.opt" and "b0.bin"
// (each list with ".ignored" before ".count"); its checksums are labelled
// "b0.ipt.<k>.scale_checksum", "b0.bin.<k>.checksum" and "checksum" (the
// last word of the file).

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kestrane::test::zrbw {

inline constexpr uint32_t kBoundaryWord = 0x12345678;
inline constexpr uint32_t kSwappedBoundaryWord = 0x78563412;

// Version 2 writes core_word, mode_word and address; a version-1 binary
// candidate core_word and address.
struct Designation {
  uint32_t core_word = 0x10001;   // cluster | core
  uint32_t mode_word = 0;         // bits 0-3 mode, 5-8 modes, 11-12 clusters
  uint32_t flag_word = 0;         // bit 0 flag, bits 1-6 memory type
  uint64_t address = 0;
};

struct Metadatum {
  uint32_t flags = 0;             // bit 4: no payload in the file
  std::vector<uint8_t> payload;
  std::optional<uint32_t> size;   // the size word; payload size when unset
};

struct Core {
  uint32_t core_word = 0x10001;
  uint32_t mode_word = 0;          // version 1: the word W
  std::array<uint64_t, 3> values{};  // versions 1 to 3
};

struct IoGroup {
  std::vector<uint32_t> first, second, third;  // written with first's length
};

struct IoEntry {
  std::string name;
  std::vector<Designation> designations;
  uint64_t size = 0;
  uint32_t flags = 0;             // bit 0 per channel, 1-4 io type, 5-12 kind, 13 channel bytes
  uint32_t flags2 = 0;
  // reshaped h/w/c, original h/w/c, h/w/c, seq index h/w/c, aux word
  // (version 5 writes the first twelve).
  std::array<uint32_t, 13> dims{};
  std::vector<float> scales;      // written as given
  std::vector<uint8_t> channel_bytes;  // written when flags bit 13 is set
  std::vector<IoGroup> io_groups;      // written when the io type is 1 to 3
  std::vector<uint32_t> extra_words;   // written just before the boundary
  // Versions 3 and 4: the per-axis sequence words S0-S2, and C (version-4
  // inputs only).
  std::array<uint32_t, 3> seq_lengths{};
  uint32_t seq_extra = 0;
  uint64_t address = 0;                // version 1: the entry's device address
};

struct Axis {
  uint32_t word = 0;              // bits 0-7 type, 8-11 axis
  float multiplier = 1.0f;
  float offset = 0.0f;
};

struct AxisGroup {
  uint32_t key = 0;
  std::vector<Axis> axes;
};

struct SequenceLength {
  std::string name;
  uint32_t type_word = 0;
  uint32_t max_size = 0;
  std::array<uint32_t, 3> extra{};  // version 5 writes two
  std::vector<AxisGroup> input_axes, output_axes;
  std::vector<uint32_t> sequence_rmem_ids, cache_rmem_ids;
};

struct SectionBinary {
  uint32_t flags = 0;             // bit 0: no payload in the file
  std::vector<Designation> designations;
  std::vector<uint8_t> payload;
  std::optional<uint64_t> size;   // the size field; payload size when unset
};

struct RmemId {
  uint32_t type_word = 0;
  uint32_t value = 0;
  float multiplier = 1.0f;
  float offset = 0.0f;
};

struct CacheEntry {
  std::vector<Designation> designations;
  uint32_t value = 0;
};

struct CacheDesignation {
  uint32_t type_word = 0;                  // version 6; ignored word in 5
  std::string name;                        // version 6
  uint64_t size = 0;
  std::vector<CacheEntry> entries;         // version 6
  std::vector<Designation> designations;   // version 5
};

struct Bundle {
  uint32_t bundle_word = 0;
  std::vector<Metadatum> metadata;
  std::vector<Core> cores;
  std::vector<IoEntry> inputs, outputs;
  std::vector<SequenceLength> sequence_lengths;
  std::vector<SectionBinary> section_binaries;
  std::vector<RmemId> rmem_ids;
  std::vector<CacheDesignation> cache_designations;
};

// Version 2 and 3 mode words are given raw (mode_word); version 1 writes
// the first bundle only.
struct Model {
  uint32_t version = 0x60000;
  uint32_t target_hardware = 3;
  uint32_t header_word = 0;
  uint32_t header_word_ext = 0;
  std::vector<Metadatum> metadata;
  std::vector<Bundle> bundles;
  std::vector<uint8_t> trailing;       // bytes after the last bundle
  uint32_t boundary = kBoundaryWord;   // every boundary, unless overridden
  uint32_t noise_seed = 1;             // ignored words
  std::optional<uint32_t> ignored_value;  // every ignored word, instead of noise
  std::map<std::string, uint32_t> overrides;  // label -> word, applied as written
  std::optional<uint32_t> checksum;    // the byte sum when unset
};

struct Written {
  std::vector<uint8_t> bytes;
  std::map<std::string, uint64_t> offsets;  // label -> offset of its first byte

  uint64_t at(const std::string& label) const { return offsets.at(label); }
  uint32_t word(const std::string& label) const;
  void setWord(const std::string& label, uint32_t value);
  void setLongWord(const std::string& label, uint64_t value);
  // Recomputes the checksum field for the bytes as they are now.
  void fixChecksum();
  // Cuts the file to `length` bytes.
  void truncate(uint64_t length) { bytes.resize(length); }
};

// The byte layout of `model`; refuses versions it cannot write and
// overrides of labels that name no word of the file.
Written write(const Model& model);

// The byte sum of `bytes` less the four bytes at `checksumOffset`.
uint32_t byteSum(const std::vector<uint8_t>& bytes, uint64_t checksumOffset);

// Flag-word helpers.
uint32_t ioFlags(bool perChannel, uint32_t ioType, uint32_t kind, bool channelBytes);
uint32_t binaryFlags(bool noPayload, bool flag1, uint32_t memoryType, uint32_t attribute);

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace kestrane::test::zrbw
