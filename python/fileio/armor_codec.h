// The armor codec's entry points in tarnel._tarnel_fileio (armor_codec.cc).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace pyext {

inline constexpr size_t kArmorMethodCount = 5;
// The codec's functions, placed in the module's method table.
extern const PyMethodDef kArmorMethods[kArmorMethodCount];
// add_armor_constants adds the BEGIN and END lines (bytes), the line width
// and the most whitespace allowed after the END line; -1 with an exception set.
int add_armor_constants(PyObject* module);

}  // namespace pyext
