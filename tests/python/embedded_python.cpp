// One interpreter for the whole test binary: started before the first test
// and finalized after the last, while the library's own objects still live.
//
// Under AddressSanitizer the leak check runs before the interpreter is
// finalized, which leaves what it and pybind11 keep for the process (their
// memory from then on reachable from nowhere): objects still in use are
// reachable then, those lost are not. Python's objects come from malloc
// meanwhile, so that the check follows the pointers in them; those the
// interpreter and numpy keep where the check does not look are not
// reported, the native objects they would hold still are.
#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <cstdlib>
#include <memory>
#include <optional>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:_PyObject_New\n"
         "leak:_PyObject_NewVar\n"
         "leak:_PyObject_GC_New\n"
         "leak:_PyObject_GC_NewVar\n"
         "leak:PyUnicode_New\n"
         "leak:PyBytes_FromStringAndSize\n";
}
#endif

namespace {

class EmbeddedPython : public ::testing::Environment {
 public:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    setenv("PYTHONMALLOC", "malloc", 1);
#endif
    interpreter_.emplace();
  }
  void TearDown() override {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();
#endif
    interpreter_.reset();
  }

 private:
  std::optional<pybind11::scoped_interpreter> interpreter_;
};

// GoogleTest owns its environments.
[[maybe_unused]] ::testing::Environment* const gPython =
    ::testing::AddGlobalTestEnvironment(std::make_unique<EmbeddedPython>().release());

}  // namespace
