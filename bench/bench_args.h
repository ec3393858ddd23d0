#pragma once

// The command line of the benchmark programs: -h and --help print the
// program's usage on standard output (exit 0); a bad argument is refused
// in one line on standard error.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kestrane::bench {

inline bool asksHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) return true;
  }
  return false;
}

// A whole number from `least` to `most`, or nothing: "12x", "" and "-3" are
// not taken for 12, 0 and a huge count.
inline bool wholeNumber(const char* text, long least, long most, long& out) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || value < least || value > most) return false;
  out = value;
  return true;
}

// Ends the program after a bad argument: one line, exit status 2.
[[noreturn]] inline void refuseArgument(const char* program, const std::string& problem) {
  std::fprintf(stderr, "%s: %s (see --help)\n", program, problem.c_str());
  std::exit(2);
}

}  // namespace kestrane::bench
