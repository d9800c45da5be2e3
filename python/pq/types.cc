// The pieces of python/types.h that the companion module uses: SecurityLevel
// is the very class of tarnel._tarnel_core (for the argument binder in
// python/args.cc and for the parts that return a level), and the helpers
// that build result objects. The module's own types live in its parts.
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

PyObject* make_bytes(core::ByteView b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                   static_cast<Py_ssize_t>(b.size()));
}

PyObject* make_tuple(std::initializer_list<PyObject*> items) {
  bool complete = true;
  for (PyObject* item : items) complete = complete && item != nullptr;
  PyObject* tuple = complete ? PyTuple_New(static_cast<Py_ssize_t>(items.size())) : nullptr;
  if (tuple == nullptr) {
    for (PyObject* item : items) Py_XDECREF(item);
    return nullptr;
  }
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyTuple_SetItem(tuple, i++, item);  // steals `item`
  return tuple;
}

}  // namespace pyext
