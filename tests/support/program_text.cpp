#include "support/program_text.h"

#include <sstream>
#include <stdexcept>

#include "support/program_assembler.h"

namespace kestrane::test {

namespace {

class Line {
 public:
  Line(const std::string& text, size_t lineNumber, const RegionAddress& region)
      : number_(lineNumber), region_(region) {
    std::istringstream in(text.substr(0, text.find('#')));
    for (std::string word; in >> word;) {
      if (word.rfind("scale=", 0) == 0) {
        scale_ = static_cast<int>(number(word.substr(6)));
      } else {
        words_.push_back(word);
      }
    }
  }

  bool empty() const { return words_.empty(); }
  const std::string& op() const { return words_[0]; }
  int scale() const { return scale_; }

  void expect(size_t lo, size_t hi) const {
    const size_t n = words_.size() - 1;
    if (n < lo || n > hi) fail("expects " + std::to_string(lo) + (lo == hi ? "" : " to " + std::to_string(hi)) +
                               " operands, got " + std::to_string(n));
  }
  bool has(size_t i) const { return i < words_.size(); }

  uint64_t number(const std::string& text) const {
    try {
      size_t used = 0;
      const uint64_t v = std::stoull(text, &used, 0);
      if (used == text.size()) return v;
    } catch (const std::exception&) {
    }
    fail("bad number \"" + text + "\"");
    return 0;
  }
  uint32_t u32(size_t i) const { return static_cast<uint32_t>(number(words_[i])); }
  int32_t i32(size_t i) const {
    const std::string& w = words_[i];
    return w.rfind('-', 0) == 0 ? -static_cast<int32_t>(number(w.substr(1))) : static_cast<int32_t>(number(w));
  }
  float f32(size_t i) const {
    try {
      size_t used = 0;
      const float v = std::stof(words_[i], &used);
      if (used == words_[i].size()) return v;
    } catch (const std::exception&) {
    }
    fail("bad number \"" + words_[i] + "\"");
    return 0;
  }

  Operand operand(size_t i) const {
    const std::string& w = words_[i];
    auto offsetAfter = [&](size_t prefix) { return w.size() == prefix ? 0 : number(w.substr(prefix + 1)); };
    if (w.rfind("ddr", 0) == 0 && (w.size() == 3 || w[3] == '+')) return ddr(offsetAfter(3));
    if (w.rfind("slot", 0) == 0 && (w.size() == 4 || w[4] == '+')) return ddrSlot(offsetAfter(4));
    if (w[0] == '@') {
      const size_t plus = w.find('+');
      const std::string name = w.substr(1, plus == std::string::npos ? std::string::npos : plus - 1);
      if (!region_) fail("region operand " + w + " outside a placed section");
      uint64_t base = 0;
      try {
        base = region_(name);
      } catch (const std::invalid_argument& e) {
        fail(e.what());
      }
      return absolute(base + (plus == std::string::npos ? 0 : number(w.substr(plus + 1))));
    }
    return absolute(number(w));
  }

  [[noreturn]] void fail(const std::string& why) const {
    throw std::invalid_argument("program line " + std::to_string(number_) + ": " + why);
  }

 private:
  std::vector<std::string> words_;
  int scale_ = -1;
  size_t number_;
  const RegionAddress& region_;
};

}  // namespace

std::vector<uint8_t> assembleProgramText(const std::string& text, const RegionAddress& region) {
  ProgramAssembler program;
  std::istringstream in(text);
  size_t number = 0;
  for (std::string raw; std::getline(in, raw);) {
    const Line line(raw, ++number, region);
    if (line.empty()) continue;
    const std::string& op = line.op();
    if (op == "copy") {
      line.expect(3, 3);
      program.copy(line.operand(1), line.operand(2), line.u32(3));
    } else if (op == "affine_i8") {
      line.expect(5, 6);
      program.affineInt8(line.operand(1), line.operand(2), line.u32(3), line.i32(4), line.i32(5),
                         line.has(6) ? line.u32(6) : 0);
    } else if (op == "affine_f32") {
      line.expect(5, 5);
      program.affineFloat(line.operand(1), line.operand(2), line.u32(3), line.f32(4), line.f32(5));
    } else if (op == "add_i8" || op == "add_f32") {
      line.expect(4, 4);
      if (op == "add_i8") {
        program.addWeightsInt8(line.operand(1), line.operand(2), line.operand(3), line.u32(4));
      } else {
        program.addWeightsFloat(line.operand(1), line.operand(2), line.operand(3), line.u32(4));
      }
    } else if (op == "fill") {
      line.expect(3, 3);
      program.fill(line.operand(1), line.u32(2), static_cast<uint8_t>(line.u32(3)));
    } else if (op == "stamp") {
      line.expect(1, 1);
      program.stamp(line.operand(1));
    } else if (op == "delay") {
      line.expect(1, 1);
      program.delay(line.u32(1));
    } else if (op == "hang") {
      line.expect(0, 0);
      program.hang();
    } else if (op == "fault") {
      line.expect(0, 0);
      program.fault();
    } else {
      line.fail("unknown operation \"" + op + "\"");
    }
    if (line.scale() >= 0) program.scaledBy(static_cast<uint16_t>(line.scale()));
  }
  return program.bytes();
}

bool programTextNeedsCore(const std::string& text) {
  std::istringstream in(text);
  for (std::string raw; std::getline(in, raw);) {
    if (raw.substr(0, raw.find('#')).find('@') != std::string::npos) return true;
  }
  return false;
}

}  // namespace kestrane::test
