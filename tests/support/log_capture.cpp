#include "support/log_capture.h"

#include <algorithm>
#include <mutex>
#include <sstream>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

namespace kestrane::test {

// Keeps the formatted text; reads take the sink's own lock.
class LogCapture::Sink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::string text() {
    std::lock_guard lock(mutex_);
    return text_;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    text_.append(formatted.data(), formatted.size());
  }
  void flush_() override {}

 private:
  std::string text_;
};

LogCapture::LogCapture(const std::string& pattern) : sink_(std::make_shared<Sink>()) {
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

std::string LogCapture::text() const { return sink_->text(); }

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> out;
  std::istringstream in(text());
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

size_t LogCapture::count(const std::string& needle) const {
  const auto all = lines();
  return static_cast<size_t>(
      std::count_if(all.begin(), all.end(), [&](const std::string& l) { return l.find(needle) != std::string::npos; }));
}

}  // namespace kestrane::test
