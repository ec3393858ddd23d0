// Prints the logger's level after the library has loaded, then logs one line
// at each level; with a path argument it starts tracing, records the events
// of a model creation (of a file that is not there) and exits without
// stopping it.
#include <cstdio>
#include <string>

#include <spdlog/spdlog.h>

#include "kestrane/model.h"
#include "kestrane/trace.h"
#include "kestrane/version.h"

int main(int argc, char** argv) {
  std::printf("version=%s level=%d\n", kestrane::getOphelVersion().c_str(),
              static_cast<int>(spdlog::get_level()));
  std::fflush(stdout);
  spdlog::debug("probe-debug");
  spdlog::info("probe-info");
  spdlog::warn("probe-warn");
  if (argc > 1) {
    if (!kestrane::startTracingEvents(argv[1])) return 2;
    kestrane::stopTracingEvents();
    kestrane::startTracingEvents(argv[1]);
    kestrane::StatusCode status = kestrane::StatusCode::OK;
    if (kestrane::Model::create(std::string(argv[1]) + ".missing.zrb", status) != nullptr) return 3;
  }
  return 0;
}
