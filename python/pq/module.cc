// tarnel._tarnel_pq: hybrid post-quantum KEMs and HPKE. Registration only;
// each part lives in its own file (see parts.h).
#include "python/pq/parts.h"
#include "python/runtime.h"
#include "python/types.h"

namespace pyext {

// The argument binder takes SecurityLevel from tarnel._tarnel_core, as the
// other companion module does.
PyObject* security_level_type() {
  static OnceCell cell;
  return cell.get([]() -> PyObject* {
    PyRef core_module(PyImport_ImportModule("tarnel._tarnel_core"));
    if (!core_module) return nullptr;
    return PyObject_GetAttrString(core_module.get(), "SecurityLevel");
  });
}

uint16_t level_value_of(PyObject* level) noexcept {
  PyRef number(PyNumber_Long(level));
  const long v = number ? PyLong_AsLong(number.get()) : -1;
  if (v < 0) PyErr_Clear();
  return static_cast<uint16_t>(v < 0 ? 0 : v);
}

namespace {

int exec_module(PyObject* module) {
  return guarded([&]() -> int {
    if (add_xwing(module) < 0) return -1;
    if (add_hpke(module) < 0) return -1;
    return 0;
  });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_tarnel_pq",
    "Hybrid post-quantum KEMs (X-Wing) and HPKE (RFC 9180), with the interpreter lock released.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pyext

PyMODINIT_FUNC PyInit__tarnel_pq() { return PyModuleDef_Init(&pyext::kModule); }
