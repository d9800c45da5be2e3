#include "python/error.h"

#include <array>
#include <string>
#include <string_view>

#include "python/runtime.h"

namespace pyext {
namespace {

struct ExcSpec {
  const char* qualified_name;
  const char* doc;
};

constexpr std::array<ExcSpec, 6> kExcSpecs{{
    {"tarnel.TarnelError", "Base exception for all Tarnel errors."},
    {"tarnel.DecapsulationError", "ML-KEM structural decapsulation error."},
    {"tarnel.DecryptionError", "AES-GCM authentication tag verification failed."},
    {"tarnel.InvalidParameterError", "Invalid parameter (buffer size, security level)."},
    {"tarnel.RngError", "CSPRNG not available from the operating system."},
    {"tarnel.KeySerializationError",
     "Invalid key serialization format (PEM header, JSON, magic bytes, truncated blob)."},
}};

// new_exception creates one class; a refusal is reported as RuntimeError
// "Failed to initialize new exception type." chained to the interpreter's
// own error.
PyObject* new_exception(const char* name, const char* doc, PyObject* base) {
  PyObject* type = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
  if (type != nullptr) return type;
  PyObject *cause_type, *cause, *cause_tb;
  PyErr_Fetch(&cause_type, &cause, &cause_tb);
  PyErr_NormalizeException(&cause_type, &cause, &cause_tb);
  PyErr_SetString(PyExc_RuntimeError, "Failed to initialize new exception type.");
  PyObject *err_type, *err, *err_tb;
  PyErr_Fetch(&err_type, &err, &err_tb);
  PyErr_NormalizeException(&err_type, &err, &err_tb);
  if (err != nullptr && cause != nullptr) {
    PyException_SetCause(err, cause);  // steals `cause`
    cause = nullptr;
  }
  Py_XDECREF(cause_type);
  Py_XDECREF(cause);
  Py_XDECREF(cause_tb);
  PyErr_Restore(err_type, err, err_tb);
  return nullptr;
}

OnceCell& exception_cell(Exc which) {
  static std::array<OnceCell, 6> cells;
  return cells[static_cast<size_t>(which)];
}

PyObject* internal_fault_type() {
  static OnceCell cell;
  return cell.get([] {
    return new_exception("tarnel.InternalFault",
                         "An internal fault of the extension (a bug, never caused by input).",
                         PyExc_BaseException);
  });
}

}  // namespace

PyObject* exception_type(Exc which) {
  return exception_cell(which).get([which]() -> PyObject* {
#ifdef TARNEL_COMPANION_MODULE
    // A companion module raises the very classes of tarnel._tarnel_core.
    PyRef core_module(PyImport_ImportModule("tarnel._tarnel_core"));
    if (!core_module) return nullptr;
    const std::string_view qualified = kExcSpecs[static_cast<size_t>(which)].qualified_name;
    const std::string name(qualified.substr(qualified.rfind('.') + 1));
    return PyObject_GetAttrString(core_module.get(), name.c_str());
#else
    PyObject* base = PyExc_Exception;
    if (which != Exc::TarnelError) {
      base = exception_type(Exc::TarnelError);
      if (base == nullptr) return nullptr;
    }
    const ExcSpec& spec = kExcSpecs[static_cast<size_t>(which)];
    return new_exception(spec.qualified_name, spec.doc, base);
#endif
  });
}

PyObject* raise_exception(Exc which, const char* message) {
  PyObject* type = exception_type(which);
  if (type == nullptr) return nullptr;
  PyErr_SetString(type, message);
  return nullptr;
}

void raise_internal_fault(const char* message) noexcept {
  PyObject* type = internal_fault_type();
  if (type == nullptr) return;  // the creation error stays set
  PyErr_SetString(type, message != nullptr ? message : "internal fault");
}

PyObject* raise_core_error(const core::Error& error) {
  const char* message = error.message != nullptr ? error.message : "";
  switch (error.kind) {
    case core::ErrorKind::InvalidParameter:
      return raise_exception(Exc::InvalidParameterError, message);
    case core::ErrorKind::Rng:
      return raise_exception(Exc::RngError, "CSPRNG not available");
    case core::ErrorKind::Decapsulation:
      return raise_exception(Exc::DecapsulationError, message);
    case core::ErrorKind::Decryption:
      return raise_exception(Exc::DecryptionError,
                             "AES-GCM authentication tag verification failed");
    case core::ErrorKind::Base64: {
      const std::string text = std::string("base64 decode error: ") + message;
      return raise_exception(Exc::TarnelError, text.c_str());
    }
    case core::ErrorKind::KeySerialization:
      return raise_exception(Exc::KeySerializationError, message);
    case core::ErrorKind::OutOfMemory:
      return PyErr_NoMemory();
    case core::ErrorKind::Internal:
      break;
  }
  raise_internal_fault(error.message != nullptr ? error.message : "internal fault in the core");
  return nullptr;
}

}  // namespace pyext
