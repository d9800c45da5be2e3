// The KEM functions and the Base64 public-key text functions.
#include <string>
#include <utility>

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

// generate_keypair(level=...): a random key pair; the lock is released for
// key generation.
constexpr Param kGenerateParams[] = {{"level", Kind::Level, true}};
constexpr Signature kGenerate{"generate_keypair()", kGenerateParams};
constexpr char kGenerateDoc[] =
    "generate_keypair(level=...)\n--\n\n"
    "Genera un par de claves ML-KEM para el nivel de seguridad dado.\n\n"
    "Args:\n"
    "    level: Nivel de seguridad (SecurityLevel.ML_KEM_512, ML_KEM_768, o ML_KEM_1024).\n\n"
    "Returns:\n"
    "    KeyPair con public_key y secret_key.\n\n"
    "Raises:\n"
    "    InvalidParameterError: Si el nivel es invalido.\n"
    "    RngError: Si el CSPRNG del OS no esta disponible.";

PyObject* py_generate_keypair(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kGenerate, args, nargs, kwnames, in)) return nullptr;
    const core::Level level = in.level(0);
    auto keys = [&] {
      ReleaseGil nogil;
      return core::ml_kem_keygen(level);
    }();
    if (!keys.ok()) return raise_core_error(keys.error());
    return make_keypair(std::move(keys).value(), level);
  });
}

// encapsulate(public_key, level=...): (capsule, shared_secret).
constexpr Param kEncapsulateParams[] = {{"public_key", Kind::Bytes},
                                        {"level", Kind::Level, true}};
constexpr Signature kEncapsulate{"encapsulate()", kEncapsulateParams};
constexpr char kEncapsulateDoc[] =
    "encapsulate(public_key, level=...)\n--\n\n"
    "Encapsula un shared secret usando la clave publica del receptor.\n\n"
    "Args:\n"
    "    public_key: Clave publica ML-KEM del receptor (bytes).\n"
    "    level: Nivel de seguridad.\n\n"
    "Returns:\n"
    "    Tupla (capsule: bytes, shared_secret: bytes).";

PyObject* py_encapsulate(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kEncapsulate, args, nargs, kwnames, in)) return nullptr;
    const core::ByteView ek = in.bytes(0);  // read in place; the call holds a reference
    const core::Level level = in.level(1);
    auto result = [&] {
      ReleaseGil nogil;
      return core::ml_kem_encaps(ek, level);
    }();
    if (!result.ok()) return raise_core_error(result.error());
    return make_tuple({make_bytes(core::view(result.value().capsule)),
                       make_bytes(result.value().shared_secret.view())});
  });
}

// decapsulate(capsule, secret_key, level=...): the 32-byte shared secret;
// a capsule of the right size never fails (implicit rejection).
constexpr Param kDecapsulateParams[] = {
    {"capsule", Kind::Bytes}, {"secret_key", Kind::Bytes}, {"level", Kind::Level, true}};
constexpr Signature kDecapsulate{"decapsulate()", kDecapsulateParams};
constexpr char kDecapsulateDoc[] =
    "decapsulate(capsule, secret_key, level=...)\n--\n\n"
    "Desencapsula el shared secret usando la clave secreta.\n\n"
    "NOTA: Esta funcion NUNCA lanza error para ciphertext invalido\n"
    "(implicit rejection, FIPS 203 \u00a77.3).\n\n"
    "Args:\n"
    "    capsule: Capsula ML-KEM recibida (bytes).\n"
    "    secret_key: Clave secreta propia (bytes).\n"
    "    level: Nivel de seguridad.\n\n"
    "Returns:\n"
    "    shared_secret: bytes de 32 bytes.";

PyObject* py_decapsulate(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kDecapsulate, args, nargs, kwnames, in)) return nullptr;
    const core::ByteView capsule = in.bytes(0);
    const core::ByteView dk = in.bytes(1);
    const core::Level level = in.level(2);
    auto shared = [&] {
      ReleaseGil nogil;
      return core::ml_kem_decaps(capsule, dk, level);
    }();
    if (!shared.ok()) return raise_core_error(shared.error());
    return make_bytes(shared.value().view());
  });
}

// generate_keypair_deterministic(d, z, level=...): ML-KEM.KeyGen_internal
// from caller-supplied seeds; ValueError for a seed that is not 32 bytes.
constexpr Param kGenerateDetParams[] = {
    {"d", Kind::Bytes}, {"z", Kind::Bytes}, {"level", Kind::Level, true}};
constexpr Signature kGenerateDet{"generate_keypair_deterministic()", kGenerateDetParams};
constexpr char kGenerateDetDoc[] =
    "generate_keypair_deterministic(d, z, level=...)\n--\n\n"
    "Genera un par de claves ML-KEM usando seeds especificos.\n\n"
    "Esta version es DETERMINISTA y debe usarse SOLO para validacion\n"
    "con vectores KAT conocidos. NO usar en produccion.\n\n"
    "Args:\n"
    "    d: Seed de 32 bytes para generacion de claves K-PKE.\n"
    "    z: Seed de 32 bytes para el contenido de la clave secreta.\n"
    "    level: Nivel de seguridad.\n\n"
    "Returns:\n"
    "    KeyPair con public_key y secret_key.\n\n"
    "Raises:\n"
    "    InvalidParameterError: Si los seeds no tienen 32 bytes o el nivel es invalido.";

PyObject* py_generate_keypair_deterministic(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kGenerateDet, args, nargs, kwnames, in)) return nullptr;
    const core::Level level = in.level(2);
    if (in.bytes(0).size() != 32) {
      PyErr_SetString(PyExc_ValueError, "El seed 'd' debe tener exactamente 32 bytes");
      return nullptr;
    }
    if (in.bytes(1).size() != 32) {
      PyErr_SetString(PyExc_ValueError, "El seed 'z' debe tener exactamente 32 bytes");
      return nullptr;
    }
    const core::Secret<32> d(in.bytes(0).first<32>());
    const core::Secret<32> z(in.bytes(1).first<32>());
    auto keys = [&] {
      ReleaseGil nogil;
      return core::ml_kem_keygen_deterministic(d.span(), z.span(), level);
    }();
    if (!keys.ok()) return raise_core_error(keys.error());
    return make_keypair(std::move(keys).value(), level);
  });
}

// encapsulate_deterministic(public_key, m, level=...): ML-KEM.Encaps_internal
// with a caller-supplied m; (capsule, shared_secret, m).
constexpr Param kEncapsulateDetParams[] = {
    {"public_key", Kind::Bytes}, {"m", Kind::Bytes}, {"level", Kind::Level, true}};
constexpr Signature kEncapsulateDet{"encapsulate_deterministic()", kEncapsulateDetParams};
constexpr char kEncapsulateDetDoc[] =
    "encapsulate_deterministic(public_key, m, level=...)\n--\n\n"
    "Encapsula un shared secret usando un mensaje especifico.\n\n"
    "Esta version es DETERMINISTA y debe usarse SOLO para validacion\n"
    "con vectores KAT conocidos. NO usar en produccion.\n\n"
    "Args:\n"
    "    public_key: Clave publica del receptor (bytes).\n"
    "    m: Mensaje de 32 bytes a encapsular.\n"
    "    level: Nivel de seguridad.\n\n"
    "Returns:\n"
    "    Tupla (capsule: bytes, shared_secret: bytes, m: bytes).\n\n"
    "Raises:\n"
    "    InvalidParameterError: Si los parametros tienen tamano incorrecto.";

PyObject* py_encapsulate_deterministic(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kEncapsulateDet, args, nargs, kwnames, in)) return nullptr;
    const core::ByteView ek = in.bytes(0);
    const core::Level level = in.level(2);
    if (in.bytes(1).size() != 32) {
      PyErr_SetString(PyExc_ValueError, "El mensaje 'm' debe tener exactamente 32 bytes");
      return nullptr;
    }
    const core::Secret<32> m(in.bytes(1).first<32>());
    auto result = [&] {
      ReleaseGil nogil;
      return core::ml_kem_encaps_deterministic(ek, m.span(), level);
    }();
    if (!result.ok()) return raise_core_error(result.error());
    const core::DeterministicEncapsulationResult& r = result.value();
    return make_tuple({make_bytes(core::view(r.capsule)), make_bytes(r.shared_secret.view()),
                       make_bytes(r.m.view())});
  });
}

}  // namespace

const PyMethodDef kSerializePublicKeyDef = {
    "serialize_public_key", fastcall_keywords(&py_serialize_public_key),
    METH_FASTCALL | METH_KEYWORDS, kSerializeDoc};
const PyMethodDef kDeserializePublicKeyDef = {
    "deserialize_public_key", fastcall_keywords(&py_deserialize_public_key),
    METH_FASTCALL | METH_KEYWORDS, kDeserializeDoc};
const PyMethodDef kGenerateKeypairDef = {"generate_keypair",
                                         fastcall_keywords(&py_generate_keypair),
                                         METH_FASTCALL | METH_KEYWORDS, kGenerateDoc};
const PyMethodDef kEncapsulateDef = {"encapsulate", fastcall_keywords(&py_encapsulate),
                                     METH_FASTCALL | METH_KEYWORDS, kEncapsulateDoc};
const PyMethodDef kDecapsulateDef = {"decapsulate", fastcall_keywords(&py_decapsulate),
                                     METH_FASTCALL | METH_KEYWORDS, kDecapsulateDoc};
const PyMethodDef kGenerateKeypairDeterministicDef = {
    "generate_keypair_deterministic", fastcall_keywords(&py_generate_keypair_deterministic),
    METH_FASTCALL | METH_KEYWORDS, kGenerateDetDoc};
const PyMethodDef kEncapsulateDeterministicDef = {
    "encapsulate_deterministic", fastcall_keywords(&py_encapsulate_deterministic),
    METH_FASTCALL | METH_KEYWORDS, kEncapsulateDetDoc};

}  // namespace pyext
