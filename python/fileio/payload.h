// The multi-recipient format's payload, whole files at a time, in
// tarnel._tarnel_fileio (payload.cc).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace pyext {

inline constexpr size_t kPayloadMethodCount = 2;
// The payload's functions, placed in the module's method table.
extern const PyMethodDef kPayloadMethods[kPayloadMethodCount];

}  // namespace pyext
