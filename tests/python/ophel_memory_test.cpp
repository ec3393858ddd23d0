// The ophel objects that calls return or constructors make, with each host
// allocation of the call failing in turn: the call returns, raises
// MemoryError or raises OphelError with the native call's status; it never
// hangs, frees an object twice or keeps what it took.
#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <string>

#include "python_sweep.h"
#include "support/log_capture.h"

namespace py = pybind11;

namespace {

constexpr const char* kSetUp = R"(
import os, subprocess, sys, tempfile
sys.path.insert(0, MODULE_DIR)
import numpy as np
import ophel

folder = tempfile.TemporaryDirectory()
path = os.path.join(folder.name, "identity_int8.zrb")
subprocess.run([ZRBGEN, os.path.join(MODELS, "identity_int8.json"), path], check=True)

def config(asynchronous):
    config = ophel.ModelConfig()
    config.set_single_core_mode(2)
    config.set_async_pipeline_enabled(asynchronous)
    return config

ophel.set_log_level(ophel.LogLevel.WARN)
accelerator = ophel.Accelerator()
plain = ophel.Model(path, config(False))
plain.launch(accelerator)
pipelined = ophel.Model(path, config(True))
pipelined.launch(accelerator)
x = np.ones((4, 4, 8), np.float32)
)";

py::dict setUp() {
  py::dict scope;
  scope["MODULE_DIR"] = OPHEL_MODULE_DIR;
  scope["ZRBGEN"] = ZRBGEN_PATH;
  scope["MODELS"] = TEST_MODELS;
  return ophel::test::sweepNamespace(kSetUp, scope);
}

TEST(OphelObjectsShortOfMemory, ACallRaisesMemoryErrorOrItsStatusAndKeepsNothing) {
  py::dict scope = setUp();
  const struct {
    const char* what;
    const char* call;
    const char* finish;  // what is done with a result
  } cases[] = {
      {"infer_async", "lambda: pipelined.infer_async([x])", "lambda future: future.get()"},
      {"FutureFloat()", "ophel.FutureFloat", "None"},
      {"Accelerator()", "ophel.Accelerator", "None"},
      {"Model()", "lambda: ophel.Model(path, config(True))", "None"},
      {"infer", "lambda: plain.infer([x[None]])", "None"},
      {"get_model_variant_handle", "lambda: plain.get_model_variant_handle(0)", "None"},
      {"acquire_input_buffer", "lambda: plain.acquire_input_buffer([])", "plain.release_buffer"},
      {"get_input_scale", "plain.get_input_scale", "None"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    py::exec(std::string("finish = ") + c.finish, scope);
    if (scope["finish"].is_none()) scope.attr("pop")("finish");
    const ophel::test::Sweep sweep = ophel::test::sweepCall(scope, c.call, c.what);
    for (const auto& [k, outcome] : sweep.outcomes)
      EXPECT_TRUE(outcome == "ok" || outcome == "MemoryError" || outcome == "OphelError")
          << "allocation " << k << ": " << outcome;
    EXPECT_EQ(sweep.outcomes.at(sweep.allocations), "MemoryError");  // the registration
  }
  // Every buffer went back: disposing waits for none.
  kestrane::test::LogCapture log;
  py::exec("plain.dispose(); pipelined.dispose()", scope);
  EXPECT_EQ(log.count("were not returned"), 0u) << log.text();
}

}  // namespace
