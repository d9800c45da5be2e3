#include "python/pq/support.h"

#include "core/common/hash.h"

namespace pyext::pq {

bool optional_bytes(PyObject* obj, const char* name, std::optional<core::ByteView>& out) {
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

bool call_args(PyObject* args, PyObject* kwargs, CallArgs& out) {
  out.nargs = PyTuple_Size(args);
  if (out.nargs < 0) return false;
  for (Py_ssize_t i = 0; i < out.nargs; ++i) out.stack.push_back(PyTuple_GetItem(args, i));
  if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
    out.kwnames = PyRef(PyTuple_New(PyDict_Size(kwargs)));
    if (!out.kwnames) return false;
    PyObject *key, *value;
    Py_ssize_t pos = 0, i = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SetItem(out.kwnames.get(), i++, key);  // steals the new reference
      out.stack.push_back(value);
    }
  }
  return true;
}

bool bind_new(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& out) {
  CallArgs call;
  return call_args(args, kwargs, call) &&
         bind_args(sig, call.stack.data(), call.nargs, call.kwnames.get(), out);
}

std::array<char, 17> short_fingerprint(core::ByteView public_key) {
  std::array<uint8_t, 32> digest;
  core::sha3_256(digest, {public_key});
  static constexpr char kHex[] = "0123456789abcdef";
  std::array<char, 17> fp{};
  for (size_t i = 0; i < 8; ++i) {
    fp[2 * i] = kHex[digest[i] >> 4];
    fp[2 * i + 1] = kHex[digest[i] & 15];
  }
  return fp;
}

PyObject* new_instance(PyObject* type) {
  if (type == nullptr) return nullptr;
  auto* t = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(t, Py_tp_alloc));
  return alloc(t, 0);
}

void free_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* return_self(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

int add_object(PyObject* module, const char* name, PyObject* obj) {
  if (obj == nullptr) return -1;
  Py_INCREF(obj);
  if (PyModule_AddObject(module, name, obj) < 0) {
    Py_DECREF(obj);
    return -1;
  }
  return 0;
}

}  // namespace pyext::pq
