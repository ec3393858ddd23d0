// One interpreter for the whole test binary: started before the first test
// and finalized after the last, while the library's own objects still live.
#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <memory>
#include <optional>

namespace {

class EmbeddedPython : public ::testing::Environment {
 public:
  void SetUp() override { interpreter_.emplace(); }
  void TearDown() override { interpreter_.reset(); }

 private:
  std::optional<pybind11::scoped_interpreter> interpreter_;
};

// GoogleTest owns its environments.
[[maybe_unused]] ::testing::Environment* const gPython =
    ::testing::AddGlobalTestEnvironment(std::make_unique<EmbeddedPython>().release());

}  // namespace
