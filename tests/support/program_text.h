#pragma once

// Simulated-card programs written as assembly text, for model descriptions
// (zrbgen, docs/zrbgen.md). One instruction per line; "#" starts a comment.
//
//   copy       DST SRC BYTES
//   affine_i8  DST SRC BYTES MUL ADD [SHIFT]
//   affine_f32 DST SRC BYTES MUL ADD
//   add_i8     DST SRC WEIGHTS BYTES
//   add_f32    DST SRC WEIGHTS BYTES
//   fill       DST BYTES VALUE
//   stamp      DST
//   delay      MICROSECONDS
//   hang
//   fault
//
// Any instruction may end in "scale=N": its length is multiplied by RMEM
// word N of the running core. Numbers are decimal or 0x-hexadecimal.
// Operands: a number is an absolute address; "ddr+N" is N past the running
// core's DDR base; "slot+N" adds the post's IO slot offset to that; "@NAME+N"
// is N past memory region NAME (IMEM, DDR, RMEM, ... as the hardware
// description names them) of the core the program is placed on.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrane::test {

// The address of a named region of the core the program is placed on.
using RegionAddress = std::function<uint64_t(const std::string& region)>;

// The program's bytes; throws std::invalid_argument naming the line of a
// malformed instruction, or a region operand without `region`.
std::vector<uint8_t> assembleProgramText(const std::string& text, const RegionAddress& region = {});

// Whether the text names regions of its core ("@NAME"), so each core needs
// a program of its own.
bool programTextNeedsCore(const std::string& text);

}  // namespace kestrane::test
