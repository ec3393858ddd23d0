// Native objects given to Python objects while each host allocation fails
// in turn: every object made is destroyed once, and a failure raises
// MemoryError. pybind11's own return of a value is the one that loses an
// object: when the registration of its copy finds no memory, the copy is
// freed without its destructor.
#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <memory>
#include <vector>

#include "owned_objects.h"
#include "python_sweep.h"

namespace py = pybind11;

namespace {

// Counts the objects alive.
struct Probe {
  static inline int alive = 0;
  Probe() { ++alive; }
  Probe(Probe&&) noexcept { ++alive; }
  Probe(const Probe&) = delete;
  ~Probe() { --alive; }
};

size_t gGivenBack = 0;  // items a list that could not be made gave back

}  // namespace

PYBIND11_EMBEDDED_MODULE(owned_probe, m) {
  py::class_<Probe> cls(m, "Probe");
  ophel::defineInit(cls, [] { return std::make_unique<Probe>(); });
  m.def("owned", [] { return ophel::Owned<Probe>{std::make_unique<Probe>(), {}}; });
  m.def("keeping", [](py::object patient) { return ophel::Owned<Probe>{std::make_unique<Probe>(), patient}; });
  m.def("listed", [] {
    return ophel::OwnedList<Probe>{std::vector<Probe>(3),
                                   [](std::vector<Probe>& items) { gGivenBack += items.size(); }};
  });
  m.def("by_value", [] { return Probe(); });
}

namespace {

TEST(OwnedObjects, EveryObjectMadeIsDestroyedOnceWhicheverAllocationFails) {
  py::dict scope = ophel::test::sweepNamespace("import owned_probe");
  const struct {
    const char* call;
    int lost;  // objects never destroyed
  } cases[] = {
      {"owned_probe.Probe", 0},
      {"owned_probe.owned", 0},
      {"lambda: owned_probe.keeping(owned_probe.Probe())", 0},
      {"owned_probe.listed", 0},
      {"owned_probe.by_value", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    const int before = Probe::alive;
    gGivenBack = 0;
    const ophel::test::Sweep sweep = ophel::test::sweepCall(scope, c.call, c.call);
    size_t memoryErrors = 0;
    for (const auto& [k, outcome] : sweep.outcomes) {
      EXPECT_TRUE(outcome == "ok" || outcome == "MemoryError") << "allocation " << k << ": " << outcome;
      memoryErrors += outcome == "MemoryError";
    }
    EXPECT_EQ(sweep.outcomes.at(sweep.allocations), "MemoryError");  // the registration
    EXPECT_EQ(Probe::alive - before, c.lost);
    if (c.call == std::string("owned_probe.listed")) {
      // All three go back from every list that failed; the first allocation
      // is the native vector's own.
      EXPECT_EQ(gGivenBack, 3 * (memoryErrors - 1));
    }
  }
}

TEST(OwnedObjects, AnObjectKeepsItsPatientAliveUntilItGoes) {
  py::dict scope = ophel::test::sweepNamespace("import owned_probe");
  const int before = Probe::alive;
  py::object kept = py::eval("owned_probe.keeping(owned_probe.Probe())", scope);
  EXPECT_EQ(Probe::alive - before, 2);
  kept = py::none();
  EXPECT_EQ(Probe::alive, before);
}

}  // namespace
