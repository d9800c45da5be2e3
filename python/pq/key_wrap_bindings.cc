// Wrapping a secret key given as bytes under a password: the encrypted
// private key block that KeyPair.export_secret_key_pem writes, for a key that
// is held without its KeyPair (read back from a key file or from PKCS#8).
// The wrap runs with the interpreter lock released.
#include <string>

#include "core/key_wrap.h"
#include "core/pem.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/error.h"
#include "python/pq/parts.h"
#include "python/pq/support.h"
#include "python/runtime.h"
#include "python/types.h"

namespace pyext {
namespace {

// wrap_secret_key_pem(secret_key, password, level): the encrypted block.
constexpr Param kWrapPemParams[] = {
    {"secret_key", Kind::Bytes}, {"password", Kind::Bytes}, {"level", Kind::Level}};
constexpr Signature kWrapPem{"wrap_secret_key_pem()", kWrapPemParams};
constexpr char kWrapPemDoc[] =
    "wrap_secret_key_pem(secret_key, password, level)\n--\n\n"
    "The secret key encrypted under a password, in the block that\n"
    "KeyPair.export_secret_key_pem writes (HKDF-SHA3-256 of the password\n"
    "with a fresh salt, AES-256-GCM).";

PyObject* py_wrap_pem(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kWrapPem, args, nargs, kwnames, in)) return nullptr;
    const core::ByteView secret_key = in.bytes(0), password = in.bytes(1);
    const core::Level level = in.level(2);
    auto blob = [&] {
      ReleaseGil nogil;
      return core::wrap_secret_key_blob(secret_key, level, password);
    }();
    if (!blob.ok()) return raise_core_error(blob.error());
    const std::string pem =
        core::write_pem_block(core::kEncryptedPrivateKeyPem, core::view(blob.value()));
    return PyUnicode_FromStringAndSize(pem.data(), static_cast<Py_ssize_t>(pem.size()));
  });
}

PyMethodDef kKeyWrapMethods[] = {
    {"wrap_secret_key_pem", fastcall_keywords(&py_wrap_pem), METH_FASTCALL | METH_KEYWORDS,
     kWrapPemDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_key_wrap(PyObject* module) { return pq::add_functions(module, kKeyWrapMethods); }

}  // namespace pyext
