// encrypt_hybrid and decrypt_hybrid: the Transit Package for Python. The
// result bytes object is allocated first and filled in place with the
// interpreter lock released, so a message is never copied a second time.
#include "core/hybrid.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/error.h"
#include "python/runtime.h"
#include "python/types.h"

namespace pyext {
namespace {

constexpr Param kEncryptHybridParams[] = {{"recipient_public_key", Kind::Bytes},
                                          {"plaintext", Kind::Bytes},
                                          {"level", Kind::Level, /*optional=*/true}};
constexpr Signature kEncryptHybrid{"encrypt_hybrid()", kEncryptHybridParams};
constexpr char kEncryptHybridDoc[] =
    "encrypt_hybrid(recipient_public_key, plaintext, level=...)\n--\n\n"
    "Cifra un payload usando el esquema hibrido ML-KEM + AES-256-GCM.\n\n"
    "Args:\n"
    "    recipient_public_key: Clave publica ML-KEM del receptor (bytes).\n"
    "    plaintext: Datos a cifrar (bytes).\n"
    "    level: Nivel de seguridad.\n\n"
    "Returns:\n"
    "    Transit Package como bytes:\n"
    "    [ML-KEM Capsule | AES Nonce (12B) | Auth Tag (16B) | Ciphertext]\n\n"
    "Raises:\n"
    "    InvalidParameterError: Si la clave publica tiene tamano incorrecto.\n"
    "    RngError: Si el CSPRNG del OS no esta disponible.";

constexpr Param kDecryptHybridParams[] = {{"encrypted_package", Kind::Bytes},
                                          {"secret_key", Kind::Bytes},
                                          {"level", Kind::Level, /*optional=*/true}};
constexpr Signature kDecryptHybrid{"decrypt_hybrid()", kDecryptHybridParams};
constexpr char kDecryptHybridDoc[] =
    "decrypt_hybrid(encrypted_package, secret_key, level=...)\n--\n\n"
    "Descifra un Transit Package usando la clave secreta propia.\n\n"
    "Args:\n"
    "    encrypted_package: Transit Package completo (bytes).\n"
    "    secret_key: Clave secreta ML-KEM propia (bytes).\n"
    "    level: Nivel de seguridad.\n\n"
    "Returns:\n"
    "    Plaintext original como bytes.\n\n"
    "Raises:\n"
    "    DecryptionError: Si el Auth Tag de AES-GCM es invalido (payload manipulado).\n"
    "    InvalidParameterError: Si el paquete tiene tamano incorrecto.";

PyObject* py_encrypt_hybrid(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kEncryptHybrid, args, nargs, kwnames, in)) return nullptr;
    const core::ByteView ek = in.bytes(0);
    const core::ByteView plaintext = in.bytes(1);
    const core::Level level = in.level(2);
    auto len = core::hybrid::sealed_len(plaintext.size(), level);
    if (!len.ok()) return raise_core_error(len.error());
    core::MutableBytes package;
    PyRef out = new_bytes(len.value(), package);
    if (!out) return nullptr;
    const core::Status s = [&] {
      ReleaseGil nogil;
      return core::hybrid::encrypt_into(package, ek, plaintext, level);
    }();
    if (!s.ok()) return raise_core_error(s.error());
    return out.release();
  });
}

PyObject* py_decrypt_hybrid(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kDecryptHybrid, args, nargs, kwnames, in)) return nullptr;
    const core::ByteView package = in.bytes(0);
    const core::ByteView dk = in.bytes(1);
    const core::Level level = in.level(2);
    auto len = core::hybrid::opened_len(package.size(), level);
    if (!len.ok()) return raise_core_error(len.error());
    core::MutableBytes plaintext;
    PyRef out = new_bytes(len.value(), plaintext);
    if (!out) return nullptr;
    const core::Status s = [&] {
      ReleaseGil nogil;
      return core::hybrid::decrypt_into(plaintext, package, dk, level);
    }();
    if (!s.ok()) return raise_core_error(s.error());
    return out.release();
  });
}

}  // namespace

const PyMethodDef kEncryptHybridDef = {"encrypt_hybrid", fastcall_keywords(py_encrypt_hybrid),
                                       METH_FASTCALL | METH_KEYWORDS, kEncryptHybridDoc};
const PyMethodDef kDecryptHybridDef = {"decrypt_hybrid", fastcall_keywords(py_decrypt_hybrid),
                                       METH_FASTCALL | METH_KEYWORDS, kDecryptHybridDoc};

}  // namespace pyext
