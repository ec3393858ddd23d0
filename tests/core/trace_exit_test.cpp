#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// A process that starts tracing and exits without stopping it exits cleanly
// and leaves a complete file: the JSON array is closed, and the begin and end
// events of the work it traced before exit are in it. Only the file is seen
// from here, not the order in which objects went at exit (the probe is a
// process of its own that loads the shared library; see CMakeLists.txt).
TEST(TraceRecorderExitTest, ExitWithoutStopCompletesTheFile) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("trace_exit_" + std::to_string(::getpid()) + ".json")).string();
  ASSERT_EQ(std::system((std::string(LOAD_PROBE) + " " + path + " >/dev/null 2>&1").c_str()), 0);
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string trace = text.str();
  ASSERT_GE(trace.size(), 4u);
  EXPECT_EQ(trace.substr(0, 2), "[\n");
  EXPECT_EQ(trace.substr(trace.size() - 3), "\n]\n");
  size_t events = 0;
  for (size_t at = trace.find("\"load zrb\""); at != std::string::npos; at = trace.find("\"load zrb\"", at + 1)) ++events;
  EXPECT_EQ(events, 2u) << trace;  // its begin and its end
  std::filesystem::remove(path);
}

}  // namespace
