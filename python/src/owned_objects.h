#pragma once

// How native objects become Python objects: returned (Owned, OwnedList) and
// made by a constructor (defineInit). The classes concerned keep pybind11's
// default holder, std::unique_ptr.
//
// pybind11 registers a new instance (an allocation) after the instance has
// taken the object, and when that registration finds no memory it frees the
// object without its destructor. An object that came in a holder (a
// returned std::unique_ptr, a py::init factory's) is then destroyed a second
// time by that holder; after py::init<>() the exception leaves the call
// unhandled. Here the object stays in its std::unique_ptr until the
// instance is registered, and the instance lets go of it when the
// registration fails: the unique_ptr destroys it, once, and the call raises
// MemoryError. py::keep_alive, for its part, loses the result and a
// reference to the patient when its bookkeeping finds no memory; Owned
// keeps its patient alive with that bookkeeping's memory taken first.

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>
#include <typeinfo>
#include <utility>
#include <vector>

namespace ophel {

namespace py = pybind11;

// Registers the instance of `slot` as the owner of `object`, then moves it
// into the instance's holder. On failure `object` still holds it.
template <typename T>
void install(py::detail::value_and_holder& slot, std::unique_ptr<T>& object) {
  slot.value_ptr() = object.get();
  try {
    slot.type->init_instance(slot.inst, &object);
  } catch (...) {
    slot.value_ptr() = nullptr;  // unregistered: the instance must not free it
    throw;
  }
}

// Makes `instance` keep `patient` alive until it goes.
inline void keepAlive(py::handle instance, py::handle patient) {
  auto& patients = py::detail::get_internals().patients;
  auto entry = patients.find(instance.ptr());
  try {
    if (entry == patients.end()) entry = patients.emplace(instance.ptr(), std::vector<PyObject*>()).first;
    entry->second.reserve(entry->second.size() + 1);
  } catch (...) {
    if (entry != patients.end() && entry->second.empty()) patients.erase(entry);
    throw;
  }
  py::detail::add_patient(instance.ptr(), patient.ptr());  // allocates nothing now
}

// A new Python object owning `object` (and keeping `patient`, if any, alive).
template <typename T>
py::object toPython(std::unique_ptr<T> object, py::handle patient = py::handle()) {
  const py::detail::type_info* type = py::detail::get_type_info(typeid(T), true);
  // What py::detail::make_new_instance does, but a Python object the
  // interpreter has no memory for raises MemoryError instead of being used.
  auto instance = py::reinterpret_steal<py::object>(type->type->tp_alloc(type->type, 0));
  if (!instance) throw py::error_already_set();
  auto* raw = reinterpret_cast<py::detail::instance*>(instance.ptr());
  raw->allocate_layout();
  if (patient) keepAlive(instance, patient);
  py::detail::value_and_holder slot = raw->get_value_and_holder(type);
  install(slot, object);
  return instance;
}

// A native object returned to Python; the signature names its class.
template <typename T>
struct Owned {
  std::unique_ptr<T> object;
  py::object patient;  // kept alive by the object when set
};

// Native values returned as a list, each in an object of its own. When the
// list cannot be made, `onFailure` (if set) gets the items first: those
// already in objects are moved from.
template <typename T>
struct OwnedList {
  std::vector<T> items;
  std::function<void(std::vector<T>&)> onFailure;
};

// Defines __init__(self, args...) to take the std::unique_ptr that
// `factory(args...)` makes. A null one is refused as py::init refuses it.
template <typename... Args, typename Class, typename Factory>
void defineInit(Class& cls, Factory factory) {
  cls.def(
      "__init__",
      [factory](py::detail::value_and_holder& slot, Args... args) {
        std::unique_ptr<typename Class::type> object = factory(std::forward<Args>(args)...);
        if (!object) throw py::type_error("pybind11::init(): factory function returned nullptr");
        install(slot, object);
      },
      py::detail::is_new_style_constructor());
}

}  // namespace ophel

namespace pybind11::detail {

template <typename T>
struct type_caster<ophel::Owned<T>> {
  static constexpr auto name = make_caster<T>::name;
  static handle cast(ophel::Owned<T>&& src, return_value_policy, handle) {
    if (!src.object) return none().release();
    return ophel::toPython(std::move(src.object), src.patient).release();
  }
};

template <typename T>
struct type_caster<ophel::OwnedList<T>> {
  static constexpr auto name = const_name("List[") + make_caster<T>::name + const_name("]");
  static handle cast(ophel::OwnedList<T>&& src, return_value_policy, handle) {
    try {
      list result(src.items.size());
      for (size_t i = 0; i < src.items.size(); ++i) {
        object item = ophel::toPython(std::make_unique<T>(std::move(src.items[i])));
        PyList_SET_ITEM(result.ptr(), static_cast<ssize_t>(i), item.release().ptr());
      }
      return result.release();
    } catch (...) {
      if (src.onFailure) src.onFailure(src.items);
      throw;
    }
  }
};

}  // namespace pybind11::detail
