#pragma once

// Runs kernel tests once per instruction set this CPU offers: a test of the
// fixture sees the kernels of its parameter's set (see kernels::limitIsa).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "halvex/kernels_common.h"

namespace kestrane::halvex::test {

inline std::vector<kernels::Isa> offeredIsas() {
  std::vector<kernels::Isa> out = {kernels::Isa::Baseline};
  if (kernels::cpuHasAvx2()) out.push_back(kernels::Isa::Avx2);
  if (kernels::cpuHasAvx512()) out.push_back(kernels::Isa::Avx512);
  return out;
}

inline std::string isaName(const ::testing::TestParamInfo<kernels::Isa>& info) {
  switch (info.param) {
    case kernels::Isa::Avx512: return "Avx512";
    case kernels::Isa::Avx2: return "Avx2";
    default: return "Baseline";
  }
}

class EveryIsa : public ::testing::TestWithParam<kernels::Isa> {
 protected:
  void SetUp() override { kernels::limitIsa(GetParam()); }
  void TearDown() override { kernels::limitIsa(kernels::Isa::Avx512); }
};

}  // namespace kestrane::halvex::test

// In each test file that has TEST_P(Suite, ...) cases on the fixture.
#define HALVEX_ON_EVERY_ISA(Suite)                                                                     \
  INSTANTIATE_TEST_SUITE_P(Isa, Suite, ::testing::ValuesIn(::kestrane::halvex::test::offeredIsas()), \
                           ::kestrane::halvex::test::isaName)
