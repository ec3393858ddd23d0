#pragma once

// Internal logging: every line goes to the process-wide default logger with
// its source file, line and function. A line below the level is not formatted.

#include <string>

#include <spdlog/spdlog.h>

#include "kestrane/type.h"

#define KLOG_AT(level, ...)                                                                  \
  ::spdlog::default_logger_raw()->log(::spdlog::source_loc{__FILE__, __LINE__, SPDLOG_FUNCTION}, \
                                      level, __VA_ARGS__)
#define KLOG_DEBUG(...) KLOG_AT(::spdlog::level::debug, __VA_ARGS__)
#define KLOG_INFO(...) KLOG_AT(::spdlog::level::info, __VA_ARGS__)
#define KLOG_WARN(...) KLOG_AT(::spdlog::level::warn, __VA_ARGS__)
#define KLOG_ERROR(...) KLOG_AT(::spdlog::level::err, __VA_ARGS__)
#define KLOG_FATAL(...) KLOG_AT(::spdlog::level::critical, __VA_ARGS__)

namespace kestrane {

// The fixed console line pattern.
inline constexpr const char* kLogPattern = "%L%m%d %T.%e %t %s:%#] %v";

// Upper-cases the text and matches it exactly against each level's words
// ("DEBUG", "D", "1", ...); anything else is INFO.
LogLevel parseLogLevel(const std::string& text);

// False when the variable is unset, empty or exactly "0"; true otherwise.
bool getEnvFlag(const char* name);

// Installs the pattern and applies OPHEL_LOG_LEVEL when it is set.
void setUpLogging();

}  // namespace kestrane
