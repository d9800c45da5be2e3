// The key export methods of KeyPair and the four key load functions: the
// Base64 public-key text, the PEM-like blocks, the JSON document and the
// password-wrapped secret-key blob. Only wrapping and unwrapping run with
// the interpreter lock released.
#include <utility>

#include "core/json_doc.h"
#include "core/kem.h"
#include "core/key_wrap.h"
#include "core/pem.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/error.h"
#include "python/runtime.h"
#include "python/types.h"

namespace pyext {
namespace {

constexpr Param kPasswordParams[] = {{"password", Kind::Bytes}};

// wrap_with_gil_released runs the key wrap of `pair` without the lock.
core::Result<core::Bytes> wrap_with_gil_released(const KeyPairView& pair,
                                                 core::ByteView password) {
  ReleaseGil nogil;  // no Python object until this scope ends
  return core::wrap_secret_key_blob(pair.secret_key, pair.level, password);
}

// unwrap_to_python unwraps `blob` without the lock and returns the tuple
// (secret key, SecurityLevel); the temporary key buffer is wiped as soon as
// its copy into bytes exists.
PyObject* unwrap_to_python(core::ByteView blob, core::ByteView password) {
  auto unwrapped = [&] {
    ReleaseGil nogil;
    return core::unwrap_secret_key(blob, password);
  }();
  if (!unwrapped.ok()) return raise_core_error(unwrapped.error());
  core::SecretBytes secret_key = std::move(unwrapped.value().secret_key);
  PyObject* key = make_bytes(core::view(secret_key));
  core::SecretBytes().swap(secret_key);  // wiped and freed here
  return make_tuple({key, level_object(unwrapped.value().level)});
}

// ------------------------------------------------------------ KeyPair methods
// The three public-key exports take no arguments at all (METH_NOARGS): any
// argument is refused by the interpreter itself.

constexpr char kPublicKeyB64Doc[] =
    "public_key_b64($self)\n"
    "--\n"
    "\n"
    "Serializa la clave publica a Base64 URL-safe sin padding.\n"
    "\n"
    "Returns:\n"
    "    str: La clave publica en formato Base64 URL-safe sin padding `=`.";

PyObject* py_public_key_b64(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    return make_str(core::public_key_to_b64(keypair_view(self).public_key));
  });
}

constexpr char kPublicKeyPemDoc[] =
    "public_key_pem($self)\n"
    "--\n"
    "\n"
    "Exporta la clave publica en formato PEM-like ML-KEM.\n"
    "\n"
    "Formato::\n"
    "\n"
    "    -----BEGIN ML-KEM PUBLIC KEY-----\n"
    "    <Base64 STANDARD, lineas de 64 chars>\n"
    "    -----END ML-KEM PUBLIC KEY-----\n"
    "\n"
    "No es DER/ASN.1. Es un formato propietario legible inspirado en PEM.\n"
    "\n"
    "Returns:\n"
    "    str: La clave publica en formato PEM.";

PyObject* py_public_key_pem(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    return make_str(core::write_pem_block(core::kPublicKeyPem, keypair_view(self).public_key));
  });
}

constexpr char kPublicKeyJsonDoc[] =
    "public_key_json($self)\n"
    "--\n"
    "\n"
    "Exporta la clave publica en formato JSON.\n"
    "\n"
    "JSON con campos: algorithm (\"ML-KEM\"), level (\"ML_KEM_512/768/1024\"),\n"
    "public_key (Base64 URL-safe sin padding).\n"
    "\n"
    "Returns:\n"
    "    str: La clave publica serializada como JSON.";

PyObject* py_public_key_json(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const KeyPairView pair = keypair_view(self);
    return make_str(core::write_public_key_json(pair.public_key, pair.level));
  });
}

constexpr Signature kExportSecretKeyRaw{"KeyPair.export_secret_key_raw()", kPasswordParams};
constexpr char kExportSecretKeyRawDoc[] =
    "export_secret_key_raw($self, password)\n"
    "--\n"
    "\n"
    "Exporta la clave secreta cifrada como blob binario opaco.\n"
    "\n"
    "Layout del blob: magic(\"TRPK\") | version(1) | level_id(1) | salt(16)\n"
    "| nonce(12) | ciphertext | tag(16). Se cifra con AES-256-GCM usando\n"
    "una clave derivada de `password` via HKDF-SHA3-256.\n"
    "\n"
    "Libera el GIL durante HKDF + AES-GCM.\n"
    "\n"
    "Args:\n"
    "    password (bytes): Contrasena para derivar la clave de cifrado.\n"
    "\n"
    "Returns:\n"
    "    bytes: Blob binario opaco listo para persistir.\n"
    "\n"
    "Raises:\n"
    "    RngError: Si el CSPRNG no esta disponible.\n"
    "    InvalidParameterError: Si la llave secreta tiene tamano incorrecto.";

PyObject* py_export_secret_key_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kExportSecretKeyRaw, args, nargs, kwnames, in)) return nullptr;
    auto blob = wrap_with_gil_released(keypair_view(self), in.bytes(0));
    if (!blob.ok()) return raise_core_error(blob.error());
    return make_bytes(core::view(blob.value()));
  });
}

constexpr Signature kExportSecretKeyPem{"KeyPair.export_secret_key_pem()", kPasswordParams};
constexpr char kExportSecretKeyPemDoc[] =
    "export_secret_key_pem($self, password)\n"
    "--\n"
    "\n"
    "Exporta la clave secreta cifrada en formato PEM-like ENCRYPTED.\n"
    "\n"
    "Formato::\n"
    "\n"
    "    -----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----\n"
    "    <Base64 STANDARD del blob cifrado>\n"
    "    -----END ENCRYPTED ML-KEM PRIVATE KEY-----\n"
    "\n"
    "Args:\n"
    "    password (bytes): Contrasena para cifrar.\n"
    "\n"
    "Returns:\n"
    "    str: La clave privada cifrada como PEM.";

PyObject* py_export_secret_key_pem(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kExportSecretKeyPem, args, nargs, kwnames, in)) return nullptr;
    auto blob = wrap_with_gil_released(keypair_view(self), in.bytes(0));
    if (!blob.ok()) return raise_core_error(blob.error());
    return make_str(
        core::write_pem_block(core::kEncryptedPrivateKeyPem, core::view(blob.value())));
  });
}

// ------------------------------------------------------------ load functions

constexpr Param kLoadPublicKeyPemParams[] = {{"pem", Kind::Str}, {"level", Kind::Level, true}};
constexpr Signature kLoadPublicKeyPem{"load_public_key_pem()", kLoadPublicKeyPemParams};
constexpr char kLoadPublicKeyPemDoc[] =
    "load_public_key_pem(pem, level=...)\n"
    "--\n"
    "\n"
    "Carga una llave publica desde formato PEM-like ML-KEM.\n"
    "\n"
    "Args:\n"
    "    pem (str): String PEM con el header `-----BEGIN ML-KEM PUBLIC KEY-----`.\n"
    "    level (SecurityLevel): Nivel de seguridad esperado.\n"
    "\n"
    "Returns:\n"
    "    bytes: La llave publica lista para pasar a `TarnelCipher.encrypt()`.\n"
    "\n"
    "Raises:\n"
    "    KeySerializationError: Si el PEM no tiene header/footer o el Base64 es invalido.\n"
    "    InvalidParameterError: Si el tamano no coincide con el nivel.";

PyObject* py_load_public_key_pem(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kLoadPublicKeyPem, args, nargs, kwnames, in)) return nullptr;
    auto key = core::read_public_key_pem(in.str(0), in.level(1));
    if (!key.ok()) return raise_core_error(key.error());
    return make_bytes(core::view(key.value()));
  });
}

constexpr Param kLoadPublicKeyJsonParams[] = {{"json", Kind::Str}};
constexpr Signature kLoadPublicKeyJson{"load_public_key_json()", kLoadPublicKeyJsonParams};
constexpr char kLoadPublicKeyJsonDoc[] =
    "load_public_key_json(json)\n"
    "--\n"
    "\n"
    "Carga una llave publica desde JSON.\n"
    "\n"
    "El JSON debe tener los campos:\n"
    "  - \"algorithm\": \"ML-KEM\"\n"
    "  - \"level\": uno de \"ML_KEM_512\", \"ML_KEM_768\", \"ML_KEM_1024\"\n"
    "  - \"public_key\": Base64 URL-safe sin padding\n"
    "\n"
    "Returns:\n"
    "    tuple[bytes, SecurityLevel]: (llave_publica, nivel)\n"
    "\n"
    "Raises:\n"
    "    KeySerializationError: Si el JSON es invalido o le faltan campos.\n"
    "    InvalidParameterError: Si el tamano no coincide con el nivel declarado.";


PyObject* py_load_public_key_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kLoadPublicKeyJson, args, nargs, kwnames, in)) return nullptr;
    auto doc = core::read_public_key_json(in.str(0));
    if (!doc.ok()) return raise_core_error(doc.error());
    return make_tuple({make_bytes(core::view(doc.value().public_key)),
                       level_object(doc.value().level)});
  });
}

constexpr Param kLoadSecretKeyRawParams[] = {{"blob", Kind::Bytes}, {"password", Kind::Bytes}};
constexpr Signature kLoadSecretKeyRaw{"load_secret_key_raw()", kLoadSecretKeyRawParams};
constexpr char kLoadSecretKeyRawDoc[] =
    "load_secret_key_raw(blob, password)\n"
    "--\n"
    "\n"
    "Descifra y retorna la llave secreta desde un blob binario.\n"
    "\n"
    "Args:\n"
    "    blob (bytes): Blob producido por `KeyPair.export_secret_key_raw`.\n"
    "    password (bytes): Contrasena usada al cifrar.\n"
    "\n"
    "Returns:\n"
    "    tuple[bytes, SecurityLevel]: (secret_key, nivel)\n"
    "\n"
    "Raises:\n"
    "    DecryptionError: Si la contrasena es incorrecta o el blob esta corrupto.\n"
    "    KeySerializationError: Si magic/version son invalidos o el blob esta truncado.";

PyObject* py_load_secret_key_raw(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kLoadSecretKeyRaw, args, nargs, kwnames, in)) return nullptr;
    return unwrap_to_python(in.bytes(0), in.bytes(1));
  });
}

constexpr Param kLoadSecretKeyPemParams[] = {{"pem", Kind::Str}, {"password", Kind::Bytes}};
constexpr Signature kLoadSecretKeyPem{"load_secret_key_pem()", kLoadSecretKeyPemParams};
constexpr char kLoadSecretKeyPemDoc[] =
    "load_secret_key_pem(pem, password)\n"
    "--\n"
    "\n"
    "Descifra y retorna la llave secreta desde un PEM-like ENCRYPTED.\n"
    "\n"
    "Args:\n"
    "    pem (str): String PEM con header `-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----`.\n"
    "    password (bytes): Contrasena usada al cifrar.\n"
    "\n"
    "Returns:\n"
    "    tuple[bytes, SecurityLevel]: (secret_key, nivel)\n"
    "\n"
    "Raises:\n"
    "    DecryptionError: Si la contrasena es incorrecta o el blob esta corrupto.\n"
    "    KeySerializationError: Si el PEM/Base64/magic son invalidos.";

PyObject* py_load_secret_key_pem(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kLoadSecretKeyPem, args, nargs, kwnames, in)) return nullptr;
    // The block is read with the lock held; it holds only encrypted data.
    auto blob = core::read_pem_block(in.str(0), core::kEncryptedPrivateKeyPem);
    if (!blob.ok()) return raise_core_error(blob.error());
    return unwrap_to_python(core::view(blob.value()), in.bytes(1));
  });
}

constexpr int kFastcallFlags = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

const PyMethodDef kLoadPublicKeyPemDef = {
    "load_public_key_pem", fastcall_keywords(&py_load_public_key_pem), kFastcallFlags,
    kLoadPublicKeyPemDoc};
const PyMethodDef kLoadPublicKeyJsonDef = {
    "load_public_key_json", fastcall_keywords(&py_load_public_key_json), kFastcallFlags,
    kLoadPublicKeyJsonDoc};
const PyMethodDef kLoadSecretKeyRawDef = {
    "load_secret_key_raw", fastcall_keywords(&py_load_secret_key_raw), kFastcallFlags,
    kLoadSecretKeyRawDoc};
const PyMethodDef kLoadSecretKeyPemDef = {
    "load_secret_key_pem", fastcall_keywords(&py_load_secret_key_pem), kFastcallFlags,
    kLoadSecretKeyPemDoc};

const PyMethodDef kKeyPairPublicKeyB64Def = {
    "public_key_b64", &py_public_key_b64, METH_NOARGS, kPublicKeyB64Doc};
const PyMethodDef kKeyPairPublicKeyPemDef = {
    "public_key_pem", &py_public_key_pem, METH_NOARGS, kPublicKeyPemDoc};
const PyMethodDef kKeyPairPublicKeyJsonDef = {
    "public_key_json", &py_public_key_json, METH_NOARGS,
    kPublicKeyJsonDoc};
const PyMethodDef kKeyPairExportSecretKeyRawDef = {
    "export_secret_key_raw", fastcall_keywords(&py_export_secret_key_raw), kFastcallFlags,
    kExportSecretKeyRawDoc};
const PyMethodDef kKeyPairExportSecretKeyPemDef = {
    "export_secret_key_pem", fastcall_keywords(&py_export_secret_key_pem), kFastcallFlags,
    kExportSecretKeyPemDoc};

}  // namespace pyext
