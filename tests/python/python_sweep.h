#pragma once

// Python calls in the embedded interpreter with each host allocation of the
// calling thread failing in turn. A call is a Python callable of no
// arguments; a round stores what it returned in the global `result` of the
// sweep's namespace and tells what it raised.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <map>
#include <string>

namespace ophel::test {

namespace py = pybind11;

// A namespace for sweeps: `scope` with the Python code of `source` run in it.
py::dict sweepNamespace(const char* source, py::dict scope = py::dict());

struct Sweep {
  uint64_t allocations = 0;                  // of one call where none fails
  std::map<uint64_t, std::string> outcomes;  // by the failing allocation: "ok" or the exception's class
};

// Runs `call` in `scope` with its allocations failing in turn (every one in
// a plain build, a stride of them and the last under a sanitizer), after
// calls that warm up. After each call that returned, `finish(result)`
// runs if the namespace defines `finish`. A round that takes more than a
// minute ends the process with "Hung: <label>, allocation k".
Sweep sweepCall(py::dict scope, const char* call, const std::string& label);

}  // namespace ophel::test
