// What the parts of tarnel._tarnel_pq share: reading an optional bytes
// argument, binding a constructor's arguments, the objects that hold one
// core key, their fingerprints, and adding names to the module. Results are
// built with python/types.h (make_bytes, make_tuple).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "core/common/bytes.h"
#include "python/args.h"
#include "python/runtime.h"

namespace pyext::pq {

// optional_bytes reads an argument that may be absent, None or bytes. False
// with TypeError set for anything else.
bool optional_bytes(PyObject* obj, const char* name, std::optional<core::ByteView>& out);

// CallArgs holds a constructor's (args, kwargs) in the vectorcall form the
// argument binder takes: positional values, then keyword values in the
// order of `kwnames`.
struct CallArgs {
  std::vector<PyObject*> stack;
  Py_ssize_t nargs = 0;
  PyRef kwnames;
};

// call_args converts (args, kwargs); false with an exception set.
bool call_args(PyObject* args, PyObject* kwargs, CallArgs& out);

// bind_new binds a constructor's (args, kwargs) to `sig`. Returns false with
// the binder's exception set.
bool bind_new(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& out);

// short_fingerprint is the first 8 bytes of SHA3-256 of `public_key` as 16
// lowercase hex digits (and a NUL), for reprs that name a key without
// showing it.
std::array<char, 17> short_fingerprint(core::ByteView public_key);

// KeyObject is a Python object holding one core key, built in place once
// the key is checked, never changed after, destroyed (and so, for a secret
// key, wiped) when the object is freed.
template <class Key>
struct KeyObject {
  PyObject_HEAD
  Key key;
};

template <class Key>
const Key& key_of(PyObject* self) {
  return reinterpret_cast<KeyObject<Key>*>(self)->key;
}

// new_instance allocates an object of the heap type `type`; null with an
// exception set (also when `type` is null: building it failed).
PyObject* new_instance(PyObject* type);

// wrap_key moves `key` into a new object of `type` (a KeyObject<Key> type).
template <class Key>
PyObject* wrap_key(PyObject* type, Key&& key) {
  PyObject* obj = new_instance(type);
  if (obj != nullptr) new (&reinterpret_cast<KeyObject<Key>*>(obj)->key) Key(std::move(key));
  return obj;
}

// free_object frees an object of a heap type, after its fields are gone.
void free_object(PyObject* self);

// key_dealloc destroys the key first, then frees the object.
template <class Key>
void key_dealloc(PyObject* self) {
  std::destroy_at(&reinterpret_cast<KeyObject<Key>*>(self)->key);
  free_object(self);
}

// return_self: an immutable object's copy is the object itself.
PyObject* return_self(PyObject* self, PyObject*);

// add_functions adds each function of a null-terminated table to the module.
inline int add_functions(PyObject* module, PyMethodDef* defs) {
  return PyModule_AddFunctions(module, defs);
}

// add_object adds `obj` (a borrowed reference) under `name`.
int add_object(PyObject* module, const char* name, PyObject* obj);

}  // namespace pyext::pq
