// The parts of tarnel._tarnel_pq. Each add_<part> adds its names to the
// module (and to its __all__) and returns 0, or -1 with an exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace core {
class XWingEncapsulationKey;
class XWingDecapsulationKey;
}  // namespace core

namespace pyext {

int add_key_objects(PyObject* module);        // key_objects.cc
int add_xwing(PyObject* module);              // xwing_bindings.cc
int add_xwing_key_objects(PyObject* module);  // xwing_key_objects.cc
int add_hpke(PyObject* module);               // hpke_bindings.cc
int add_key_wrap(PyObject* module);          // key_wrap_bindings.cc
int add_file_format(PyObject* module);       // file_format_bindings.cc

// The key of a tarnel.xwing.PublicKey / PrivateKey object, or null when
// `obj` is not one (no exception set, unless building the type failed).
const core::XWingEncapsulationKey* xwing_public_key_of(PyObject* obj);  // xwing_key_objects.cc
const core::XWingDecapsulationKey* xwing_private_key_of(PyObject* obj);

}  // namespace pyext
