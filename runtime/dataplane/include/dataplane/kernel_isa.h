#pragma once

// The instruction sets the data-plane kernels (transposition, half-precision
// conversion, quantisation) are built for. The library targets the baseline
// x86-64 set and picks wider kernels on each call from what the CPU offers.

#include <cstdint>

namespace kestrane {

// Each includes the ones before; Avx512 is the foundation with the byte,
// word, doubleword and vector-length extensions.
enum class KernelIsa : uint8_t { Baseline = 0, Avx2 = 1, F16c = 2, Avx512 = 3 };

// The widest set this CPU offers, capped by limitKernelIsa.
KernelIsa kernelIsa();

// For tests and benchmarks: use nothing wider than `isa` from now on (never
// more than the CPU offers). Calls already running keep their kernels.
void limitKernelIsa(KernelIsa isa);

}  // namespace kestrane
