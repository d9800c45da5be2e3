#include "python/args.h"

#include <string>

#include "python/runtime.h"
#include "python/types.h"

namespace pyext {
namespace {

// add_note calls the pending exception's add_note(note); without such a
// method (before Python 3.11) the note is skipped. The exception keeps its
// type, message and traceback.
void add_note(const char* param) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr && PyObject_HasAttrString(value, "add_note")) {
    PyRef note(PyUnicode_FromFormat("while processing '%s'", param));
    PyRef done(note ? PyObject_CallMethod(value, "add_note", "O", note.get()) : nullptr);
    if (!done) {
      // The note could not be added: keep the original error.
      PyErr_Clear();
    }
  }
  PyErr_Restore(type, value, tb);
}

// raise_not_instance raises "'{qualname}' object is not an instance of
// '{expected}'", or "'None' is not an instance of '{expected}'".
void raise_not_instance(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                        "__qualname__"));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of '%s'", qualname.get(),
               expected);
}

// convert reads one argument into `slot`; false with an exception set.
template <class Slot>
bool convert(const Param& p, PyObject* obj, Slot& slot) {
  switch (p.kind) {
    case Kind::Bytes: {
      if (!PyBytes_Check(obj)) {
        raise_not_instance(obj, "bytes");
        return false;
      }
      char* data = nullptr;
      Py_ssize_t len = 0;
      if (PyBytes_AsStringAndSize(obj, &data, &len) < 0) return false;
      slot.bytes = core::ByteView(reinterpret_cast<const uint8_t*>(data),
                                  static_cast<size_t>(len));
      return true;
    }
    case Kind::Str: {
      if (!PyUnicode_Check(obj)) {
        raise_not_instance(obj, "str");
        return false;
      }
      Py_ssize_t len = 0;
      const char* data = PyUnicode_AsUTF8AndSize(obj, &len);
      if (data == nullptr) return false;
      slot.text = std::string_view(data, static_cast<size_t>(len));
      return true;
    }
    case Kind::Level: {
      PyObject* type = security_level_type();
      if (type == nullptr) return false;
      if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) {
        raise_not_instance(obj, "SecurityLevel");
        return false;
      }
      slot.level = core::level_from_value(level_value_of(obj));
      return true;
    }
    case Kind::U32: {
      const long long v = PyLong_AsLongLong(obj);
      if (v == -1 && PyErr_Occurred()) return false;
      if (v < 0 || v > 0xFFFFFFFFLL) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
      }
      slot.u32 = static_cast<uint32_t>(v);
      return true;
    }
    case Kind::I64: {
      const long long v = PyLong_AsLongLong(obj);
      if (v == -1 && PyErr_Occurred()) return false;
      slot.i64 = static_cast<int64_t>(v);
      return true;
    }
    case Kind::Object:
      slot.object = obj;
      return true;
  }
  raise_internal_fault("unknown parameter kind");
  return false;
}

// quoted_list joins names as 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
std::string quoted_list(const std::array<const char*, kMaxParams>& names, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) {
      if (n > 2) s += ",";
      s += i + 1 == n ? " and " : " ";
    }
    s += "'";
    s += names[i];
    s += "'";
  }
  return s;
}

}  // namespace

bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, Bound& out) {
  BoundObjects bound{};
  return match_args(sig, args, nargs, kwnames, bound) && convert_args(sig, bound, out);
}

bool match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, BoundObjects& bound) {
  const size_t n = sig.params.size();
  if (n > kMaxParams) {
    raise_internal_fault("parameter table too long");
    return false;
  }
  size_t required = 0;
  while (required < n && !sig.params[required].optional) ++required;

  // Too many positional arguments.
  if (nargs < 0 || static_cast<size_t>(nargs) > n) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (required == n) {
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                   sig.display_name, n, nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s takes from %zu to %zu positional arguments but %zd %s given",
                   sig.display_name, required, n, nargs, verb);
    }
    return false;
  }

  bound.fill(nullptr);
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<size_t>(i)] = args[i];

  // Keywords, in the order given.
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  if (nkw < 0) return false;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);
    if (key == nullptr) return false;
    size_t index = n;
    for (size_t i = 0; i < n; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) {
        index = i;
        break;
      }
    }
    if (index == n) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                   sig.display_name, key);
      return false;
    }
    if (bound[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                   sig.display_name, sig.params[index].name);
      return false;
    }
    bound[index] = args[nargs + k];
  }

  // Missing required parameters.
  std::array<const char*, kMaxParams> missing{};
  size_t n_missing = 0;
  for (size_t i = 0; i < n; ++i) {
    if (bound[i] == nullptr && !sig.params[i].optional) missing[n_missing++] = sig.params[i].name;
  }
  if (n_missing > 0) {
    const std::string list = quoted_list(missing, n_missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
                 sig.display_name, n_missing, n_missing == 1 ? "" : "s", list.c_str());
    return false;
  }
  return true;
}

bool convert_args(const Signature& sig, const BoundObjects& bound, Bound& out) {
  // Conversions, in declaration order; the first failure ends the call.
  for (size_t i = 0; i < sig.params.size(); ++i) {
    auto& slot = out.slots_[i];
    if (bound[i] == nullptr) {
      slot.level = core::Level::MlKem768;  // an optional `level` defaults to ML-KEM-768
      slot.object = nullptr;
      continue;
    }
    if (!convert(sig.params[i], bound[i], slot)) {
      add_note(sig.params[i].name);
      return false;
    }
  }
  return true;
}

}  // namespace pyext
