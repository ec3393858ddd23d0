#pragma once

// The word-by-word output of the model-file writer: every field is written
// under a label (recorded with its offset) and may be replaced through the
// model's overrides; ignored words get seeded noise.

#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/zrb_writer.h"

namespace kestrane::test::zrbw {

class Emitter {
 public:
  Emitter(const Model& model, Written& out) : model_(model), out_(out), noise_(model.noise_seed) {}

  void word(const std::string& label, uint32_t value) {
    mark(label);
    const auto it = model_.overrides.find(label);
    if (it != model_.overrides.end()) value = it->second;
    append(&value, 4);
  }
  void longWord(const std::string& label, uint64_t value) {
    mark(label);
    const auto it = model_.overrides.find(label);
    if (it != model_.overrides.end()) value = it->second;
    append(&value, 8);
  }
  void f32(const std::string& label, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    word(label, bits);
  }
  void bytes(const std::string& label, const std::vector<uint8_t>& data) {
    if (model_.overrides.count(label)) {
      throw std::invalid_argument("/overrides/" + label + ": unknown key (no word of the file has this label)");
    }
    mark(label);
    out_.bytes.insert(out_.bytes.end(), data.begin(), data.end());
  }
  void tag(const std::string& label, const char* text) {
    uint32_t value;
    std::memcpy(&value, text, 4);
    word(label, value);
  }
  void ignored(const std::string& label) {
    const auto noise = static_cast<uint32_t>(noise_());
    word(label, model_.ignored_value.value_or(noise));
  }
  void boundary(const std::string& label) { word(label, model_.boundary); }
  void string(const std::string& label, const std::string& text) {
    word(label + ".name_length", static_cast<uint32_t>(text.size()));
    bytes(label + ".name", std::vector<uint8_t>(text.begin(), text.end()));
  }
  void count(const std::string& label, size_t n) { word(label, static_cast<uint32_t>(n)); }

 private:
  void mark(const std::string& label) { out_.offsets[label] = out_.bytes.size(); }
  // Little-endian hosts only, like the file.
  void append(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    out_.bytes.insert(out_.bytes.end(), p, p + n);
  }

  const Model& model_;
  Written& out_;
  std::mt19937 noise_;
};

// The untagged layouts; `write` dispatches to them.
void writeVersion2(const Model& model, Written& out);
void writeVersion1(const Model& model, Written& out);

}  // namespace kestrane::test::zrbw
