// The builders of result objects (python/types.h), shared by the module and
// its companions.
#include <string_view>

#include "python/types.h"

namespace pyext {

PyObject* make_bytes(core::ByteView b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                   static_cast<Py_ssize_t>(b.size()));
}

PyRef new_bytes(size_t len, core::MutableBytes& buffer) {
  if (len > static_cast<size_t>(PY_SSIZE_T_MAX)) {
    PyErr_NoMemory();
    return PyRef();
  }
  PyRef out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len)));
  if (out) buffer = core::MutableBytes(reinterpret_cast<uint8_t*>(PyBytes_AsString(out.get())), len);
  return out;
}

PyObject* make_str(std::string_view utf8) {
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
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
