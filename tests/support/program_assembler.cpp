#include "support/program_assembler.h"

#include <cstring>
#include <stdexcept>

namespace kestrane::test {

using simcard::OpCode;

namespace {
uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}
}  // namespace

ProgramAssembler& ProgramAssembler::add(OpCode op, Operand dst, Operand src, Operand src2, uint32_t length,
                                        uint32_t arg0, uint32_t arg1, uint32_t arg2) {
  simcard::Instruction in;
  in.op = static_cast<uint8_t>(op);
  in.flags = static_cast<uint8_t>((dst.coreDdr ? simcard::kDstCoreDdr : 0) | (dst.ioSlot ? simcard::kDstIoSlot : 0) |
                                  (src.coreDdr ? simcard::kSrcCoreDdr : 0) | (src.ioSlot ? simcard::kSrcIoSlot : 0) |
                                  (src2.coreDdr ? simcard::kSrc2CoreDdr : 0) |
                                  (src2.ioSlot ? simcard::kSrc2IoSlot : 0));
  in.length = length;
  in.dst = dst.value;
  in.src = src.value;
  in.src2 = src2.value;
  in.arg0 = arg0;
  in.arg1 = arg1;
  in.arg2 = arg2;
  program_.push_back(in);
  return *this;
}

ProgramAssembler& ProgramAssembler::copy(Operand dst, Operand src, uint32_t n) {
  return add(OpCode::Copy, dst, src, {}, n);
}
ProgramAssembler& ProgramAssembler::affineInt8(Operand dst, Operand src, uint32_t n, int32_t mul, int32_t add_,
                                               uint32_t shift) {
  return add(OpCode::AffineI8, dst, src, {}, n, static_cast<uint32_t>(mul), static_cast<uint32_t>(add_), shift);
}
ProgramAssembler& ProgramAssembler::affineFloat(Operand dst, Operand src, uint32_t n, float mul, float add_) {
  return add(OpCode::AffineF32, dst, src, {}, n, bits(mul), bits(add_));
}
ProgramAssembler& ProgramAssembler::addWeightsInt8(Operand dst, Operand src, Operand w, uint32_t n) {
  return add(OpCode::AddWeights, dst, src, w, n, 0);
}
ProgramAssembler& ProgramAssembler::addWeightsFloat(Operand dst, Operand src, Operand w, uint32_t n) {
  return add(OpCode::AddWeights, dst, src, w, n, 1);
}
ProgramAssembler& ProgramAssembler::fill(Operand dst, uint32_t n, uint8_t value) {
  return add(OpCode::Fill, dst, {}, {}, n, value);
}
ProgramAssembler& ProgramAssembler::stamp(Operand dst) { return add(OpCode::Stamp, dst, {}, {}, 16); }
ProgramAssembler& ProgramAssembler::delay(uint32_t us) { return add(OpCode::Delay, {}, {}, {}, 0, us); }
ProgramAssembler& ProgramAssembler::hang() { return add(OpCode::Hang, {}, {}, {}, 0); }
ProgramAssembler& ProgramAssembler::fault() { return add(OpCode::Fault, {}, {}, {}, 0); }

ProgramAssembler& ProgramAssembler::scaledBy(uint16_t index) {
  if (program_.empty()) throw std::logic_error("scaledBy needs an instruction before it");
  program_.back().scaleWord = index;
  return *this;
}

std::vector<uint8_t> ProgramAssembler::bytes() const {
  simcard::ProgramHeader header;
  header.count = static_cast<uint32_t>(program_.size());
  std::vector<uint8_t> out(sizeof header + program_.size() * sizeof(simcard::Instruction));
  std::memcpy(out.data(), &header, sizeof header);
  if (!program_.empty()) std::memcpy(out.data() + sizeof header, program_.data(), program_.size() * sizeof(simcard::Instruction));
  return out;
}

}  // namespace kestrane::test
