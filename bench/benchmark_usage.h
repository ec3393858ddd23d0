#pragma once

// -h and --help of the Google Benchmark programs: what the program measures,
// then the library's own flags. An argument the library does not take, or a
// flag value it refuses, ends the program with one line and exit status 2.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_args.h"

namespace kestrane::bench {

inline const char* gProgram = "";
inline const char* gUsage = "";
inline bool gHelpAsked = false;

// The library calls this for --help and, before exiting 0, for a flag value
// it does not take: only the first is a help.
inline void printUsage() {
  if (!gHelpAsked) {
    std::fprintf(stderr, "%s: a Google Benchmark flag has a value it does not take (see --help)\n", gProgram);
    std::exit(2);
  }
  std::fputs(gUsage, stdout);
  std::fputs("\nand the flags of Google Benchmark:\n", stdout);
  benchmark::PrintDefaultHelp();
}

// benchmark::Initialize for a program that takes Google Benchmark's flags
// only: `usage` (what it measures) comes before the library's own help.
inline void initialize(int* argc, char** argv, const char* usage) {
  gProgram = argv[0];
  gUsage = usage;
  gHelpAsked = asksHelp(*argc, argv);
  if (gHelpAsked) {
    printUsage();
    std::exit(0);
  }
  benchmark::Initialize(argc, argv, printUsage);
  if (*argc > 1) refuseArgument(argv[0], std::string("unknown argument ") + argv[1]);
}

}  // namespace kestrane::bench
