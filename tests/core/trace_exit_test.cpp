#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// A process that starts tracing and exits without stopping still leaves a
// complete file (the probe loads the shared library; see CMakeLists.txt).
TEST(TraceRecorderExitTest, ExitWithoutStopCompletesTheFile) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("trace_exit_" + std::to_string(::getpid()) + ".json")).string();
  ASSERT_EQ(std::system((std::string(LOAD_PROBE) + " " + path + " >/dev/null 2>&1").c_str()), 0);
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "[\n\n]\n");
  std::filesystem::remove(path);
}

}  // namespace
