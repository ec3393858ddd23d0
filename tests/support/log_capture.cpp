#include "support/log_capture.h"

#include <algorithm>

#include <spdlog/spdlog.h>

namespace kestrane::test {

LogCapture::LogCapture(const std::string& pattern)
    : sink_(std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_)) {
  sink_->set_pattern(pattern);
  auto& sinks = spdlog::default_logger_raw()->sinks();
  sinks.push_back(sink_);
  previousLevel_ = spdlog::default_logger_raw()->level();
  spdlog::default_logger_raw()->set_level(spdlog::level::debug);
}

LogCapture::~LogCapture() {
  auto& sinks = spdlog::default_logger_raw()->sinks();
  sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
  spdlog::default_logger_raw()->set_level(static_cast<spdlog::level::level_enum>(previousLevel_));
}

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> out;
  std::istringstream in(stream_.str());
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

size_t LogCapture::count(const std::string& needle) const {
  const auto all = lines();
  return static_cast<size_t>(
      std::count_if(all.begin(), all.end(), [&](const std::string& l) { return l.find(needle) != std::string::npos; }));
}

}  // namespace kestrane::test
