#include "core/log.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>

#include "kestrane/log.h"

namespace kestrane {

LogLevel parseLogLevel(const std::string& text) {
  std::string upper = text;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  struct Words {
    LogLevel level;
    std::array<const char*, 3> words;
  };
  static constexpr std::array<Words, 6> kTable = {{
      {LogLevel::DEBUG, {"DEBUG", "D", "1"}},
      {LogLevel::INFO, {"INFO", "I", "2"}},
      {LogLevel::WARN, {"WARN", "W", "3"}},
      {LogLevel::ERR, {"ERR", "E", "4"}},
      {LogLevel::FATAL, {"FATAL", "F", "5"}},
      {LogLevel::OFF, {"OFF", "O", "6"}},
  }};
  for (const auto& row : kTable) {
    for (const char* word : row.words) {
      if (upper == word) return row.level;
    }
  }
  return LogLevel::INFO;
}

bool getEnvFlag(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' && std::string(value) != "0";
}

void setLogLevel(LogLevel level) {
  const auto value = static_cast<int>(level);
  if (value < static_cast<int>(LogLevel::DEBUG) || value > static_cast<int>(LogLevel::OFF)) return;
  spdlog::set_level(static_cast<spdlog::level::level_enum>(value));
}

void setUpLogging() {
  spdlog::set_pattern(kLogPattern, spdlog::pattern_time_type::local);
  if (getEnvFlag("OPHEL_LOG_LEVEL")) setLogLevel(parseLogLevel(std::getenv("OPHEL_LOG_LEVEL")));
}

}  // namespace kestrane
