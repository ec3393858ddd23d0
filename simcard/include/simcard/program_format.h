#pragma once

// The program format the simulated card executes from a core's instruction
// memory: a 16-byte header, then `count` fixed-size 48-byte instructions, all
// little-endian. docs/simulated-card.md describes every operation.

#include <cstdint>

namespace kestrane::simcard {

inline constexpr uint32_t kProgramMagic = 0x5052534B;  // "KSRP"
inline constexpr uint16_t kProgramVersion = 1;
inline constexpr uint32_t kMaxInstructions = 65536;

struct ProgramHeader {
  uint32_t magic = kProgramMagic;
  uint16_t version = kProgramVersion;
  uint16_t reserved = 0;
  uint32_t count = 0;  // number of instructions that follow
  uint32_t reserved2 = 0;
};
static_assert(sizeof(ProgramHeader) == 16);

enum class OpCode : uint8_t {
  Copy = 1,        // dst[0..len) = src[0..len)
  AffineI8 = 2,    // int8: dst = sat((src * arg0 + arg1) >> arg2), arg0/arg1 signed
  AffineF32 = 3,   // float32: dst = src * float(arg0) + float(arg1)
  AddWeights = 4,  // dst = src + src2; arg0 0: int8 saturating, 1: float32
  Fill = 5,        // dst[0..len) = low byte of arg0
  Stamp = 6,       // 16 bytes at dst: run id, core key, IO slot offset, 1 if the slot was posted
  Delay = 7,       // the run takes arg0 more microseconds
  Hang = 8,        // the run never ends
  Fault = 9,       // the run ends at once, failed
};

// Address flags: an address is absolute unless its "core DDR" flag makes it
// relative to the running core's DDR base; its "IO slot" flag adds the IO
// slot offset of the post (0 when the post carried none).
enum InstructionFlags : uint8_t {
  kDstCoreDdr = 0x01,
  kDstIoSlot = 0x02,
  kSrcCoreDdr = 0x04,
  kSrcIoSlot = 0x08,
  kSrc2CoreDdr = 0x10,
  kSrc2IoSlot = 0x20,
};

// No RMEM scaling of the length.
inline constexpr uint16_t kNoScale = 0xFFFF;

struct Instruction {
  uint8_t op = 0;
  uint8_t flags = 0;
  // When not kNoScale: the length is multiplied by the u32 word at this index
  // of the running core's RMEM (sequence lengths).
  uint16_t scaleWord = kNoScale;
  uint32_t length = 0;  // bytes
  uint64_t dst = 0;
  uint64_t src = 0;
  uint64_t src2 = 0;
  uint32_t arg0 = 0;
  uint32_t arg1 = 0;
  uint32_t arg2 = 0;
  uint32_t reserved = 0;
};
static_assert(sizeof(Instruction) == 48);

}  // namespace kestrane::simcard
