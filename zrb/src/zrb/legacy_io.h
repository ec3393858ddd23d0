#pragma once

// What format versions 1 to 4 share beyond the tagged entries: the fixed
// values older inputs and outputs are completed with, and the sequence
// lengths versions 3 and 4 derive from the per-axis sequence words.

#include <array>
#include <cstdint>
#include <vector>

#include "zrb/records.h"

namespace kestrane::zrb::detail {

// Cluster (bit 31 dropped) and core of a core id word, versions 2 to 6.
inline CoreId coreIdOf(uint32_t word) {
  return CoreId{static_cast<Cluster>(word & 0x7FFF0000u), static_cast<Core>(word & 0xFFFFu)};
}

// The mode word of version 2 and 3 core entries: bits 0-1 the mode (3 stands
// for no mode), bits 2-5 and 6-9 two powers of two, bit 10 a flag.
CoreConfig legacyCoreMode(uint32_t modeWord);

// Versions 1 to 3 carry no second flags word and no channel bytes: they get
// the values version 4 files usually hold, one zero channel byte per scale.
void completeLegacyIo(IoEntry& entry);
void completeLegacyIo(Input& input);

// The sequence lengths of one bundle, derived while its entries are read.
class SequenceDerivation {
 public:
  // Version 3 inputs carry no fourth sequence word: the derived record's
  // bool and the word after max_size stay clear.
  explicit SequenceDerivation(bool hasExtraWord) : hasExtraWord_(hasExtraWord) {}

  // Input i opens a sequence length on the first axis with a sequence word.
  void addInput(Input& input, int32_t index);
  // Output o joins the first sequence length whose input has a sequence
  // word on the output's axis.
  void addOutput(Output& output, int32_t index);
  // RmemId r of type 1 (sequence) or 2 (cache) is listed in every derived
  // sequence length.
  void addRmemId(const RmemIdConfig& rmemId, int32_t index);

  // The derived lengths, each given the RmemId lists gathered so far.
  std::vector<SequenceLength>& lengths();

 private:
  bool hasExtraWord_;
  std::vector<SequenceLength> lengths_;
  // Per axis, the first length whose input has a sequence word on that axis
  // (-1: none yet). Each length's one input is fixed when it is made, so
  // this is the length the linear walk would find: an output joins it in
  // constant time, not in time proportional to the lengths so far.
  std::array<int32_t, 3> firstOnAxis_{-1, -1, -1};
  RmemIdList sequenceIds_;
  RmemIdList cacheIds_;
};

}  // namespace kestrane::zrb::detail
