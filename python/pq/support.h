// Small helpers shared by the parts of tarnel._tarnel_pq: building bytes and
// tuples, reading an optional bytes argument, adding functions to the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <optional>

#include "core/common/bytes.h"
#include "python/runtime.h"

namespace pyext::pq {

// bytes_of copies `b` into a new bytes object.
inline PyObject* bytes_of(core::ByteView b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                   static_cast<Py_ssize_t>(b.size()));
}

// tuple_of takes over the new references given; if one is null, all are
// released and null is returned.
inline PyObject* tuple_of(std::initializer_list<PyObject*> items) {
  bool ok = true;
  for (PyObject* o : items) ok = ok && o != nullptr;
  PyObject* t = ok ? PyTuple_New(static_cast<Py_ssize_t>(items.size())) : nullptr;
  Py_ssize_t i = 0;
  for (PyObject* o : items) {
    if (t != nullptr) {
      PyTuple_SetItem(t, i++, o);  // steals
    } else {
      Py_XDECREF(o);
    }
  }
  return t;
}

// optional_bytes reads an argument that may be absent, None or bytes. False
// with TypeError set for anything else.
inline bool optional_bytes(PyObject* obj, const char* name, std::optional<core::ByteView>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be bytes or None", name);
    return false;
  }
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &len) < 0) return false;
  out = core::ByteView(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(len));
  return true;
}

// add_functions adds each function of a null-terminated table to the module.
inline int add_functions(PyObject* module, PyMethodDef* defs) {
  return PyModule_AddFunctions(module, defs);
}

// add_object adds `obj` (a borrowed reference) under `name`.
inline int add_object(PyObject* module, const char* name, PyObject* obj) {
  if (obj == nullptr) return -1;
  Py_INCREF(obj);
  if (PyModule_AddObject(module, name, obj) < 0) {
    Py_DECREF(obj);
    return -1;
  }
  return 0;
}

}  // namespace pyext::pq
