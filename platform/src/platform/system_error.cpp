#include "platform/system_error.h"

#include <cstring>

namespace kestrane::platform {

namespace {
thread_local int tLastError = 0;
}

int lastError() { return tLastError; }

void setLastError(int error) { tLastError = error; }

std::string systemErrorText(int error) {
  char buffer[4096];
  // The GNU form returns a pointer that may or may not be the buffer.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return text ? std::string(text) : std::string("Unknown error ") + std::to_string(error);
}

}  // namespace kestrane::platform
