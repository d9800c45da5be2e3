// The KEM functions and the Base64 public-key text functions.
#include <string>

#include "core/kem.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/error.h"
#include "python/runtime.h"
#include "python/types.h"

namespace pyext {
namespace {

// serialize_public_key(public_key): any byte string, as unpadded URL-safe
// Base64 text. Keeps the interpreter lock.
constexpr Param kSerializeParams[] = {{"public_key", Kind::Bytes}};
constexpr Signature kSerialize{"serialize_public_key()", kSerializeParams};
constexpr char kSerializeDoc[] =
    "serialize_public_key(public_key)\n--\n\n"
    "Serializa una llave publica ML-KEM a Base64 URL-safe sin padding.\n\n"
    "Args:\n"
    "    public_key: La llave publica como bytes.\n\n"
    "Returns:\n"
    "    str: La llave publica en formato Base64 URL-safe sin padding.";

PyObject* py_serialize_public_key(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kSerialize, args, nargs, kwnames, in)) return nullptr;
    return make_str(core::public_key_to_b64(in.bytes(0)));
  });
}

// deserialize_public_key(b64, level=...): the key bytes, checked against the
// level's public-key size. Keeps the interpreter lock.
constexpr Param kDeserializeParams[] = {{"b64", Kind::Str}, {"level", Kind::Level, true}};
constexpr Signature kDeserialize{"deserialize_public_key()", kDeserializeParams};
constexpr char kDeserializeDoc[] =
    "deserialize_public_key(b64, level=...)\n--\n\n"
    "Deserializa una llave publica ML-KEM desde Base64 URL-safe.\n\n"
    "Args:\n"
    "    b64 (str): El string Base64 URL-safe con la llave publica.\n"
    "    level (SecurityLevel): El nivel de seguridad ML-KEM esperado.\n\n"
    "Returns:\n"
    "    bytes: Los bytes de la llave publica.\n\n"
    "Raises:\n"
    "    TarnelError: Si el string no es Base64 valido.\n"
    "    InvalidParameterError: Si el tamano no coincide con el nivel.";

PyObject* py_deserialize_public_key(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kDeserialize, args, nargs, kwnames, in)) return nullptr;
    auto key = core::public_key_from_b64(in.str(0), in.level(1));
    if (!key.ok()) return raise_core_error(key.error());
    return make_bytes(core::view(key.value()));
  });
}

}  // namespace

const PyMethodDef kSerializePublicKeyDef = {
    "serialize_public_key", fastcall_keywords(&py_serialize_public_key),
    METH_FASTCALL | METH_KEYWORDS, kSerializeDoc};
const PyMethodDef kDeserializePublicKeyDef = {
    "deserialize_public_key", fastcall_keywords(&py_deserialize_public_key),
    METH_FASTCALL | METH_KEYWORDS, kDeserializeDoc};

}  // namespace pyext
