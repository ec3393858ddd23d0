#pragma once

// Builds programs for the simulated card (format in simcard/program_format.h
// and docs/simulated-card.md), so model files in tests carry real programs.

#include <cstdint>
#include <vector>

#include "simcard/program_format.h"

namespace kestrane::test {

// An operand address: absolute, or relative to the running core's DDR base,
// optionally plus the IO slot offset of the post.
struct Operand {
  uint64_t value = 0;
  bool coreDdr = false;
  bool ioSlot = false;
};
inline Operand absolute(uint64_t address) { return {address, false, false}; }
inline Operand ddr(uint64_t offset) { return {offset, true, false}; }
inline Operand ddrSlot(uint64_t offset) { return {offset, true, true}; }

class ProgramAssembler {
 public:
  ProgramAssembler& copy(Operand dst, Operand src, uint32_t bytes);
  ProgramAssembler& affineInt8(Operand dst, Operand src, uint32_t bytes, int32_t mul, int32_t add, uint32_t shift = 0);
  ProgramAssembler& affineFloat(Operand dst, Operand src, uint32_t bytes, float mul, float add);
  ProgramAssembler& addWeightsInt8(Operand dst, Operand src, Operand weights, uint32_t bytes);
  ProgramAssembler& addWeightsFloat(Operand dst, Operand src, Operand weights, uint32_t bytes);
  ProgramAssembler& fill(Operand dst, uint32_t bytes, uint8_t value);
  ProgramAssembler& stamp(Operand dst);
  ProgramAssembler& delay(uint32_t microseconds);
  ProgramAssembler& hang();
  ProgramAssembler& fault();
  // Scales the length of the last instruction by RMEM word `index`.
  ProgramAssembler& scaledBy(uint16_t index);

  // Header and instructions, ready for a core's instruction memory.
  std::vector<uint8_t> bytes() const;

 private:
  ProgramAssembler& add(simcard::OpCode op, Operand dst, Operand src, Operand src2, uint32_t length,
                        uint32_t arg0 = 0, uint32_t arg1 = 0, uint32_t arg2 = 0);
  std::vector<simcard::Instruction> program_;
};

}  // namespace kestrane::test
