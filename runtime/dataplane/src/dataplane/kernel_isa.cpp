#include "dataplane/kernel_isa.h"

#include <cpuid.h>

#include <algorithm>
#include <atomic>

#include "halvex/kernels_common.h"

namespace kestrane {

namespace {

std::atomic<uint8_t> gLimit{static_cast<uint8_t>(KernelIsa::Avx512)};

// Through the tensor library's queries; the hardware half conversions also
// need the AVX register state that the AVX2 query confirms.
KernelIsa detect() {
  if (!halvex::kernels::cpuHasAvx2()) return KernelIsa::Baseline;
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_F16C) != 0)
    return halvex::kernels::cpuHasAvx512() ? KernelIsa::Avx512 : KernelIsa::F16c;
  return KernelIsa::Avx2;
}

}  // namespace

KernelIsa kernelIsa() {
  static const KernelIsa cpu = detect();
  return static_cast<KernelIsa>(
      std::min(static_cast<uint8_t>(cpu), gLimit.load(std::memory_order_relaxed)));
}

void limitKernelIsa(KernelIsa isa) { gLimit.store(static_cast<uint8_t>(isa), std::memory_order_relaxed); }

}  // namespace kestrane
