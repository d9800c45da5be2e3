// tarnel.EncapsulationKey and tarnel.DecapsulationKey: ML-KEM keys checked
// and expanded once (core/kem_key.h), for many encapsulations or
// decapsulations with one key. The objects never change after they are
// made and have no settable attributes, so one object may be shared by many
// threads; the interpreter lock is released around the check and expansion
// and around every operation.
#include <optional>
#include <utility>
#include <vector>

#include "core/kem_key.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/error.h"
#include "python/pq/parts.h"
#include "python/pq/support.h"
#include "python/runtime.h"
#include "python/types.h"

namespace pyext {
namespace {

// A decapsulation key's secret parts (s_hat, z) wipe themselves when the
// object is freed.
const core::EncapsulationKey& ek_of(PyObject* self) { return pq::key_of<core::EncapsulationKey>(self); }
const core::DecapsulationKey& dk_of(PyObject* self) { return pq::key_of<core::DecapsulationKey>(self); }

PyObject* encapsulation_key_type();
PyObject* decapsulation_key_type();

// bind_key_args binds a constructor's (args, kwargs) to `sig`, whose second
// parameter is an optional level: an explicit None counts as left out.
// `level` is then nullopt (the level follows from the key's length).
// Returns false with the binder's exception set.
bool bind_key_args(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& out,
                   std::optional<core::Level>& level) {
  pq::CallArgs call;
  if (!pq::call_args(args, kwargs, call)) return false;
  BoundObjects bound{};
  if (!match_args(sig, call.stack.data(), call.nargs, call.kwnames.get(), bound)) return false;
  if (bound[1] == Py_None) bound[1] = nullptr;
  const bool given = bound[1] != nullptr;
  if (!convert_args(sig, bound, out)) return false;
  level = given ? std::optional<core::Level>(out.level(1)) : std::nullopt;
  return true;
}

// fingerprint_repr builds "{name}(level=ML_KEM_768, fp=0123456789abcdef)":
// the first 8 bytes of SHA3-256 of the public key, as lowercase hex.
PyObject* fingerprint_repr(const char* name, core::Level level, core::ByteView public_key) {
  return PyUnicode_FromFormat("%s(level=%s, fp=%s)", name, core::params(level).name,
                              pq::short_fingerprint(public_key).data());
}

PyObject* wrap_encapsulation_key(core::EncapsulationKey&& key) {
  return pq::wrap_key(encapsulation_key_type(), std::move(key));
}

// ---------------------------------------------------------------- EncapsulationKey

constexpr Param kEkNewParams[] = {{"public_key", Kind::Bytes}, {"level", Kind::Level, true}};
constexpr Signature kEkNew{"EncapsulationKey()", kEkNewParams};
constexpr char kEkDoc[] =
    "EncapsulationKey(public_key, level=None)\n--\n\n"
    "An ML-KEM encapsulation key, checked and expanded once (FIPS 203).\n\n"
    "Every encapsulation with the object reuses the expansion (the matrix A,\n"
    "t and H(ek)), so a key used many times costs its expansion once. The\n"
    "results are those of encapsulate(public_key, level) on the same\n"
    "randomness. The object never changes and may be shared by threads.\n\n"
    "Args:\n"
    "    public_key (bytes): The encapsulation key.\n"
    "    level (SecurityLevel | None): Its parameter set; None takes the one\n"
    "        whose keys have public_key's length.\n\n"
    "Raises:\n"
    "    InvalidParameterError: The key has the wrong length, or fails the\n"
    "        modulus check of FIPS 203, Section 7.2.";

PyObject* ek_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Bound in;
    std::optional<core::Level> level;
    if (!bind_key_args(kEkNew, args, kwargs, in, level)) return nullptr;
    const core::ByteView ek = in.bytes(0);  // the call holds the bytes object
    auto key = [&] {
      ReleaseGil nogil;
      return core::EncapsulationKey::from_bytes(ek, level);
    }();
    if (!key.ok()) return raise_core_error(key.error());
    return wrap_encapsulation_key(std::move(key).value());
  });
}

PyObject* ek_encapsulate(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const core::EncapsulationKey& key = ek_of(self);
    auto result = [&] {
      ReleaseGil nogil;
      return key.encapsulate();
    }();
    if (!result.ok()) return raise_core_error(result.error());
    return make_tuple({make_bytes(core::view(result.value().capsule)),
                       make_bytes(result.value().shared_secret.view())});
  });
}

constexpr Param kEkDetParams[] = {{"m", Kind::Bytes}};
constexpr Signature kEkDet{"EncapsulationKey.encapsulate_deterministic()", kEkDetParams};

PyObject* ek_encapsulate_deterministic(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kEkDet, args, nargs, kwnames, in)) return nullptr;
    if (in.bytes(0).size() != 32) {
      // The text of encapsulate_deterministic().
      PyErr_SetString(PyExc_ValueError, "El mensaje 'm' debe tener exactamente 32 bytes");
      return nullptr;
    }
    const core::Secret<32> m(in.bytes(0).first<32>());
    const core::EncapsulationKey& key = ek_of(self);
    auto result = [&] {
      ReleaseGil nogil;
      return key.encapsulate_deterministic(m.span());
    }();
    if (!result.ok()) return raise_core_error(result.error());
    const core::DeterministicEncapsulationResult& r = result.value();
    return make_tuple({make_bytes(core::view(r.capsule)), make_bytes(r.shared_secret.view()),
                       make_bytes(r.m.view())});
  });
}

// Pickled as the call that rebuilds it, EncapsulationKey(public_key): the
// length gives the level (SecurityLevel itself is not pickled).
PyObject* ek_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const core::EncapsulationKey& key = ek_of(self);
    PyObject* type = encapsulation_key_type();
    if (type == nullptr) return nullptr;
    Py_INCREF(type);
    return make_tuple({type, make_tuple({make_bytes(key.bytes())})});
  });
}

PyObject* ek_get_public_key(PyObject* self, void*) {
  return guarded([&] { return make_bytes(ek_of(self).bytes()); });
}
PyObject* ek_get_level(PyObject* self, void*) {
  return guarded([&] { return level_object(ek_of(self).level()); });
}
PyObject* ek_repr(PyObject* self) {
  return guarded([&] {
    const core::EncapsulationKey& key = ek_of(self);
    return fingerprint_repr("EncapsulationKey", key.level(), key.bytes());
  });
}

// ---------------------------------------------------------------- DecapsulationKey

constexpr Param kDkNewParams[] = {{"secret_key", Kind::Bytes}, {"level", Kind::Level, true}};
constexpr Signature kDkNew{"DecapsulationKey()", kDkNewParams};
constexpr char kDkDoc[] =
    "DecapsulationKey(secret_key, level=None)\n--\n\n"
    "An ML-KEM decapsulation key, checked and expanded once (FIPS 203).\n\n"
    "Every decapsulation with the object reuses the decoded secret vector\n"
    "and the expanded encapsulation key inside it. The results are those of\n"
    "decapsulate(capsule, secret_key, level), implicit rejection included.\n"
    "The secret parts are wiped when the object is freed; the object never\n"
    "changes and may be shared by threads.\n\n"
    "Args:\n"
    "    secret_key (bytes): The decapsulation key (FIPS 203 layout).\n"
    "    level (SecurityLevel | None): Its parameter set; None takes the one\n"
    "        whose keys have secret_key's length.\n\n"
    "Raises:\n"
    "    InvalidParameterError: The key has the wrong length, its stored\n"
    "        hash of the encapsulation key is wrong (FIPS 203, Section 7.3),\n"
    "        or the encapsulation key inside fails the modulus check.";

PyObject* dk_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Bound in;
    std::optional<core::Level> level;
    if (!bind_key_args(kDkNew, args, kwargs, in, level)) return nullptr;
    const core::ByteView dk = in.bytes(0);
    auto key = [&] {
      ReleaseGil nogil;
      return core::DecapsulationKey::from_bytes(dk, level);
    }();
    if (!key.ok()) return raise_core_error(key.error());
    return pq::wrap_key(decapsulation_key_type(), std::move(key).value());
  });
}

constexpr Param kDkDecapsParams[] = {{"ciphertext", Kind::Bytes}};
constexpr Signature kDkDecaps{"DecapsulationKey.decapsulate()", kDkDecapsParams};

PyObject* dk_decapsulate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kDkDecaps, args, nargs, kwnames, in)) return nullptr;
    const core::ByteView capsule = in.bytes(0);
    const core::DecapsulationKey& key = dk_of(self);
    auto shared = [&] {
      ReleaseGil nogil;
      return key.decapsulate(capsule);
    }();
    if (!shared.ok()) return raise_core_error(shared.error());
    return make_bytes(shared.value().view());
  });
}

// A decapsulation key is not pickled: that would write the secret key out.
PyObject* dk_reduce(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot pickle 'DecapsulationKey' object");
  return nullptr;
}

PyObject* dk_get_public_key(PyObject* self, void*) {
  return guarded([&] { return make_bytes(dk_of(self).encapsulation_key().bytes()); });
}
PyObject* dk_get_encapsulation_key(PyObject* self, void*) {
  return guarded([&] { return wrap_encapsulation_key(dk_of(self).encapsulation_key()); });
}
PyObject* dk_get_level(PyObject* self, void*) {
  return guarded([&] { return level_object(dk_of(self).level()); });
}
PyObject* dk_repr(PyObject* self) {
  return guarded([&] {
    const core::EncapsulationKey ek = dk_of(self).encapsulation_key();
    return fingerprint_repr("DecapsulationKey", ek.level(), ek.bytes());
  });
}

// ---------------------------------------------------------------- type objects

PyObject* encapsulation_key_type() {
  static OnceCell cell;
  return cell.get([]() -> PyObject* {
    static PyGetSetDef getset[] = {
        {"public_key", &ek_get_public_key, nullptr, "The encapsulation key as bytes.", nullptr},
        {"level", &ek_get_level, nullptr, "The key's SecurityLevel.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        {"encapsulate", &ek_encapsulate, METH_NOARGS,
         "encapsulate($self, /)\n--\n\n"
         "ML-KEM.Encaps (FIPS 203, Algorithm 20) with fresh randomness from the\n"
         "operating system: (ciphertext, shared_secret), as encapsulate() returns.\n\n"
         "Raises:\n"
         "    RngError: The operating system's random source failed."},
        {"encapsulate_deterministic", fastcall_keywords(&ek_encapsulate_deterministic),
         METH_FASTCALL | METH_KEYWORDS,
         "encapsulate_deterministic($self, /, m)\n--\n\n"
         "ML-KEM.Encaps_internal (FIPS 203, Algorithm 17) with the given 32-byte m,\n"
         "for known-answer tests only: (ciphertext, shared_secret, m), as\n"
         "encapsulate_deterministic() returns.\n\n"
         "Raises:\n"
         "    ValueError: m is not 32 bytes."},
        {"__reduce__", &ek_reduce, METH_NOARGS, nullptr},
        {"__copy__", &pq::return_self, METH_NOARGS, nullptr},
        {"__deepcopy__", &pq::return_self, METH_O, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kEkDoc)},
        {Py_tp_new, reinterpret_cast<void*>(&ek_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&pq::key_dealloc<core::EncapsulationKey>)},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {Py_tp_repr, reinterpret_cast<void*>(&ek_repr)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"tarnel.EncapsulationKey",
                               static_cast<int>(sizeof(pq::KeyObject<core::EncapsulationKey>)), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    return PyType_FromSpec(&spec);
  });
}

PyObject* decapsulation_key_type() {
  static OnceCell cell;
  return cell.get([]() -> PyObject* {
    static PyGetSetDef getset[] = {
        {"public_key", &dk_get_public_key, nullptr,
         "The encapsulation key inside the decapsulation key, as bytes.", nullptr},
        {"encapsulation_key", &dk_get_encapsulation_key, nullptr,
         "The encapsulation key inside, as an EncapsulationKey that shares this\n"
         "key's expansion.",
         nullptr},
        {"level", &dk_get_level, nullptr, "The key's SecurityLevel.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        {"decapsulate", fastcall_keywords(&dk_decapsulate), METH_FASTCALL | METH_KEYWORDS,
         "decapsulate($self, /, ciphertext)\n--\n\n"
         "ML-KEM.Decaps (FIPS 203, Algorithm 21): the 32-byte shared secret. A\n"
         "ciphertext of the right length never fails: a damaged one yields the\n"
         "implicit-rejection key, chosen without branching on secret data.\n\n"
         "Raises:\n"
         "    InvalidParameterError: The ciphertext has the wrong length."},
        {"__reduce__", &dk_reduce, METH_NOARGS, nullptr},
        {"__copy__", &pq::return_self, METH_NOARGS, nullptr},
        {"__deepcopy__", &pq::return_self, METH_O, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kDkDoc)},
        {Py_tp_new, reinterpret_cast<void*>(&dk_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&pq::key_dealloc<core::DecapsulationKey>)},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {Py_tp_repr, reinterpret_cast<void*>(&dk_repr)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"tarnel.DecapsulationKey",
                               static_cast<int>(sizeof(pq::KeyObject<core::DecapsulationKey>)), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    return PyType_FromSpec(&spec);
  });
}

}  // namespace

int add_key_objects(PyObject* module) {
  return guarded([&]() -> int {
    if (pq::add_object(module, "EncapsulationKey", encapsulation_key_type()) < 0) return -1;
    if (pq::add_object(module, "DecapsulationKey", decapsulation_key_type()) < 0) return -1;
    return 0;
  });
}

}  // namespace pyext
