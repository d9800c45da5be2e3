// SecurityLevel in the companion modules: the very class of
// tarnel._tarnel_core, imported on first use, so the argument binder
// (python/args.cc) accepts its members and results are its members. Levels
// are read through the int they are.
#include "python/runtime.h"
#include "python/types.h"

namespace pyext {

PyObject* security_level_type() {
  static OnceCell cell;
  return cell.get([]() -> PyObject* {
    PyRef core_module(PyImport_ImportModule("tarnel._tarnel_core"));
    if (!core_module) return nullptr;
    return PyObject_GetAttrString(core_module.get(), "SecurityLevel");
  });
}

uint16_t level_value_of(PyObject* level) noexcept {
  PyRef number(PyNumber_Long(level));
  const long v = number ? PyLong_AsLong(number.get()) : -1;
  if (v < 0) PyErr_Clear();
  return static_cast<uint16_t>(v < 0 ? 0 : v);
}

PyObject* level_object(core::Level level) {
  PyObject* type = security_level_type();
  if (type == nullptr) return nullptr;
  return PyObject_GetAttrString(type, core::params(level).name);
}

}  // namespace pyext
