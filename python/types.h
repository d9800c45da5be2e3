// The module's classes SecurityLevel and KeyPair, and the helpers that build
// result objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>

#include "core/common/bytes.h"
#include "core/kem.h"
#include "core/mlkem/params.h"
#include "python/runtime.h"

namespace pyext {

// The process-wide type objects (borrowed references), created on first
// use; null with an exception set if creation fails.
PyObject* security_level_type();
PyObject* keypair_type();

// level_value_of reads the numeric value (512, 768 or 1024) of an object
// already known to be a SecurityLevel.
uint16_t level_value_of(PyObject* level) noexcept;

// level_object returns a new reference to the shared SecurityLevel object of
// `level`.
PyObject* level_object(core::Level level);

// make_keypair creates a KeyPair that takes over both key buffers; on failure
// the buffers are released and null is returned with an exception set.
PyObject* make_keypair(core::KeyPairBytes&& keys, core::Level level);

// KeyPairView exposes a KeyPair's fields to the export methods. The views
// stay valid while the caller holds a reference to the object.
struct KeyPairView {
  core::ByteView public_key;
  core::ByteView secret_key;
  core::Level level;
};
KeyPairView keypair_view(PyObject* keypair) noexcept;

// make_bytes copies `b` into a new bytes object.
PyObject* make_bytes(core::ByteView b);
// new_bytes returns an uninitialised bytes object of `len` bytes and its
// buffer, to be filled before the object is handed to anyone; a length
// beyond PY_SSIZE_T_MAX raises MemoryError (null is returned).
PyRef new_bytes(size_t len, core::MutableBytes& buffer);
// make_str builds a str from UTF-8 text.
PyObject* make_str(std::string_view utf8);
// make_tuple builds a tuple that takes over the given new references, in
// order; if any is null, all are released and null is returned.
PyObject* make_tuple(std::initializer_list<PyObject*> items);

}  // namespace pyext
