// The module definition of _tarnel_core and the registration of its names.
#include "python/bindings.h"
#include "python/error.h"
#include "python/runtime.h"
#include "python/types.h"

namespace pyext {
namespace {

// One registration: a process-wide object (exception or class) or a function
// created with the module as its owner.
struct Registration {
  const char* name;
  PyObject* (*shared)();        // borrowed reference; null with an exception set
  const PyMethodDef* function;  // when `shared` is null
};

template <Exc E>
PyObject* exception() {
  return exception_type(E);
}

constexpr Registration type_entry(const char* name, PyObject* (*get)()) {
  return {name, get, nullptr};
}
constexpr Registration function_entry(const PyMethodDef& def) {
  return {nullptr, nullptr, &def};
}

// Registration order is the order of __all__.
const Registration kRegistrations[] = {
    type_entry("TarnelError", &exception<Exc::TarnelError>),
    type_entry("DecapsulationError", &exception<Exc::DecapsulationError>),
    type_entry("DecryptionError", &exception<Exc::DecryptionError>),
    type_entry("InvalidParameterError", &exception<Exc::InvalidParameterError>),
    type_entry("RngError", &exception<Exc::RngError>),
    type_entry("KeySerializationError", &exception<Exc::KeySerializationError>),
    type_entry("SecurityLevel", &security_level_type),
    type_entry("KeyPair", &keypair_type),
    function_entry(kGenerateKeypairDef),
    function_entry(kEncapsulateDef),
    function_entry(kDecapsulateDef),
    function_entry(kSerializePublicKeyDef),
    function_entry(kDeserializePublicKeyDef),
    function_entry(kGenerateKeypairDeterministicDef),
    function_entry(kEncapsulateDeterministicDef),
    function_entry(kEncryptHybridDef),
    function_entry(kDecryptHybridDef),
    function_entry(kLoadPublicKeyPemDef),
    function_entry(kLoadPublicKeyJsonDef),
    function_entry(kLoadSecretKeyRawDef),
    function_entry(kLoadSecretKeyPemDef),
    type_entry("StreamEncryptorHandle", &stream_encryptor_handle_type),
    type_entry("StreamDecryptorHandle", &stream_decryptor_handle_type),
    function_entry(kStreamEncryptorNewDef),
    function_entry(kStreamDecryptorFromHeaderDef),
};

// add_name appends `name` to the module's __all__ (creating the list if it
// is missing) and sets the attribute `name` to `value`.
bool add_name(PyObject* module, const char* name, PyObject* value) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef text(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, value) == 0;
}

int exec_module(PyObject* module) {
  return guarded([&]() -> int {
    if (!PyModule_Check(module)) {
      PyErr_SetString(PyExc_TypeError, "the execution step needs a module object");
      return -1;
    }
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (const Registration& r : kRegistrations) {
      if (r.shared != nullptr) {
        PyObject* obj = r.shared();
        if (obj == nullptr || !add_name(module, r.name, obj)) return -1;
      } else {
        PyRef fn(PyCFunction_NewEx(const_cast<PyMethodDef*>(r.function), module,
                                   module_name.get()));
        if (!fn || !add_name(module, r.function->ml_name, fn.get())) return -1;
      }
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
    "_tarnel_core",
    "Modulo Python `_tarnel_core`.\n\n"
    "Registra todas las funciones, clases y excepciones expuestas a Python.",
    0,        // no per-module state
    nullptr,  // no method table: the execution step adds every function
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pyext

PyMODINIT_FUNC PyInit__tarnel_core() { return PyModuleDef_Init(&pyext::kModule); }
