// The module's exception classes and the one conversion of a core error
// into a Python exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/error.h"

namespace pyext {

// The six exported exception classes, in registration order.
enum class Exc : unsigned char {
  TarnelError,
  DecapsulationError,
  DecryptionError,
  InvalidParameterError,
  RngError,
  KeySerializationError,
};

// exception_type returns the process-wide class (a borrowed reference),
// creating it (and TarnelError first) on first use; null with an exception
// set if the interpreter refuses to create it.
PyObject* exception_type(Exc which);

// raise_exception raises `which` with `message` as its single argument and
// returns nullptr.
PyObject* raise_exception(Exc which, const char* message);

// raise_core_error converts a core error into its pending Python exception
// and returns nullptr: the six kinds map to the six classes, OutOfMemory to
// MemoryError and Internal to the internal-fault exception.
PyObject* raise_core_error(const core::Error& error);

}  // namespace pyext
