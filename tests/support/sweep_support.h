#pragma once

// What the tests that make each host allocation fail in turn share: a guard
// that turns a hang into a line naming the round, a console kept quiet over
// thousands of rounds, and the stride of a sweep.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <spdlog/sinks/sink.h>
#include <spdlog/spdlog.h>

namespace kestrane::test {

// Ends the process with "Hung: <label>" when it lives longer than `limit`:
// a hang shows as that line, not as the test's time-out.
class HangGuard {
 public:
  HangGuard(std::string label, std::chrono::seconds limit)
      : label_(std::move(label)), limit_(limit), thread_([this] { watch(); }) {}
  ~HangGuard() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  HangGuard(const HangGuard&) = delete;
  HangGuard& operator=(const HangGuard&) = delete;

 private:
  void watch() {
    std::unique_lock lock(mutex_);
    if (changed_.wait_for(lock, limit_, [&] { return done_; })) return;
    std::fprintf(stderr, "Hung: %s\n", label_.c_str());
    std::abort();
  }
  std::string label_;
  std::chrono::seconds limit_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  std::thread thread_;  // last: starts once the rest is there
};

// Keeps the console sink quiet while it lives; the lines still reach a
// LogCapture.
class QuietConsole {
 public:
  QuietConsole() : sink_(spdlog::default_logger_raw()->sinks().front()), level_(sink_->level()) {
    sink_->set_level(spdlog::level::off);
  }
  ~QuietConsole() { sink_->set_level(level_); }
  QuietConsole(const QuietConsole&) = delete;
  QuietConsole& operator=(const QuietConsole&) = delete;

 private:
  std::shared_ptr<spdlog::sinks::sink> sink_;
  spdlog::level::level_enum level_;
};

// The step between the allocations a sweep of `total` makes fail: every one
// in a plain build, about 150 of them under a sanitizer.
inline uint64_t sweepStride(uint64_t total) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr uint64_t kRounds = 150;
  return total / kRounds > 1 ? total / kRounds : 1;
#else
  (void)total;
  return 1;
#endif
}

}  // namespace kestrane::test
