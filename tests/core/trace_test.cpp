#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "kestrane/trace.h"
#include "runtime/trace_event_recorder.h"
#include "runtime/trace_scope.h"

using namespace kestrane;

namespace {
std::string tempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() / (name + "_" + std::to_string(::getpid()) + ".json")).string();
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

TEST(TraceRecorder, EmptyTraceIsBracketsOnly) {
  TraceEventRecorder rec;
  const auto path = tempPath("trace_empty");
  ASSERT_TRUE(rec.start(path.c_str()));
  rec.stop();
  EXPECT_EQ(readAll(path), "[\n\n]\n");
  std::filesystem::remove(path);
}

TEST(TraceRecorder, EventsAreSeparatedAndFormattedExactly) {
  TraceEventRecorder rec;
  const auto path = tempPath("trace_two");
  ASSERT_TRUE(rec.start(path.c_str()));
  EXPECT_TRUE(rec.record("infer", "", 'B'));
  EXPECT_TRUE(rec.record("infer", "cat", 'E'));
  rec.stop();
  const std::string text = readAll(path);
  const std::string tid = std::to_string(::gettid());
  const std::string pid = std::to_string(::getpid());
  const std::regex shape("\\[\n\\{\"name\":\"infer\",\"cat\":\"\",\"ph\":\"B\",\"pid\":" + pid + ",\"tid\":" + tid +
                         ",\"ts\":\\d+\\},\n\\{\"name\":\"infer\",\"cat\":\"cat\",\"ph\":\"E\",\"pid\":" + pid +
                         ",\"tid\":" + tid + ",\"ts\":\\d+\\}\n\\]\n");
  EXPECT_TRUE(std::regex_match(text, shape)) << text;
  const auto events = nlohmann::json::parse(text);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_LE(events[0]["ts"].get<int64_t>(), events[1]["ts"].get<int64_t>());
  std::filesystem::remove(path);
}

TEST(TraceRecorder, OverLongEventIsReplaced) {
  TraceEventRecorder rec;
  const auto path = tempPath("trace_long");
  ASSERT_TRUE(rec.start(path.c_str()));
  rec.record(std::string(300, 'x'), "", 'B');
  rec.stop();
  EXPECT_EQ(readAll(path), "[\n{\"err\": \"Too long\"}\n]\n");
  std::filesystem::remove(path);
}

TEST(TraceRecorder, StartTwiceKeepsFirstFileAndStopWithoutStartTouchesNothing) {
  TraceEventRecorder rec;
  rec.stop();
  const auto first = tempPath("trace_first");
  const auto second = tempPath("trace_second");
  EXPECT_FALSE(rec.record("ignored", "", 'B'));
  ASSERT_TRUE(rec.start(first.c_str()));
  EXPECT_TRUE(rec.start(second.c_str()));
  EXPECT_FALSE(std::filesystem::exists(second));
  rec.record("a", "", 'B');
  rec.stop();
  EXPECT_EQ(nlohmann::json::parse(readAll(first)).size(), 1u);
  EXPECT_FALSE(rec.record("after", "", 'B'));
  EXPECT_FALSE(rec.start("/nonexistent-dir/trace.json"));
  EXPECT_FALSE(startTracingEvents(nullptr));
  std::filesystem::remove(first);
}

TEST(TraceRecorder, ScopeRecordsBeginAndEndOnlyWhileTracing) {
  TraceEventRecorder rec;
  { TraceScope idle(rec, "idle"); }
  const auto path = tempPath("trace_scope");
  ASSERT_TRUE(rec.start(path.c_str()));
  { TraceScope scope(rec, "convert to buffer"); }
  rec.stop();
  const auto events = nlohmann::json::parse(readAll(path));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["ph"], "B");
  EXPECT_EQ(events[1]["ph"], "E");
  EXPECT_EQ(events[1]["name"], "convert to buffer");
  std::filesystem::remove(path);
}

// Several threads push past the swap threshold while another stops tracing at
// the end: every stored event is written once, in per-thread order.
TEST(TraceRecorder, ConcurrentRecordingLosesNothingAcrossSwaps) {
  TraceEventRecorder rec;
  const auto path = tempPath("trace_stress");
  ASSERT_TRUE(rec.start(path.c_str()));
  constexpr int kThreads = 4;
  constexpr int kPerThread = 70000;
  std::vector<std::thread> threads;
  std::atomic<int> stored{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i)
        if (rec.record(std::to_string(t) + ":" + std::to_string(i), "", 'B')) ++stored;
    });
  }
  for (auto& th : threads) th.join();
  rec.stop();
  const auto events = nlohmann::json::parse(readAll(path));
  ASSERT_EQ(static_cast<int>(events.size()), stored.load());
  ASSERT_EQ(stored.load(), kThreads * kPerThread);
  std::map<std::string, int> next;
  for (const auto& e : events) {
    const std::string name = e["name"];
    const auto colon = name.find(':');
    const std::string thread = name.substr(0, colon);
    const int index = std::stoi(name.substr(colon + 1));
    EXPECT_EQ(index, next[thread]) << name;
    next[thread] = index + 1;
  }
  std::filesystem::remove(path);
}

TEST(TraceRecorder, StopRacingRecordersNeverWritesAfterClose) {
  for (int round = 0; round < 3; ++round) {
    TraceEventRecorder rec;
    const auto path = tempPath("trace_race");
    ASSERT_TRUE(rec.start(path.c_str()));
    std::atomic<int> stored{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
      threads.emplace_back([&] {
        for (int i = 0; i < 60000; ++i)
          if (rec.record("e", "", 'B')) ++stored;
      });
    std::this_thread::sleep_for(std::chrono::milliseconds(20 * round));
    rec.stop();
    for (auto& th : threads) th.join();
    const auto events = nlohmann::json::parse(readAll(path));
    EXPECT_EQ(static_cast<int>(events.size()), stored.load());
    std::filesystem::remove(path);
  }
}

TEST(TraceRecorder, ExitWithoutStopCompletesTheFile) {
  const auto path = tempPath("trace_exit");
  const std::string command = std::string(LOAD_PROBE) + " " + path + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(readAll(path), "[\n\n]\n");
  std::filesystem::remove(path);
}
