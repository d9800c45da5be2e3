// The armor codec's entry points in tarnel._tarnel_fileio (armor_codec.cc).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "core/armor_text.h"

namespace pyext {

inline constexpr size_t kArmorMethodCount = 5;
// Armored text is read in batches of this many bytes (tarnel.armor and the
// native decryption alike, so both meet a fault at the same point).
inline constexpr size_t kArmorBatch = size_t{1} << 20;
// The codec's functions, placed in the module's method table.
extern const PyMethodDef kArmorMethods[kArmorMethodCount];
// add_armor_constants adds the BEGIN and END lines (bytes), the line width
// and the most whitespace allowed after the END line; -1 with an exception set.
int add_armor_constants(PyObject* module);
// armor_fault_tuple is the fault of `step` as tarnel.armor reads it:
// (kind, line, length, shown); null with an exception set.
PyObject* armor_fault_tuple(const core::ArmorStep& step);
const char* armor_fault_name(core::ArmorFault fault) noexcept;

}  // namespace pyext
