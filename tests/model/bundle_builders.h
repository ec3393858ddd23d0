#pragma once

// Bundles made in memory for building NPU operations without a model file.

#include <array>
#include <map>
#include <memory>
#include <type_traits>
#include <vector>

#include "model/npu_op_desc.h"
#include "zrb/records.h"

namespace kestrane::test {

inline constexpr uint64_t kDdr0 = 0x800000000;  // DDR of Cluster0 Core0
inline constexpr uint64_t kDdr1 = 0x880000000;  // DDR of Cluster0 Core1

inline CoreId id(uint32_t key) { return {static_cast<Cluster>(key & 0xFFFF0000u), static_cast<Core>(key & 0xFFFFu)}; }

inline zrb::CoreConfig core(uint32_t key, uint32_t mode = 0) {
  zrb::CoreConfig c;
  c.core_id = id(key);
  c.mode = mode;
  return c;
}

inline zrb::Designation des(uint32_t key, uint64_t address, bool absolute = false) {
  zrb::Designation d;
  d.core_config = core(key);
  d.address = address;
  d.flag = absolute;
  return d;
}

template <typename T>
T io(uint32_t h, uint32_t w, uint32_t c, std::array<int32_t, 3> seq = {-1, -1, -1}) {
  T e;
  e.original_height = e.height = e.reshaped_height = h;
  e.original_width = e.width = e.reshaped_width = w;
  e.original_channel = e.channel = e.reshaped_channel = c;
  e.io_type = 5;
  e.word2_nibble = 2;
  e.kind = 0;
  e.scales = {1.0f};
  e.seq_index_height = seq[0];
  e.seq_index_width = seq[1];
  e.seq_index_channel = seq[2];
  e.designations = {des(0x10001, std::is_same<T, zrb::Output>::value ? 0x2000 : 0x1000)};
  return e;
}

inline zrb::SequenceLengthAxis axis(uint8_t a, float slope = 1, float offset = 0, uint8_t type = 0) {
  zrb::SequenceLengthAxis x;
  x.axis_type = type;
  x.axis = a;
  x.multiplier = slope;
  x.offset = offset;
  return x;
}

inline zrb::SequenceLength length(uint8_t type, int32_t max, std::map<int32_t, std::vector<zrb::SequenceLengthAxis>> inputs,
                           std::map<int32_t, std::vector<zrb::SequenceLengthAxis>> outputs = {}) {
  zrb::SequenceLength s;
  s.sequence_type = type;
  s.max_size = max;
  s.input_axes = std::move(inputs);
  s.output_axes = std::move(outputs);
  return s;
}

inline zrb::RmemIdConfig rmem(uint8_t type, uint32_t index, float slope = 1, float offset = 0) {
  zrb::RmemIdConfig r;
  r.rmem_type = type;
  r.value = index;
  r.multiplier = slope;
  r.offset = offset;
  return r;
}

inline zrb::Bundle bundleOf(std::vector<zrb::Input> inputs, std::vector<zrb::Output> outputs) {
  zrb::Bundle b;
  b.cores = {core(0x10001)};
  b.inputs = std::move(inputs);
  b.outputs = std::move(outputs);
  return b;
}

// The operation keeps a reference to its bundle: both live here.
struct Built {
  std::unique_ptr<zrb::Bundle> bundle;
  std::unique_ptr<NPUOpDesc> op;
  StatusCode status;
};
inline Built build(zrb::Bundle b) {
  Built out;
  out.bundle = std::make_unique<zrb::Bundle>(std::move(b));
  out.op = std::make_unique<NPUOpDesc>(*out.bundle, out.status);
  return out;
}

}  // namespace kestrane::test
