// tarnel._tarnel_pq: the companion module for post-quantum key objects and
// constructions (X-Wing, HPKE). Registration only: each part adds its own
// names.
#include "python/pq/parts.h"
#include "python/runtime.h"

namespace pyext {
namespace {

int exec_module(PyObject* module) {
  return guarded([&]() -> int {
    PyRef all(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    for (int (*add)(PyObject*) : {&add_key_objects, &add_xwing, &add_xwing_key_objects, &add_hpke,
                                  &add_key_wrap, &add_file_format}) {
      if (add(module) < 0) return -1;
    }
    // __all__ names every public name, whichever part added it.
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyRef names(PyDict_Keys(dict));
    if (!names) return -1;
    for (Py_ssize_t i = 0; i < PyList_Size(names.get()); ++i) {
      PyObject* name = PyList_GetItem(names.get(), i);  // borrowed
      if (!PyUnicode_Check(name) || PyUnicode_ReadChar(name, 0) == '_') continue;
      const int listed = PySequence_Contains(all.get(), name);
      if (listed < 0 || (listed == 0 && PyList_Append(all.get(), name) < 0)) return -1;
    }
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
    "Post-quantum key objects, hybrid KEMs (X-Wing) and HPKE (RFC 9180), with the interpreter lock released.",
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
