#include "version_guard.h"

#include <cstring>

namespace ophel {

bool interpreterMatches(const char* compiled, const char* runtime) {
  if (compiled == nullptr || runtime == nullptr) return false;
  const size_t length = std::strlen(compiled);
  if (std::strncmp(runtime, compiled, length) != 0) return false;
  const char next = runtime[length];
  return next < '0' || next > '9';
}

std::string versionMismatchMessage(const char* compiled, const char* runtime) {
  return std::string("Python version mismatch: module was compiled for Python ") + compiled +
         ", but the interpreter version is incompatible: " + (runtime != nullptr ? runtime : "") + ".";
}

}  // namespace ophel
