#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "core/trace_event_recorder.h"
#include "core/trace_scope.h"
#include "kestrane/trace.h"
#include "platform/thread_start.h"
#include "support/log_capture.h"

using namespace kestrane;

namespace {

// A recorder and a trace file of this process, removed after the test.
class TraceRecorderTest : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove(path_); }
  std::string text() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  nlohmann::json events() const { return nlohmann::json::parse(text()); }
  // Records from `threads` threads, `each` events apiece, while `whileRunning`
  // runs; returns how many the recorder took.
  template <typename F>
  int recordFrom(int threads, int each, F whileRunning) {
    std::atomic<int> stored{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
      pool.emplace_back([&, t] {
        for (int i = 0; i < each; ++i) stored += rec_.record(std::to_string(t) + ":" + std::to_string(i), "", 'B');
      });
    whileRunning();
    for (auto& th : pool) th.join();
    return stored.load();
  }
  const std::string path_ =
      (std::filesystem::temp_directory_path() / ("trace_" + std::to_string(::getpid()) + ".json")).string();
  TraceEventRecorder rec_;
};

TEST_F(TraceRecorderTest, EmptyAndOverLongTracesAreStillValidFiles) {
  ASSERT_TRUE(rec_.start(path_.c_str()));
  rec_.stop();
  EXPECT_EQ(text(), "[\n\n]\n");
  ASSERT_TRUE(rec_.start(path_.c_str()));
  rec_.record(std::string(300, 'x'), "", 'B');
  rec_.stop();
  EXPECT_EQ(text(), "[\n{\"err\": \"Too long\"}\n]\n");
}

TEST_F(TraceRecorderTest, ScopesAndEventsAreSeparatedAndFormattedExactlyOnlyWhileTracing) {
  { TraceScope idle(rec_, "", "idle"); }
  ASSERT_TRUE(rec_.start(path_.c_str()));
  { TraceScope scope(rec_, "cat", "infer"); }
  EXPECT_TRUE(rec_.record("next", "cat", 'E'));
  rec_.stop();
  const std::string ids = ",\"pid\":" + std::to_string(::getpid()) + ",\"tid\":" + std::to_string(::gettid());
  auto event = [&](const char* name, const char* cat, char ph) {
    return std::string("\\{\"name\":\"") + name + "\",\"cat\":\"" + cat + "\",\"ph\":\"" + ph + "\"" + ids +
           ",\"ts\":\\d+\\}";
  };
  const std::regex shape("\\[\n" + event("infer", "cat", 'B') + ",\n" + event("infer", "cat", 'E') + ",\n" +
                         event("next", "cat", 'E') + "\n\\]\n");
  EXPECT_TRUE(std::regex_match(text(), shape)) << text();
  EXPECT_LE(events()[0]["ts"].get<int64_t>(), events()[1]["ts"].get<int64_t>());
}

TEST_F(TraceRecorderTest, ScopeOpenedBeforeStartStillRecordsItsEnd) {
  {
    TraceScope scope(rec_, "", "late");
    ASSERT_TRUE(rec_.start(path_.c_str()));
  }
  rec_.stop();
  const auto e = events();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0]["name"], "late");
  EXPECT_EQ(e[0]["ph"], "E");
}

TEST_F(TraceRecorderTest, StartTwiceKeepsFirstFileAndStopWithoutStartTouchesNothing) {
  rec_.stop();
  const auto second = path_ + ".second";
  EXPECT_FALSE(rec_.record("ignored", "", 'B'));
  ASSERT_TRUE(rec_.start(path_.c_str()));
  EXPECT_TRUE(rec_.start(second.c_str()));
  EXPECT_FALSE(std::filesystem::exists(second));
  rec_.record("a", "", 'B');
  rec_.stop();
  EXPECT_EQ(events().size(), 1u);
  EXPECT_FALSE(rec_.record("after", "", 'B'));
  EXPECT_FALSE(rec_.start("/nonexistent-dir/trace.json"));
  EXPECT_FALSE(startTracingEvents(nullptr));
}

// Several threads push past the swap threshold: every stored event is
// written once, in per-thread order.
TEST_F(TraceRecorderTest, ConcurrentRecordingLosesNothingAcrossSwaps) {
  ASSERT_TRUE(rec_.start(path_.c_str()));
  EXPECT_EQ(recordFrom(4, 70000, [] {}), 4 * 70000);
  rec_.stop();
  const auto e = events();
  ASSERT_EQ(e.size(), 4u * 70000);
  std::map<std::string, int> next;
  for (const auto& event : e) {
    const std::string name = event["name"];
    const auto colon = name.find(':');
    const int index = std::stoi(name.substr(colon + 1));
    EXPECT_EQ(index, next[name.substr(0, colon)]++) << name;
  }
}

// A writer thread that cannot be started, at the first swap or at the one
// after a writer thread ran, from one recording thread or several: the
// recording thread writes the buffer instead, so every event is stored and
// written once, in per-thread order, with one line for the failed start,
// and the next swap starts a writer again.
TEST_F(TraceRecorderTest, WriterThatCannotStartLeavesTheBufferToTheRecordingThread) {
  constexpr int kPastSwap = static_cast<int>(TraceEventRecorder::kSwapThreshold) + 1;
  struct Case {
    int threads, each;
    uint64_t failingStart;
    uint64_t starts;  // the writers started, the failed one included; 0: as the threads meet
  };
  for (const Case& c : {Case{1, 250000, 1, 2}, Case{4, 70000, 1, 0}, Case{1, 2 * kPastSwap, 2, 2}}) {
    SCOPED_TRACE(std::to_string(c.threads) + " threads, start " + std::to_string(c.failingStart) + " fails");
    const test::LogCapture log;
    ASSERT_TRUE(rec_.start(path_.c_str()));
    platform::failThreadStart(c.failingStart);
    int stored = 0;
    if (c.failingStart == 1) {
      stored = recordFrom(c.threads, c.each, [] {});
    } else {
      // The first writer thread has written its buffer before the next swap.
      for (int i = 0; i < c.each; ++i) {
        stored += rec_.record("0:" + std::to_string(i), "", 'B');
        if (i + 1 != kPastSwap) continue;
        auto written = [&] { return text().find("\"0:" + std::to_string(i) + "\"") != std::string::npos; };
        for (int wait = 0; wait < 1000 && !written(); ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    EXPECT_EQ(stored, c.threads * c.each);
    if (c.starts != 0) {
      EXPECT_EQ(platform::threadStarts(), c.starts);
    }
    platform::failThreadStart(std::nullopt);
    rec_.stop();
    EXPECT_EQ(log.count("Failed to start the trace writer thread"), 1u);
    const auto e = events();
    ASSERT_EQ(e.size(), static_cast<size_t>(c.threads * c.each));
    std::map<std::string, int> next;
    for (const auto& event : e) {
      const std::string name = event["name"];
      const auto colon = name.find(':');
      EXPECT_EQ(std::stoi(name.substr(colon + 1)), next[name.substr(0, colon)]++) << name;
    }
  }
}

TEST_F(TraceRecorderTest, StopRacingRecordersNeverWritesAfterClose) {
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(rec_.start(path_.c_str()));
    const int stored = recordFrom(3, 60000, [&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20 * round));
      rec_.stop();
    });
    EXPECT_EQ(static_cast<int>(events().size()), stored);
  }
}

}  // namespace
