#include "driver/driver_print.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace kestrane {

namespace {
// Keeps the lines of concurrent callers whole.
std::mutex gPrintMutex;
}

void driverPrint(const char* format, ...) {
  std::lock_guard lock(gPrintMutex);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

void driverPrintError(const char* format, ...) {
  std::lock_guard lock(gPrintMutex);
  std::fputs("*E: [SystemDriver] ", stdout);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

}  // namespace kestrane
