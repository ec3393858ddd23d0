#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

// Kept for the tests that came to rely on what this header brought along.
#include <spdlog/sinks/ostream_sink.h>

namespace kestrane::test {

// Collects what the process-wide logger writes while it lives, one entry per
// line. The logger's level is lowered to debug meanwhile. Threads may log
// while the test reads.
class LogCapture {
 public:
  // `pattern` is the sink's spdlog pattern: the level and the message by
  // default; "%s" (source file), "%#" (line) and "%!" (function) show where
  // a line was logged.
  explicit LogCapture(const std::string& pattern = "%l|%v");
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  std::string text() const;
  // Number of lines that contain `needle`.
  size_t count(const std::string& needle) const;

  class Sink;

 private:
  std::shared_ptr<Sink> sink_;
  int previousLevel_;
};

}  // namespace kestrane::test
