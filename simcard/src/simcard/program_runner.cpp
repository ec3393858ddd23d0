#include "simcard/program_runner.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/thread_slot.h"
#include "simcard/card_layout.h"
#include "simcard/device_memory.h"
#include "simcard/program_format.h"
#include "simcard/stop_token.h"

namespace kestrane::simcard {

namespace {

// Scaled lengths beyond this are taken as a broken program.
constexpr uint64_t kMaxLength = 1ull << 32;
// Large operations move through the host in pieces of this size.
constexpr uint64_t kChunk = 1 << 20;

// Buffers a run thread keeps from run to run, so that a run allocates
// nothing once they have grown. Those grown past kKeep are let go after
// the run.
struct Scratch {
  static constexpr size_t kKeep = 64 << 10;
  std::vector<Instruction> program;
  std::vector<uint8_t> a, b;
  void trim() {
    if (program.capacity() * sizeof(Instruction) > kKeep) program = {};
    if (a.capacity() > kKeep) a = {};
    if (b.capacity() > kKeep) b = {};
  }
};

Scratch& scratch() {
  static platform::ThreadSlot<Scratch> slot;
  return slot.get();
}

// Device memory as a program sees it: on an interleaving card an address in
// the interleaved range is spread over the channel windows in 256-byte
// granules.
class ProgramMemory {
 public:
  ProgramMemory(DeviceMemory& memory, bool interleave) : memory_(memory), interleave_(interleave) {}

  bool read(uint64_t address, void* dst, uint64_t size) const {
    return access(address, size, [&](uint64_t at, uint64_t done, uint64_t n) {
      return memory_.read(at, static_cast<uint8_t*>(dst) + done, n);
    });
  }
  bool write(uint64_t address, const void* src, uint64_t size) {
    return access(address, size, [&](uint64_t at, uint64_t done, uint64_t n) {
      return memory_.write(at, static_cast<const uint8_t*>(src) + done, n);
    });
  }

 private:
  template <typename Fn>
  bool access(uint64_t address, uint64_t size, Fn fn) const {
    if (!interleave_ || address + size < address || address + size - 1 < kInterleavedFirst ||
        address > kInterleavedLast)
      return fn(address, 0, size);
    if (address < kInterleavedFirst || address + size - 1 > kInterleavedLast) return false;  // straddles the range
    for (uint64_t done = 0; done < size;) {
      const uint64_t at = address + done;
      const uint64_t n = std::min(size - done, 256 - (at & 0xFF));
      if (!fn(channelAddress(at), done, n)) return false;
      done += n;
    }
    return true;
  }

  DeviceMemory& memory_;
  bool interleave_;
};

class Runner {
 public:
  // A stop (a reset, or a post that supersedes the run) ends an instruction
  // after the chunk in progress, as a reset stops a core at once.
  Runner(DeviceMemory& memory, const RunContext& context, const StopToken& stop, Scratch& scratch)
      : memory_(memory, context.interleave), ctx_(context), stop_(stop), a_(scratch.a), b_(scratch.b) {}

  uint64_t address(uint64_t value, bool coreDdr, bool ioSlot) const {
    if (coreDdr) value += ctx_.core.ddr;
    if (ioSlot) value += ctx_.ioSlotOffset;
    return value;
  }

  bool length(const Instruction& in, uint64_t& out) const {
    out = in.length;
    if (in.scaleWord == kNoScale) return true;
    uint32_t word = 0;
    if (!memory_.read(ctx_.core.rmem + 4ull * in.scaleWord, &word, 4)) return false;
    out *= word;
    return out <= kMaxLength;
  }

  // Applies `fn(dst, src, src2, n)` chunk by chunk; src2 may be unused.
  template <typename Fn>
  bool transform(uint64_t dst, uint64_t src, uint64_t src2, uint64_t n, bool useSrc2, uint64_t granule, Fn fn) {
    if (n % granule != 0) return false;
    const uint64_t step = kChunk - kChunk % granule;
    std::vector<uint8_t>& a = a_;
    std::vector<uint8_t>& b = b_;
    for (uint64_t done = 0; done < n; done += step) {
      if (stop_.stopped()) return false;
      uint64_t m = std::min(step, n - done);
      a.resize(m);
      if (!memory_.read(src + done, a.data(), m)) return false;
      if (useSrc2) {
        b.resize(m);
        if (!memory_.read(src2 + done, b.data(), m)) return false;
      }
      fn(a.data(), useSrc2 ? b.data() : nullptr, m);
      if (!memory_.write(dst + done, a.data(), m)) return false;
    }
    return true;
  }

  bool fill(uint64_t dst, uint64_t n, uint8_t value) {
    a_.assign(std::min(n, kChunk), value);
    for (uint64_t done = 0; done < n; done += kChunk)
      if (stop_.stopped() || !memory_.write(dst + done, a_.data(), std::min(kChunk, n - done))) return false;
    return true;
  }

  bool stamp(uint64_t dst) {
    uint32_t words[4] = {ctx_.runId, ctx_.core.key(), ctx_.ioSlotOffset, ctx_.hasIoSlot ? 1u : 0u};
    return memory_.write(dst, words, sizeof words);
  }

 private:
  ProgramMemory memory_;
  const RunContext& ctx_;
  const StopToken& stop_;
  std::vector<uint8_t>& a_;
  std::vector<uint8_t>& b_;
};

int8_t saturate8(int64_t v) { return static_cast<int8_t>(std::clamp<int64_t>(v, -128, 127)); }

float asFloat(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

void affineI8(uint8_t* data, uint64_t n, int32_t mul, int32_t add, uint32_t shift) {
  shift = std::min<uint32_t>(shift, 62);
  for (uint64_t i = 0; i < n; ++i) {
    int64_t v = static_cast<int64_t>(static_cast<int8_t>(data[i])) * mul + add;
    data[i] = static_cast<uint8_t>(saturate8(v >> shift));
  }
}

void affineF32(uint8_t* data, uint64_t n, float mul, float add) {
  for (uint64_t i = 0; i < n; i += 4) {
    float v;
    std::memcpy(&v, data + i, 4);
    v = v * mul + add;
    std::memcpy(data + i, &v, 4);
  }
}

void addI8(uint8_t* a, const uint8_t* b, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i)
    a[i] = static_cast<uint8_t>(saturate8(int64_t{static_cast<int8_t>(a[i])} + static_cast<int8_t>(b[i])));
}

void addF32(uint8_t* a, const uint8_t* b, uint64_t n) {
  for (uint64_t i = 0; i < n; i += 4) {
    float x, y;
    std::memcpy(&x, a + i, 4);
    std::memcpy(&y, b + i, 4);
    x += y;
    std::memcpy(a + i, &x, 4);
  }
}

}  // namespace

namespace {

RunOutcome execute(DeviceMemory& memory, const RunContext& ctx, const StopToken& stop, bool hang, Scratch& scratch) {
  auto hangUntilStopped = [&] {
    stop.waitUntilStopped();
    return RunOutcome::Stopped;
  };
  ProgramHeader header;
  if (!memory.read(ctx.core.imem, &header, sizeof header) || header.magic != kProgramMagic ||
      header.version != kProgramVersion || header.count > kMaxInstructions)
    return hang ? hangUntilStopped() : RunOutcome::Failed;
  std::vector<Instruction>& program = scratch.program;
  program.resize(header.count);
  if (header.count > 0 &&
      !memory.read(ctx.core.imem + sizeof header, program.data(), header.count * sizeof(Instruction)))
    return hang ? hangUntilStopped() : RunOutcome::Failed;

  Runner run(memory, ctx, stop, scratch);
  uint64_t delayUs = 0;
  bool ok = true;
  bool hangOp = false;
  for (const auto& in : program) {
    if (stop.stopped()) return RunOutcome::Stopped;
    uint64_t n = 0;
    if (!run.length(in, n)) {
      ok = false;
      break;
    }
    const uint64_t dst = run.address(in.dst, in.flags & kDstCoreDdr, in.flags & kDstIoSlot);
    const uint64_t src = run.address(in.src, in.flags & kSrcCoreDdr, in.flags & kSrcIoSlot);
    const uint64_t src2 = run.address(in.src2, in.flags & kSrc2CoreDdr, in.flags & kSrc2IoSlot);
    switch (static_cast<OpCode>(in.op)) {
      case OpCode::Copy:
        ok = run.transform(dst, src, 0, n, false, 1, [](uint8_t*, const uint8_t*, uint64_t) {});
        break;
      case OpCode::AffineI8:
        ok = run.transform(dst, src, 0, n, false, 1, [&](uint8_t* a, const uint8_t*, uint64_t m) {
          affineI8(a, m, static_cast<int32_t>(in.arg0), static_cast<int32_t>(in.arg1), in.arg2);
        });
        break;
      case OpCode::AffineF32:
        ok = run.transform(dst, src, 0, n, false, 4, [&](uint8_t* a, const uint8_t*, uint64_t m) {
          affineF32(a, m, asFloat(in.arg0), asFloat(in.arg1));
        });
        break;
      case OpCode::AddWeights:
        if (in.arg0 == 0)
          ok = run.transform(dst, src, src2, n, true, 1, addI8);
        else if (in.arg0 == 1)
          ok = run.transform(dst, src, src2, n, true, 4, addF32);
        else
          ok = false;
        break;
      case OpCode::Fill:
        ok = run.fill(dst, n, static_cast<uint8_t>(in.arg0));
        break;
      case OpCode::Stamp:
        ok = run.stamp(dst);
        break;
      case OpCode::Delay:
        delayUs += in.arg0;
        break;
      case OpCode::Hang:
        hangOp = true;
        break;
      case OpCode::Fault:
      default:
        ok = false;
        break;
    }
    if (!ok && stop.stopped()) return RunOutcome::Stopped;
    if (!ok || hangOp) break;
  }
  if (hang || hangOp) return hangUntilStopped();
  // The run ends after its own time, so runs on other cores overlap with it.
  delayUs += uint64_t{ctx.extraDelayMs} * 1000;
  if (delayUs > 0 && !stop.sleepFor(delayUs)) return RunOutcome::Stopped;
  return ok ? RunOutcome::Succeeded : RunOutcome::Failed;
}

}  // namespace

RunOutcome runProgram(DeviceMemory& memory, const RunContext& context, const StopToken& stop, bool hang) {
  Scratch& s = scratch();
  const RunOutcome outcome = execute(memory, context, stop, hang, s);
  s.trim();
  return outcome;
}

}  // namespace kestrane::simcard
