#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>

#include <spdlog/sinks/ostream_sink.h>

#include "core/log.h"
#include "kestrane/log.h"
#include "support/log_capture.h"

using namespace kestrane;

TEST(ParseLogLevel, AcceptsExactWordsOnly) {
  const std::vector<std::pair<const char*, LogLevel>> cases = {
      {"debug", LogLevel::DEBUG}, {"d", LogLevel::DEBUG}, {"1", LogLevel::DEBUG}, {"Info", LogLevel::INFO},
      {"W", LogLevel::WARN},      {"warn", LogLevel::WARN}, {"err", LogLevel::ERR}, {"4", LogLevel::ERR},
      {"fatal", LogLevel::FATAL}, {"Off", LogLevel::OFF},  {"o", LogLevel::OFF},   {"6", LogLevel::OFF},
      // Not accepted: these all fall back to INFO.
      {"error", LogLevel::INFO},  {"ERROR", LogLevel::INFO}, {"00", LogLevel::INFO}, {"7", LogLevel::INFO},
      {" WARN", LogLevel::INFO},  {"", LogLevel::INFO},      {"\xe9", LogLevel::INFO}};
  for (const auto& [text, level] : cases) EXPECT_EQ(parseLogLevel(text), level) << '"' << text << '"';
}

TEST(GetEnvFlag, OnlyUnsetEmptyOrZeroAreFalse) {
  const char* name = "KESTRANE_TEST_FLAG";
  ::unsetenv(name);
  EXPECT_FALSE(getEnvFlag(name));
  for (auto [value, on] :
       {std::pair{"", false}, {"0", false}, {"1", true}, {"00", true}, {"false", true}, {" 0", true}}) {
    ::setenv(name, value, 1);
    EXPECT_EQ(getEnvFlag(name), on) << '"' << value << '"';
  }
  ::unsetenv(name);
}

TEST(SetLogLevel, AppliesValidLevelsAndIgnoresOthers) {
  const auto before = spdlog::get_level();
  setLogLevel(LogLevel::WARN);
  EXPECT_EQ(spdlog::get_level(), spdlog::level::warn);
  setLogLevel(static_cast<LogLevel>(0));
  setLogLevel(static_cast<LogLevel>(7));
  EXPECT_EQ(spdlog::get_level(), spdlog::level::warn);
  setLogLevel(LogLevel::OFF);
  EXPECT_EQ(spdlog::get_level(), spdlog::level::off);
  spdlog::set_level(before);
}

TEST(LogPattern, CarriesLevelDateTimeThreadFileAndLine) {
  std::ostringstream out;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out);
  spdlog::logger logger("pattern-test", sink);
  logger.set_pattern(kLogPattern, spdlog::pattern_time_type::local);
  logger.log(spdlog::source_loc{"/some/dir/file.cpp", 42, "fn"}, spdlog::level::warn, "hello {}", 7);
  const std::regex line(R"(W\d{4} \d{2}:\d{2}:\d{2}\.\d{3} \d+ file\.cpp:42\] hello 7\n)");
  EXPECT_TRUE(std::regex_match(out.str(), line)) << out.str();
  test::LogCapture capture;  // the macros log through the process-wide logger
  KLOG_ERROR("value {}", 3);
  EXPECT_EQ(capture.count("error|value 3"), 1u);
}

namespace {
// Runs the load probe with OPHEL_LOG_LEVEL set to `value` (unset for null)
// and returns everything it printed.
std::string runProbe(const char* value) {
  std::string command = "env -u OPHEL_LOG_LEVEL ";
  if (value != nullptr) command += std::string("OPHEL_LOG_LEVEL='") + value + "' ";
  command += std::string(LOAD_PROBE) + " 2>&1";
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  char buf[512];
  while (pipe && std::fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
  if (pipe) ::pclose(pipe);
  return out;
}
}  // namespace

TEST(LoadTimeLevel, ReadsOphelLogLevelOnce) {
  struct Case {
    const char* value;
    int level;
  };
  for (const Case& c : {Case{nullptr, 2}, Case{"", 2}, Case{"0", 2}, Case{"debug", 1}, Case{"d", 1},
                        Case{"warn", 3}, Case{"ERROR", 2}, Case{"7", 2}, Case{"Off", 6}}) {
    const std::string out = runProbe(c.value);
    EXPECT_NE(out.find("level=" + std::to_string(c.level)), std::string::npos)
        << (c.value ? c.value : "(unset)") << ": " << out;
  }
  EXPECT_NE(runProbe("debug").find("probe-debug"), std::string::npos);
  EXPECT_EQ(runProbe("OFF").find("probe-"), std::string::npos);
  const std::string info = runProbe(nullptr);
  EXPECT_EQ(info.find("probe-debug"), std::string::npos);
  EXPECT_NE(info.find("probe-info"), std::string::npos);
}
