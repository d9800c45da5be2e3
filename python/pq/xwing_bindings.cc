// X-Wing (draft-connolly-cfrg-xwing-kem) for Python: key generation,
// encapsulation and decapsulation on bytes, with the interpreter lock
// released around the work.
#include <optional>

#include "core/xwing.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/error.h"
#include "python/pq/parts.h"
#include "python/pq/support.h"
#include "python/runtime.h"
#include "python/types.h"

namespace pyext {
namespace {


// xwing_generate_keypair(seed=None): (private_key, public_key).
constexpr Param kGenerateParams[] = {{"seed", Kind::Object, true}};
constexpr Signature kGenerate{"xwing_generate_keypair()", kGenerateParams};
constexpr char kGenerateDoc[] =
    "xwing_generate_keypair(seed=None)\n--\n\n"
    "An X-Wing key pair: the 32-byte private key (a seed) and the 1216-byte\n"
    "public key. With seed given (32 bytes) the pair is derived from it.";

PyObject* py_generate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kGenerate, args, nargs, kwnames, in)) return nullptr;
    std::optional<core::ByteView> seed;
    if (!pq::optional_bytes(in.object(0), "seed", seed)) return nullptr;
    auto result = [&] {
      ReleaseGil nogil;
      return seed ? core::xwing_keygen_deterministic(*seed) : core::xwing_keygen();
    }();
    if (!result.ok()) return raise_core_error(result.error());
    return make_tuple({make_bytes(result.value().seed.view()), make_bytes(result.value().public_key)});
  });
}

// xwing_encapsulate(public_key, eseed=None): (ciphertext, shared_secret).
constexpr Param kEncapsParams[] = {{"public_key", Kind::Bytes}, {"eseed", Kind::Object, true}};
constexpr Signature kEncaps{"xwing_encapsulate()", kEncapsParams};
constexpr char kEncapsDoc[] =
    "xwing_encapsulate(public_key, eseed=None)\n--\n\n"
    "Encapsulates to an X-Wing public key: the 1120-byte ciphertext and the\n"
    "32-byte shared secret. With eseed given (64 bytes) the encapsulation is\n"
    "deterministic.";

PyObject* py_encaps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kEncaps, args, nargs, kwnames, in)) return nullptr;
    std::optional<core::ByteView> eseed;
    if (!pq::optional_bytes(in.object(1), "eseed", eseed)) return nullptr;
    const core::ByteView pk = in.bytes(0);
    auto result = [&] {
      ReleaseGil nogil;
      return eseed ? core::xwing_encaps_deterministic(pk, *eseed) : core::xwing_encaps(pk);
    }();
    if (!result.ok()) return raise_core_error(result.error());
    return make_tuple(
        {make_bytes(result.value().capsule), make_bytes(result.value().shared_secret.view())});
  });
}

// xwing_decapsulate(ciphertext, private_key): shared_secret.
constexpr Param kDecapsParams[] = {{"ciphertext", Kind::Bytes}, {"private_key", Kind::Bytes}};
constexpr Signature kDecaps{"xwing_decapsulate()", kDecapsParams};
constexpr char kDecapsDoc[] =
    "xwing_decapsulate(ciphertext, private_key)\n--\n\n"
    "The 32-byte shared secret of an X-Wing ciphertext under a private key.";

PyObject* py_decaps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kDecaps, args, nargs, kwnames, in)) return nullptr;
    const core::ByteView ct = in.bytes(0), sk = in.bytes(1);
    auto result = [&] {
      ReleaseGil nogil;
      return core::xwing_decaps(ct, sk);
    }();
    if (!result.ok()) return raise_core_error(result.error());
    return make_bytes(result.value().view());
  });
}

PyMethodDef kXWingMethods[] = {
    {"xwing_generate_keypair", fastcall_keywords(&py_generate), METH_FASTCALL | METH_KEYWORDS,
     kGenerateDoc},
    {"xwing_encapsulate", fastcall_keywords(&py_encaps), METH_FASTCALL | METH_KEYWORDS, kEncapsDoc},
    {"xwing_decapsulate", fastcall_keywords(&py_decaps), METH_FASTCALL | METH_KEYWORDS, kDecapsDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_xwing(PyObject* module) { return pq::add_functions(module, kXWingMethods); }

}  // namespace pyext
