// Argument binding and conversion shared by every exported function and
// method: each callable is described once by a parameter table, and one
// binder produces the bound, converted C++ values or the exact TypeError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/common/bytes.h"
#include "core/mlkem/params.h"

namespace pyext {

enum class Kind : uint8_t {
  Bytes,  // an instance of bytes (or a subclass), read in place
  Str,    // an instance of str (or a subclass), its UTF-8 form read in place
  Level,  // a SecurityLevel; when optional and absent, ML-KEM-768
  U32,    // an int in 0..4294967295
  I64,    // an int in -2**63..2**63-1
  Object, // any object, passed through (borrowed from the call)
};

struct Param {
  const char* name;
  Kind kind;
  bool optional = false;  // only trailing parameters may be optional
};

inline constexpr size_t kMaxParams = 12;

// Signature names a callable as its messages show it ("encapsulate()",
// "KeyPair.export_secret_key_raw()") and lists its parameters.
struct Signature {
  const char* display_name;
  std::span<const Param> params;
};

// BoundObjects holds, per parameter, the argument object bound to it (null
// when an optional parameter was left out). The objects are borrowed from
// the call.
using BoundObjects = std::array<PyObject*, kMaxParams>;

// Bound holds the converted arguments of one call. Views point into the
// argument objects, which the caller keeps alive for the whole call.
class Bound {
 public:
  core::ByteView bytes(size_t i) const noexcept { return slots_[i].bytes; }
  std::string_view str(size_t i) const noexcept { return slots_[i].text; }
  core::Level level(size_t i) const noexcept { return slots_[i].level; }
  uint32_t u32(size_t i) const noexcept { return slots_[i].u32; }
  int64_t i64(size_t i) const noexcept { return slots_[i].i64; }
  PyObject* object(size_t i) const noexcept { return slots_[i].object; }

 private:
  friend bool convert_args(const Signature&, const BoundObjects&, Bound&);
  struct Slot {
    core::ByteView bytes;
    std::string_view text;
    core::Level level = core::Level::MlKem768;
    uint32_t u32 = 0;
    int64_t i64 = 0;
    PyObject* object = nullptr;
  };
  std::array<Slot, kMaxParams> slots_{};
};

// bind_args binds a METH_FASTCALL | METH_KEYWORDS call to `sig`: positional
// arguments first, then keywords; then converts each parameter in order.
// Returns false with TypeError (or the conversion's own error, with the note
// "while processing '{name}'") set.
bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, Bound& out);

// The two halves of bind_args, for callers that must act in between (the
// stream handles take their borrow after binding and before conversion).
// match_args binds by position then keyword and raises the binding
// TypeErrors; convert_args converts in declaration order with the notes.
bool match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, BoundObjects& bound);
bool convert_args(const Signature& sig, const BoundObjects& bound, Bound& out);

}  // namespace pyext
