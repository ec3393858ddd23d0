#include "legacy_io.h"

#include <array>

namespace kestrane::zrb::detail {

namespace {

constexpr uint8_t kNoIoType = 15;
constexpr uint8_t kUnsetIoType3Bits = 7;

std::array<uint32_t, 3> sequenceWords(const IoEntry& e) {
  return {e.seq_length_height, e.seq_length_width, e.seq_length_channel};
}

// The first axis with a sequence word, or -1.
int firstSequenceAxis(const IoEntry& e) {
  const auto words = sequenceWords(e);
  for (int axis = 0; axis < 3; ++axis) {
    if (words[axis] != 0) return axis;
  }
  return -1;
}

int32_t& sequenceIndex(IoEntry& e, int axis) {
  return axis == 0 ? e.seq_index_height : axis == 1 ? e.seq_index_width : e.seq_index_channel;
}

std::vector<SequenceLengthAxis> oneAxis(int axis) {
  SequenceLengthAxis item;
  item.axis_type = 0;
  item.axis = static_cast<uint8_t>(axis);
  return {item};
}

}  // namespace

CoreConfig legacyCoreMode(uint32_t modeWord) {
  CoreConfig config;
  const uint32_t mode = modeWord & 3u;
  config.mode = mode == 3 ? static_cast<uint32_t>(CoreMode::Error) : mode;
  config.pow2_a = 1u << ((modeWord >> 2) & 0xFu);
  config.pow2_b = 1u << ((modeWord >> 6) & 0xFu);
  config.mode_bit10 = (modeWord >> 10) & 1u;
  return config;
}

void completeLegacyIo(IoEntry& e) {
  if (e.io_type == kUnsetIoType3Bits) e.io_type = kNoIoType;
  e.bit_list = {0, 2};
  e.word2_nibble = 2;
  e.has_channel_bytes = false;
  e.channel_bytes.assign(e.scales.size(), 0);
}

void completeLegacyIo(Input& input) {
  completeLegacyIo(static_cast<IoEntry&>(input));
  input.seq_extra_word = 0;
}

void SequenceDerivation::addInput(Input& input, int32_t index) {
  const int axis = firstSequenceAxis(input);
  if (axis < 0) return;
  SequenceLength s;
  s.sequence_type = 0;
  s.flag_bit8 = hasExtraWord_ && input.seq_extra_word != 0;
  s.max_size = static_cast<int32_t>(sequenceWords(input)[axis]);
  s.further_words[0] = hasExtraWord_ ? input.seq_extra_word : 0;
  s.further_words[1] = 0;
  s.input_axes[index] = oneAxis(axis);
  const auto created = static_cast<int32_t>(lengths_.size());
  sequenceIndex(input, axis) = created;
  const auto words = sequenceWords(input);
  for (int a = 0; a < 3; ++a) {
    if (words[a] != 0 && firstOnAxis_[a] < 0) firstOnAxis_[a] = created;
  }
  lengths_.push_back(std::move(s));
}

void SequenceDerivation::addOutput(Output& output, int32_t index) {
  const int axis = firstSequenceAxis(output);
  if (axis < 0) return;
  const int32_t k = firstOnAxis_[axis];
  if (k < 0) return;
  lengths_[static_cast<size_t>(k)].output_axes[index] = oneAxis(axis);
  sequenceIndex(output, axis) = k;
}

void SequenceDerivation::addRmemId(const RmemIdConfig& rmemId, int32_t index) {
  if (rmemId.rmem_type == 1) sequenceIds_.push_back(index);
  if (rmemId.rmem_type == 2) cacheIds_.push_back(index);
}

std::vector<SequenceLength>& SequenceDerivation::lengths() {
  // Every derived length holds the same two lists: share them.
  for (SequenceLength& s : lengths_) {
    s.sequence_rmem_ids = sequenceIds_;
    s.cache_rmem_ids = cacheIds_;
  }
  return lengths_;
}

}  // namespace kestrane::zrb::detail
