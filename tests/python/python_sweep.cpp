#include "python_sweep.h"

#include <gtest/gtest.h>
#include <pybind11/eval.h>

#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "support/alloc_failure.h"
#include "support/sweep_support.h"

namespace ophel::test {

namespace {

using kestrane::test::failAllocation;

constexpr const char* kAttempt = R"(
def attempt(call):
    global result
    result = None
    try:
        result = call()
    except BaseException as e:
        return type(e).__name__
    return "ok"
)";

struct Round {
  std::string outcome;
  uint64_t allocations = 0;
  bool failed = false;
};

Round runRound(py::dict& scope, const py::object& call, std::optional<uint64_t> failing, const std::string& label) {
  const kestrane::test::HangGuard guard(label, std::chrono::seconds(60));
  const py::object attempt = scope["attempt"];
  PyObject* raw = nullptr;
  failAllocation(failing);
  {
    // Only calls into the interpreter here: what the test does itself
    // around them neither counts nor fails.
    const kestrane::test::CountedAllocationsOnThisThread counted;
    raw = PyObject_CallOneArg(attempt.ptr(), call.ptr());
  }
  Round round;
  round.allocations = kestrane::test::countedAllocations();
  round.failed = kestrane::test::allocationFailed();
  failAllocation(std::nullopt);
  const auto outcome = py::reinterpret_steal<py::object>(raw);
  if (!outcome) throw py::error_already_set();
  round.outcome = outcome.cast<std::string>();
  if (round.outcome == "ok" && scope.contains("finish")) scope["finish"](scope["result"]);
  scope["result"] = py::none();
  return round;
}

}  // namespace

py::dict sweepNamespace(const char* source, py::dict scope) {
  py::exec(kAttempt, scope);
  py::exec(source, scope);
  return scope;
}

Sweep sweepCall(py::dict scope, const char* call, const std::string& label) {
  const py::object callable = py::eval(call, scope);
  Sweep sweep;
  // Caches and pools fill in the first calls: the count is taken once two
  // calls in a row agree.
  uint64_t previous = 0;
  for (int call = 0; call < 5 && (call < 2 || sweep.allocations != previous); ++call) {
    const Round round = runRound(scope, callable, std::nullopt, label + ", counting");
    EXPECT_EQ(round.outcome, "ok") << label;
    previous = std::exchange(sweep.allocations, round.allocations);
  }
  const uint64_t stride = kestrane::test::sweepStride(sweep.allocations);
  std::vector<uint64_t> failing;
  for (uint64_t k = 1; k < sweep.allocations; k += stride) failing.push_back(k);
  failing.push_back(sweep.allocations);      // the last one in every build
  failing.push_back(sweep.allocations + 1);  // none: the counts hold from round to round
  for (const uint64_t k : failing) {
    const Round round = runRound(scope, callable, k, label + ", allocation " + std::to_string(k));
    EXPECT_EQ(round.failed, k <= sweep.allocations) << label << ", allocation " << k;
    sweep.outcomes[k] = round.outcome;
  }
  return sweep;
}

}  // namespace ophel::test
