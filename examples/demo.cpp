// The README's main job: shows what the library is and what it reports, then
// drives card 0 of the simulated card through the driver layer: open, claim
// cores, move data, post a run and wait for it.
#include <cstdio>
#include <cstring>
#include <vector>

#include "driver/device_memory_access.h"
#include "driver/taliss_device.h"
#include "hwdep/platform.h"
#include "kestrane/status.h"
#include "kestrane/version.h"
#include "runtime/globals.h"
#include "simcard/program_format.h"

namespace {

using namespace kestrane;

uint8_t* bytes(uint64_t address) { return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(address)); }

// A two-instruction program of the simulated card: out = in * 3 - 1 (int8,
// saturating) over `n` bytes of the core's DDR, then a run stamp.
std::vector<uint8_t> demoProgram(uint32_t in, uint32_t out, uint32_t stamp, uint32_t n) {
  simcard::ProgramHeader header;
  header.count = 2;
  simcard::Instruction affine;
  affine.op = static_cast<uint8_t>(simcard::OpCode::AffineI8);
  affine.flags = simcard::kDstCoreDdr | simcard::kSrcCoreDdr;
  affine.length = n;
  affine.dst = out;
  affine.src = in;
  affine.arg0 = 3;
  affine.arg1 = static_cast<uint32_t>(-1);
  simcard::Instruction mark;
  mark.op = static_cast<uint8_t>(simcard::OpCode::Stamp);
  mark.flags = simcard::kDstCoreDdr;
  mark.dst = stamp;
  std::vector<uint8_t> program(sizeof header + 2 * sizeof(simcard::Instruction));
  std::memcpy(program.data(), &header, sizeof header);
  std::memcpy(program.data() + sizeof header, &affine, sizeof affine);
  std::memcpy(program.data() + sizeof header + sizeof affine, &mark, sizeof mark);
  return program;
}

bool write(Driver& driver, uint64_t host, uint64_t device, const void* data, uint64_t size) {
  std::memcpy(bytes(host), data, size);
  return writeDeviceMemory(driver, device, 0, size, host, false, 0) == size;
}

int runOnSimulatedCard() {
  std::printf("\nOpening card 0:\n");
  StatusCode status = StatusCode::OK;
  auto device = TalissDevice::create(0, status);
  if (!device) {
    std::printf("no card: %s\n", statusCodeName(status).c_str());
    return 1;
  }
  std::vector<CoreId> free;
  device->getAvailableCores(free, status);
  std::printf("free cores: %zu\n", free.size());

  const hwdep::Platform& platform = processPlatform();
  const auto& core = platform.getCoreEntry(platform.getCluster(0x10000), 1);
  const uint64_t ddr = platform.lookupU64ById(core, 7), imem = platform.lookupU64ById(core, 0);
  const CoreId id{Cluster::Cluster0, Core::Core0};
  constexpr uint32_t kIn = 0x1000, kOut = 0x2000, kStamp = 0x3000, kCount = 8;

  if (device->claimCores({id}) != StatusCode::OK) {
    std::printf("claim failed\n");
    return 1;
  }
  std::printf("claimed Cluster0/Core0 (DDR at 0x%llx, IMEM at 0x%llx)\n", static_cast<unsigned long long>(ddr),
              static_cast<unsigned long long>(imem));

  uint64_t host = 0;
  if (device->allocateHostMemory(host, 4096) != StatusCode::OK) return 1;
  const int8_t input[kCount] = {-50, -2, -1, 0, 1, 2, 40, 100};
  const auto program = demoProgram(kIn, kOut, kStamp, kCount);
  if (!write(*device, host, ddr + kIn, input, kCount) || !write(*device, host, imem, program.data(), program.size())) {
    std::printf("write failed\n");
    return 1;
  }
  std::printf("wrote %u input bytes and a %zu-byte program\n", kCount, program.size());

  if (device->postInfer({id}) != StatusCode::OK || !device->waitDone(id, 10000000000ull)) {
    std::printf("run failed\n");
    return 1;
  }
  int8_t output[kCount];
  uint32_t stamp[4];
  if (readDeviceMemory(*device, ddr + kOut, 0, kCount, host, false, 0) != kCount) return 1;
  std::memcpy(output, bytes(host), kCount);
  if (readDeviceMemory(*device, ddr + kStamp, 0, sizeof stamp, host, false, 0) != sizeof stamp) return 1;
  std::memcpy(stamp, bytes(host), sizeof stamp);
  std::printf("run %u on core 0x%x ended; out = in * 3 - 1:\n", stamp[0], stamp[1]);
  for (uint32_t i = 0; i < kCount; ++i) std::printf("  %4d -> %4d\n", input[i], output[i]);

  device->freeHostMemory(host);
  device->unclaimCores({id});
  std::printf("released the core\n");
  return 0;
}

}  // namespace

int main() {
  std::printf("ophel %s (revision %s)\n", getOphelVersion().c_str(), getOphelGitVersion().c_str());
  std::printf("vendor:  %s\nproduct: %s\n", getOphelVendor().c_str(), getOphelProduct().c_str());
  std::printf("\nStatus codes:\n");
  for (int32_t code = 0; code <= 65; ++code) {
    if (code == 31) continue;
    std::printf("  %2d  %s\n", code, statusCodeName(static_cast<StatusCode>(code)).c_str());
  }
  return runOnSimulatedCard();
}
