#pragma once

// The records of a model object. They are plain values: copying a record
// copies its lists and strings. Presets are what a freshly constructed record
// holds; a field that a format version does not carry keeps its preset.
//
// What the model runtime calls these fields:
// - IoEntry::io_type is the NPU "layout kind" (0-15); IoEntry::kind is the
//   engine's "IO type" (0-5). The two names cross.
// - IoEntry::word2_nibble is the "NPU dtype" (0 float32, 1 float16, 2 int8);
//   io_groups are the stored "copy runs": first, second, third = source
//   offsets, lengths, destination offsets.
// - CoreConfig::pow2_a and pow2_b are the input and output alignment words
//   (formats 4 to 6 leave them unset: the hardware description's granule).
// - SectionBinary::memory_type is a section binary's "type word".
// - SequenceLength: flag_bit8 is the "cache flag", max_size the "maximum
//   sequence size", further_words[0] the "maximum cache size" and
//   further_words[1] the "cache offset".
// - Bundle::bundle_word is the "bundle kind word".
// The runtime does not read IoEntry::size, bit_list, channel_bytes,
// further_words[2], SectionBinary::flag_bit1 or attribute.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kestrane/type.h"

namespace kestrane::zrb {

enum class HardwareVersion : uint32_t {
  R412T = 0,
  Taliss = 1,
  Ebrill = 2,
  Taliss2 = 3,
  Ebrill2 = 4,
  Dummy = 0x7FFFFFFE,
};

// target_hardware and format_version before a file was loaded.
inline constexpr uint32_t kUnsetWord = 0x7FFFFFFF;

struct Metadatum {
  uint32_t size = 0;
  std::string path;  // extracted payload; empty when the file carries none
  uint8_t kind = 255;
  bool flag0 = false;
  bool flag1 = false;
  bool flag2 = false;
  bool flag3 = false;
  bool flag13 = false;
  bool no_payload = false;
  std::vector<uint8_t> data;  // unused from format version 3 on (see path)
};

struct CoreConfig {
  CoreId core_id;
  uint64_t value0 = 0;
  uint64_t value1 = 0;
  uint64_t value2 = 0;
  uint32_t mode = 15;  // a CoreMode value
  uint32_t pow2_a = 0;
  uint32_t pow2_b = 0;
  bool mode_bit10 = false;
  std::vector<uint32_t> supported_modes;  // CoreMode values
  std::vector<uint32_t> clusters;         // Cluster values
};

// Where an input, output, section binary or cache area lives for one core.
// Formats 4 to 6 fill only core_config, address, flag and memory_type; the
// runtime takes core_id when it is set and core_config.core_id otherwise.
struct Designation {
  CoreId core_id;
  uint64_t address = 0;
  bool flag = false;
  uint32_t mode = 15;
  std::vector<uint32_t> linked_cores;
  CoreConfig core_config;
  uint32_t memory_type = 31;
};

struct IoGroup {
  std::vector<uint32_t> first;
  std::vector<uint32_t> second;
  std::vector<uint32_t> third;
};

// What inputs and outputs share.
struct IoEntry {
  std::vector<Designation> designations;
  uint32_t original_height = 0;
  uint32_t original_width = 0;
  uint32_t original_channel = 0;
  uint32_t height = 0;
  uint32_t width = 0;
  uint32_t channel = 0;
  uint32_t reshaped_height = 0;
  uint32_t reshaped_width = 0;
  uint32_t reshaped_channel = 0;
  bool per_channel = false;
  std::vector<float> scales;
  uint8_t io_type = 15;  // 1, 2 and 3 carry io_groups
  std::vector<IoGroup> io_groups;
  uint64_t size = 0;
  uint32_t seq_length_height = 0;
  uint32_t seq_length_width = 0;
  uint32_t seq_length_channel = 0;
  uint8_t kind = 255;
  std::vector<uint8_t> bit_list;
  uint8_t word2_nibble = 15;
  bool has_channel_bytes = false;
  std::vector<uint8_t> channel_bytes;
  int32_t seq_index_height = -1;  // index into the bundle's sequence_lengths
  int32_t seq_index_width = -1;
  int32_t seq_index_channel = -1;
  uint32_t aux_word = 0;
  std::string name;
};

struct Input : IoEntry {
  // Carried by older format versions only.
  uint32_t legacy_word0 = 0;
  uint32_t legacy_word1 = 0;
  uint8_t legacy_byte0 = 0;
  uint8_t legacy_byte1 = 0;
  uint32_t seq_extra_word = 0;
};

struct Output : IoEntry {};

struct SequenceLengthAxis {
  uint8_t axis_type = 255;
  uint8_t axis = 15;
  float multiplier = 1.0f;
  float offset = 0.0f;
};

// RmemId indices of a sequence length. Format 4 links every RmemId of a type
// to every derived sequence length; those lengths share one list, so memory
// stays proportional to the file and readers can tell shared lists apart
// (sharesWith) to handle each list once. Changing a shared list copies it.
class RmemIdList {
 public:
  RmemIdList() = default;
  RmemIdList(std::vector<int32_t> ids) : ids_(std::make_shared<std::vector<int32_t>>(std::move(ids))) {}

  const std::vector<int32_t>& ids() const { return ids_ ? *ids_ : empty_(); }
  auto begin() const { return ids().begin(); }
  auto end() const { return ids().end(); }
  size_t size() const { return ids().size(); }
  bool empty() const { return ids().empty(); }
  int32_t operator[](size_t i) const { return ids()[i]; }
  bool sharesWith(const RmemIdList& other) const { return ids_ && ids_ == other.ids_; }

  void push_back(int32_t id) { own().push_back(id); }
  template <typename It>
  void assign(It first, It last) {
    ids_ = std::make_shared<std::vector<int32_t>>(first, last);
  }

  friend bool operator==(const RmemIdList& a, const RmemIdList& b) { return a.ids() == b.ids(); }
  friend bool operator==(const RmemIdList& a, const std::vector<int32_t>& b) { return a.ids() == b; }

 private:
  static const std::vector<int32_t>& empty_() {
    static const std::vector<int32_t> none;
    return none;
  }
  std::vector<int32_t>& own() {
    if (!ids_) {
      ids_ = std::make_shared<std::vector<int32_t>>();
    } else if (ids_.use_count() > 1) {
      ids_ = std::make_shared<std::vector<int32_t>>(*ids_);
    }
    return *ids_;
  }

  std::shared_ptr<std::vector<int32_t>> ids_;
};

struct SequenceLength {
  uint8_t sequence_type = 255;
  bool flag_bit8 = false;  // bit 8 of the type word
  int32_t max_size = 0;
  std::array<uint32_t, 3> further_words{};  // format version 5 carries two
  std::map<int32_t, std::vector<SequenceLengthAxis>> input_axes;
  std::map<int32_t, std::vector<SequenceLengthAxis>> output_axes;
  RmemIdList sequence_rmem_ids;
  RmemIdList cache_rmem_ids;
  std::string name;
};

struct SectionBinary {
  std::vector<Designation> designations;
  // The extracted file, or the model file itself when keep_in_file is set;
  // empty when no_payload is set.
  std::string path;
  uint64_t size = 0;
  bool no_payload = false;
  bool flag_bit1 = false;
  uint32_t memory_type = 31;
  uint8_t attribute = 255;
  bool keep_in_file = false;
  uint64_t offset = 0;  // payload offset in the model file when kept there
};

struct RmemIdConfig {
  uint8_t rmem_type = 255;  // 1: sequence length
  uint32_t value = 0;
  float multiplier = 1.0f;
  float offset = 0.0f;
};

struct CacheDesignationEntry {
  uint32_t value = 0;
  std::vector<Designation> designations;
};

struct CacheDesignation {
  std::vector<Designation> designations;
  uint64_t size = 0;
  uint8_t cache_type = 15;  // a CacheType value
  std::string name;
  std::vector<CacheDesignationEntry> entries;
};

// One compiled variant of the model.
class Bundle {
 public:
  uint32_t bundle_word = kUnsetWord;
  std::vector<CoreConfig> cores;
  std::vector<Input> inputs;
  std::vector<Output> outputs;
  std::vector<SequenceLength> sequence_lengths;
  std::vector<SectionBinary> section_binaries;
  std::vector<Metadatum> metadata;
  std::vector<RmemIdConfig> rmem_ids;
  std::vector<CacheDesignation> cache_designations;

  void setBundleWord(uint32_t word) { bundle_word = word; }
  void setCores(const std::vector<CoreConfig>& v) { assignList(cores, v); }
  void setInputs(const std::vector<Input>& v) { assignList(inputs, v); }
  void setOutputs(const std::vector<Output>& v) { assignList(outputs, v); }
  void setSequenceLengths(const std::vector<SequenceLength>& v) { assignList(sequence_lengths, v); }
  void setSectionBinaries(const std::vector<SectionBinary>& v) { assignList(section_binaries, v); }
  void setMetadata(const std::vector<Metadatum>& v) { assignList(metadata, v); }
  void setRmemIds(const std::vector<RmemIdConfig>& v) { assignList(rmem_ids, v); }
  void setCacheDesignations(const std::vector<CacheDesignation>& v) { assignList(cache_designations, v); }

  std::vector<CoreConfig>& getCores() { return cores; }
  const std::vector<CoreConfig>& getCores() const { return cores; }
  std::vector<Input>& getInputs() { return inputs; }
  const std::vector<Input>& getInputs() const { return inputs; }
  std::vector<Output>& getOutputs() { return outputs; }
  const std::vector<Output>& getOutputs() const { return outputs; }
  std::vector<SequenceLength>& getSequenceLengths() { return sequence_lengths; }
  const std::vector<SequenceLength>& getSequenceLengths() const { return sequence_lengths; }
  std::vector<SectionBinary>& getSectionBinaries() { return section_binaries; }
  const std::vector<SectionBinary>& getSectionBinaries() const { return section_binaries; }
  std::vector<Metadatum>& getMetadata() { return metadata; }
  const std::vector<Metadatum>& getMetadata() const { return metadata; }
  std::vector<RmemIdConfig>& getRmemIds() { return rmem_ids; }
  const std::vector<RmemIdConfig>& getRmemIds() const { return rmem_ids; }
  std::vector<CacheDesignation>& getCacheDesignations() { return cache_designations; }
  const std::vector<CacheDesignation>& getCacheDesignations() const { return cache_designations; }

 private:
  // Assigning a list to itself leaves it as it is.
  template <typename T>
  static void assignList(std::vector<T>& to, const std::vector<T>& from) {
    if (&to != &from) to = from;
  }
};

}  // namespace kestrane::zrb
