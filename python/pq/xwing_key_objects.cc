// tarnel.xwing.PublicKey and tarnel.xwing.PrivateKey: X-Wing keys checked
// and expanded once (core/xwing_key.h), for many encapsulations or
// decapsulations with one key. The objects never change after they are made
// and have no settable attributes, so one object may be shared by many
// threads; the interpreter lock is released around the expansion and around
// every operation.
#include <array>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "core/common/hash.h"
#include "core/xwing_key.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/error.h"
#include "python/pq/parts.h"
#include "python/pq/support.h"
#include "python/runtime.h"
#include "python/types.h"

namespace pyext {
namespace {

using pq::bind_new;

// A private key's secret parts (the seed, the X25519 scalar and the ML-KEM
// secret parts) wipe themselves when the object is freed.
using PublicKey = core::XWingEncapsulationKey;
using PrivateKey = core::XWingDecapsulationKey;
const PublicKey& pub_of(PyObject* self) { return pq::key_of<PublicKey>(self); }
const PrivateKey& priv_of(PyObject* self) { return pq::key_of<PrivateKey>(self); }

PyObject* public_key_type();
PyObject* private_key_type();

// fingerprint_repr builds "tarnel.xwing.{name}(fp=0123456789abcdef)".
PyObject* fingerprint_repr(const char* name, core::ByteView public_key) {
  return PyUnicode_FromFormat("tarnel.xwing.%s(fp=%s)", name,
                              pq::short_fingerprint(public_key).data());
}

PyObject* wrap_public(PublicKey&& key) { return pq::wrap_key(public_key_type(), std::move(key)); }

// ---------------------------------------------------------------- PublicKey

constexpr Param kPubNewParams[] = {{"public_key", Kind::Bytes}};
constexpr Signature kPubNew{"PublicKey()", kPubNewParams};
constexpr char kPubDoc[] =
    "PublicKey(public_key)\n--\n\n"
    "An X-Wing public key, checked and expanded once.\n\n"
    "The length and the modulus check of FIPS 203, Section 7.2 on the\n"
    "ML-KEM-768 part run when the object is made; the expanded ML-KEM key and\n"
    "the X25519 point are kept, so every encapsulation starts from them. The\n"
    "results are those of tarnel.xwing.encapsulate(public_key, eseed). The\n"
    "object never changes and may be shared by threads.\n\n"
    "Args:\n"
    "    public_key (bytes): The 1216-byte public key.\n\n"
    "Raises:\n"
    "    InvalidParameterError: The key is not 1216 bytes, or its ML-KEM part\n"
    "        fails the modulus check.";

PyObject* pub_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_new(kPubNew, args, kwargs, in)) return nullptr;
    const core::ByteView pk = in.bytes(0);  // the call holds the bytes object
    auto key = [&] {
      ReleaseGil nogil;
      return core::XWingEncapsulationKey::from_bytes(pk);
    }();
    if (!key.ok()) return raise_core_error(key.error());
    return wrap_public(std::move(key).value());
  });
}

constexpr Param kEncapsParams[] = {{"eseed", Kind::Object, true}};
constexpr Signature kEncaps{"PublicKey.encapsulate()", kEncapsParams};

PyObject* pub_encapsulate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kEncaps, args, nargs, kwnames, in)) return nullptr;
    std::optional<core::ByteView> eseed;
    if (!pq::optional_bytes(in.object(0), "eseed", eseed)) return nullptr;
    const core::XWingEncapsulationKey& key = pub_of(self);
    auto result = [&] {
      ReleaseGil nogil;
      return eseed ? key.encapsulate_deterministic(*eseed) : key.encapsulate();
    }();
    if (!result.ok()) return raise_core_error(result.error());
    return make_tuple(
        {make_bytes(result.value().capsule), make_bytes(result.value().shared_secret.view())});
  });
}

// Pickled as the call that rebuilds it, PublicKey(public_key).
PyObject* pub_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    PyObject* type = public_key_type();
    if (type == nullptr) return nullptr;
    Py_INCREF(type);
    return make_tuple({type, make_tuple({make_bytes(pub_of(self).bytes())})});
  });
}

PyObject* pub_get_public_key(PyObject* self, void*) {
  return guarded([&] { return make_bytes(pub_of(self).bytes()); });
}
PyObject* pub_repr(PyObject* self) {
  return guarded([&] { return fingerprint_repr("PublicKey", pub_of(self).bytes()); });
}

// ---------------------------------------------------------------- PrivateKey

constexpr Param kPrivNewParams[] = {{"private_key", Kind::Bytes}};
constexpr Signature kPrivNew{"PrivateKey()", kPrivNewParams};
constexpr char kPrivDoc[] =
    "PrivateKey(private_key)\n--\n\n"
    "An X-Wing private key (the 32-byte seed), expanded once.\n\n"
    "The seed is expanded when the object is made into the ML-KEM-768\n"
    "decapsulation key, the X25519 scalar and the public key; every\n"
    "decapsulation starts from them. The results are those of\n"
    "tarnel.xwing.decapsulate(ciphertext, private_key). The secret parts are\n"
    "wiped when the object is freed; the object never changes, may be shared\n"
    "by threads and is never pickled.\n\n"
    "Args:\n"
    "    private_key (bytes): The 32-byte seed.\n\n"
    "Raises:\n"
    "    InvalidParameterError: The seed is not 32 bytes.";

PyObject* priv_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_new(kPrivNew, args, kwargs, in)) return nullptr;
    const core::ByteView seed = in.bytes(0);
    auto key = [&] {
      ReleaseGil nogil;
      return core::XWingDecapsulationKey::from_seed(seed);
    }();
    if (!key.ok()) return raise_core_error(key.error());
    return pq::wrap_key(private_key_type(), std::move(key).value());
  });
}

constexpr Param kDecapsParams[] = {{"ciphertext", Kind::Bytes}};
constexpr Signature kDecaps{"PrivateKey.decapsulate()", kDecapsParams};

PyObject* priv_decapsulate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kDecaps, args, nargs, kwnames, in)) return nullptr;
    const core::ByteView ct = in.bytes(0);
    const core::XWingDecapsulationKey& key = priv_of(self);
    auto shared = [&] {
      ReleaseGil nogil;
      return key.decapsulate(ct);
    }();
    if (!shared.ok()) return raise_core_error(shared.error());
    return make_bytes(shared.value().view());
  });
}

// A private key is not pickled: that would write the seed out.
PyObject* priv_reduce(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot pickle 'tarnel.xwing.PrivateKey' object");
  return nullptr;
}

PyObject* priv_private_bytes(PyObject* self, PyObject*) {
  return guarded([&] { return make_bytes(priv_of(self).seed()); });
}
PyObject* priv_get_public_key(PyObject* self, void*) {
  return guarded([&] { return make_bytes(priv_of(self).public_key().bytes()); });
}
PyObject* priv_get_encapsulation_key(PyObject* self, void*) {
  return guarded([&] { return wrap_public(priv_of(self).public_key()); });
}
PyObject* priv_repr(PyObject* self) {
  return guarded(
      [&] { return fingerprint_repr("PrivateKey", priv_of(self).public_key().bytes()); });
}

// ---------------------------------------------------------------- type objects

PyObject* public_key_type() {
  static OnceCell cell;
  return cell.get([]() -> PyObject* {
    static PyGetSetDef getset[] = {
        {"public_key", &pub_get_public_key, nullptr, "The 1216-byte public key.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        {"encapsulate", fastcall_keywords(&pub_encapsulate), METH_FASTCALL | METH_KEYWORDS,
         "encapsulate($self, /, eseed=None)\n--\n\n"
         "X-Wing's Encapsulate: (ciphertext, shared_secret), 1120 and 32 bytes.\n"
         "eseed (64 bytes: ML-KEM's m, then the X25519 ephemeral scalar) makes\n"
         "it deterministic, for known-answer tests only; without it the\n"
         "randomness comes from the operating system.\n\n"
         "Raises:\n"
         "    InvalidParameterError: eseed is not 64 bytes.\n"
         "    RngError: The operating system's random source failed."},
        {"__reduce__", &pub_reduce, METH_NOARGS, nullptr},
        {"__copy__", &pq::return_self, METH_NOARGS, nullptr},
        {"__deepcopy__", &pq::return_self, METH_O, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kPubDoc)},
        {Py_tp_new, reinterpret_cast<void*>(&pub_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&pq::key_dealloc<PublicKey>)},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {Py_tp_repr, reinterpret_cast<void*>(&pub_repr)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"tarnel.xwing.PublicKey",
                               static_cast<int>(sizeof(pq::KeyObject<PublicKey>)), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    return PyType_FromSpec(&spec);
  });
}

PyObject* private_key_type() {
  static OnceCell cell;
  return cell.get([]() -> PyObject* {
    static PyGetSetDef getset[] = {
        {"public_key", &priv_get_public_key, nullptr, "The 1216-byte public key, as bytes.",
         nullptr},
        {"encapsulation_key", &priv_get_encapsulation_key, nullptr,
         "The public key as a tarnel.xwing.PublicKey that shares this key's\n"
         "expansion.",
         nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        {"decapsulate", fastcall_keywords(&priv_decapsulate), METH_FASTCALL | METH_KEYWORDS,
         "decapsulate($self, /, ciphertext)\n--\n\n"
         "X-Wing's Decapsulate: the 32-byte shared secret. A ciphertext whose\n"
         "ML-KEM part is altered yields a different secret (implicit\n"
         "rejection).\n\n"
         "Raises:\n"
         "    InvalidParameterError: The ciphertext is not 1120 bytes.\n"
         "    DecapsulationError: Its X25519 part is of small order."},
        {"private_bytes", &priv_private_bytes, METH_NOARGS,
         "private_bytes($self, /)\n--\n\n"
         "The 32-byte seed: the private key itself. Keep it secret."},
        {"__reduce__", &priv_reduce, METH_NOARGS, nullptr},
        {"__copy__", &pq::return_self, METH_NOARGS, nullptr},
        {"__deepcopy__", &pq::return_self, METH_O, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kPrivDoc)},
        {Py_tp_new, reinterpret_cast<void*>(&priv_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&pq::key_dealloc<PrivateKey>)},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {Py_tp_repr, reinterpret_cast<void*>(&priv_repr)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"tarnel.xwing.PrivateKey",
                               static_cast<int>(sizeof(pq::KeyObject<PrivateKey>)), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    return PyType_FromSpec(&spec);
  });
}

// ---------------------------------------------------------------- wrapped seed

constexpr Param kWrapParams[] = {{"seed", Kind::Bytes}, {"password", Kind::Bytes}};
constexpr Signature kWrap{"xwing_wrap_seed()", kWrapParams};
constexpr Param kUnwrapParams[] = {{"blob", Kind::Bytes}, {"password", Kind::Bytes}};
constexpr Signature kUnwrap{"xwing_unwrap_seed()", kUnwrapParams};

PyObject* py_wrap_seed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kWrap, args, nargs, kwnames, in)) return nullptr;
    const core::ByteView seed = in.bytes(0), password = in.bytes(1);
    auto blob = [&] {
      ReleaseGil nogil;
      return core::xwing_wrap_seed(seed, password);
    }();
    if (!blob.ok()) return raise_core_error(blob.error());
    return make_bytes(blob.value());
  });
}

PyObject* py_unwrap_seed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kUnwrap, args, nargs, kwnames, in)) return nullptr;
    const core::ByteView blob = in.bytes(0), password = in.bytes(1);
    auto seed = [&] {
      ReleaseGil nogil;
      return core::xwing_unwrap_seed(blob, password);
    }();
    if (!seed.ok()) return raise_core_error(seed.error());
    return make_bytes(seed.value().view());
  });
}

PyMethodDef kWrapMethods[] = {
    {"xwing_wrap_seed", fastcall_keywords(&py_wrap_seed), METH_FASTCALL | METH_KEYWORDS,
     "xwing_wrap_seed(seed, password)\n--\n\n"
     "The 82-byte wrapped form of a 32-byte X-Wing seed under `password`:\n"
     "HKDF-SHA3-256 of the password and a random salt keys AES-256-GCM, with\n"
     "the six header bytes as associated data."},
    {"xwing_unwrap_seed", fastcall_keywords(&py_unwrap_seed), METH_FASTCALL | METH_KEYWORDS,
     "xwing_unwrap_seed(blob, password)\n--\n\n"
     "The 32-byte seed of a wrapped X-Wing key. KeySerializationError for a\n"
     "blob of another length or header; DecryptionError for a wrong password\n"
     "or a damaged blob."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const core::XWingEncapsulationKey* xwing_public_key_of(PyObject* obj) {
  PyObject* type = public_key_type();
  if (type == nullptr || !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type)))
    return nullptr;
  return &pq::key_of<PublicKey>(obj);
}

const core::XWingDecapsulationKey* xwing_private_key_of(PyObject* obj) {
  PyObject* type = private_key_type();
  if (type == nullptr || !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type)))
    return nullptr;
  return &pq::key_of<PrivateKey>(obj);
}

int add_xwing_key_objects(PyObject* module) {
  return guarded([&]() -> int {
    if (pq::add_object(module, "XWingPublicKey", public_key_type()) < 0) return -1;
    if (pq::add_object(module, "XWingPrivateKey", private_key_type()) < 0) return -1;
    return pq::add_functions(module, kWrapMethods);
  });
}

}  // namespace pyext
