// The README's main job: shows what the library is and what it reports.
#include <cstdio>

#include "kestrane/status.h"
#include "kestrane/version.h"

int main() {
  using namespace kestrane;
  std::printf("ophel %s (revision %s)\n", getOphelVersion().c_str(), getOphelGitVersion().c_str());
  std::printf("vendor:  %s\nproduct: %s\n", getOphelVendor().c_str(), getOphelProduct().c_str());
  std::printf("\nStatus codes:\n");
  for (int32_t code = 0; code <= 65; ++code) {
    if (code == 31) continue;
    std::printf("  %2d  %s\n", code, statusCodeName(static_cast<StatusCode>(code)).c_str());
  }
  return 0;
}
