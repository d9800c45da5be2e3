// The parts of tarnel._tarnel_pq. Each adds its functions and classes to the
// module; 0 on success, -1 with an exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pyext {

int add_xwing(PyObject* module);
int add_hpke(PyObject* module);

}  // namespace pyext
