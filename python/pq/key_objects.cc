// tarnel.EncapsulationKey and tarnel.DecapsulationKey: ML-KEM keys checked
// and expanded once (core/kem_key.h), for many encapsulations or
// decapsulations with one key. The objects never change after they are
// made and have no settable attributes, so one object may be shared by many
// threads; the interpreter lock is released around the check and expansion
// and around every operation.
#include <array>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "core/common/hash.h"
#include "core/kem_key.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/error.h"
#include "python/pq/parts.h"
#include "python/runtime.h"
#include "python/types.h"

namespace pyext {
namespace {

struct EncapsulationKeyObject {
  PyObject_HEAD
  core::EncapsulationKey key;  // built in place once the key has been checked
};

struct DecapsulationKeyObject {
  PyObject_HEAD
  core::DecapsulationKey key;  // its secret parts wipe themselves when freed
};

EncapsulationKeyObject* as_ek(PyObject* self) {
  return reinterpret_cast<EncapsulationKeyObject*>(self);
}
DecapsulationKeyObject* as_dk(PyObject* self) {
  return reinterpret_cast<DecapsulationKeyObject*>(self);
}

PyObject* encapsulation_key_type();
PyObject* decapsulation_key_type();

// bind_key_args binds a constructor's (args, kwargs) to `sig`, whose second
// parameter is an optional level: an explicit None counts as left out.
// `level` is then nullopt (the level follows from the key's length).
// Returns false with the binder's exception set.
bool bind_key_args(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& out,
                   std::optional<core::Level>& level) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  std::vector<PyObject*> stack;
  for (Py_ssize_t i = 0; i < nargs; ++i) stack.push_back(PyTuple_GetItem(args, i));
  PyRef kwnames;
  if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
    kwnames = PyRef(PyTuple_New(PyDict_Size(kwargs)));
    if (!kwnames) return false;
    PyObject *key, *value;
    Py_ssize_t pos = 0, i = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SetItem(kwnames.get(), i++, key);  // steals the new reference
      stack.push_back(value);
    }
  }
  BoundObjects bound{};
  if (!match_args(sig, stack.data(), nargs, kwnames.get(), bound)) return false;
  if (bound[1] == Py_None) bound[1] = nullptr;
  const bool given = bound[1] != nullptr;
  if (!convert_args(sig, bound, out)) return false;
  level = given ? std::optional<core::Level>(out.level(1)) : std::nullopt;
  return true;
}

// fingerprint_repr builds "{name}(level=ML_KEM_768, fp=0123456789abcdef)":
// the first 8 bytes of SHA3-256 of the public key, as lowercase hex.
PyObject* fingerprint_repr(const char* name, core::Level level, core::ByteView public_key) {
  std::array<uint8_t, 32> digest;
  core::sha3_256(digest, {public_key});
  static constexpr char kHex[] = "0123456789abcdef";
  char fp[17];
  for (size_t i = 0; i < 8; ++i) {
    fp[2 * i] = kHex[digest[i] >> 4];
    fp[2 * i + 1] = kHex[digest[i] & 15];
  }
  fp[16] = '\0';
  return PyUnicode_FromFormat("%s(level=%s, fp=%s)", name, core::params(level).name, fp);
}

// new_instance allocates an object of `type` (one of the two types here).
PyObject* new_instance(PyObject* type) {
  auto* t = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(t, Py_tp_alloc));
  return alloc(t, 0);
}

PyObject* wrap_encapsulation_key(core::EncapsulationKey&& key) {
  PyObject* type = encapsulation_key_type();
  if (type == nullptr) return nullptr;
  PyObject* obj = new_instance(type);
  if (obj == nullptr) return nullptr;
  new (&as_ek(obj)->key) core::EncapsulationKey(std::move(key));
  return obj;
}

// Frees the object; the key is destroyed first (for a decapsulation key that
// wipes s_hat and z).
template <class Object>
void key_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<Object*>(self)->key);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// Immutable objects: a copy is the object itself.
PyObject* return_self(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
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
    const core::EncapsulationKey& key = as_ek(self)->key;
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
    const core::EncapsulationKey& key = as_ek(self)->key;
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
    const core::EncapsulationKey& key = as_ek(self)->key;
    PyObject* type = encapsulation_key_type();
    if (type == nullptr) return nullptr;
    Py_INCREF(type);
    return make_tuple({type, make_tuple({make_bytes(key.bytes())})});
  });
}

PyObject* ek_get_public_key(PyObject* self, void*) {
  return guarded([&] { return make_bytes(as_ek(self)->key.bytes()); });
}
PyObject* ek_get_level(PyObject* self, void*) {
  return guarded([&] { return level_object(as_ek(self)->key.level()); });
}
PyObject* ek_repr(PyObject* self) {
  return guarded([&] {
    const core::EncapsulationKey& key = as_ek(self)->key;
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
    PyObject* type = decapsulation_key_type();
    if (type == nullptr) return nullptr;
    PyObject* obj = new_instance(type);
    if (obj == nullptr) return nullptr;
    new (&as_dk(obj)->key) core::DecapsulationKey(std::move(key).value());
    return obj;
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
    const core::DecapsulationKey& key = as_dk(self)->key;
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
  return guarded([&] { return make_bytes(as_dk(self)->key.encapsulation_key().bytes()); });
}
PyObject* dk_get_encapsulation_key(PyObject* self, void*) {
  return guarded([&] { return wrap_encapsulation_key(as_dk(self)->key.encapsulation_key()); });
}
PyObject* dk_get_level(PyObject* self, void*) {
  return guarded([&] { return level_object(as_dk(self)->key.level()); });
}
PyObject* dk_repr(PyObject* self) {
  return guarded([&] {
    const core::EncapsulationKey ek = as_dk(self)->key.encapsulation_key();
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
        {"__copy__", &return_self, METH_NOARGS, nullptr},
        {"__deepcopy__", &return_self, METH_O, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kEkDoc)},
        {Py_tp_new, reinterpret_cast<void*>(&ek_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&key_dealloc<EncapsulationKeyObject>)},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {Py_tp_repr, reinterpret_cast<void*>(&ek_repr)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"tarnel.EncapsulationKey",
                               static_cast<int>(sizeof(EncapsulationKeyObject)), 0,
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
        {"__copy__", &return_self, METH_NOARGS, nullptr},
        {"__deepcopy__", &return_self, METH_O, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kDkDoc)},
        {Py_tp_new, reinterpret_cast<void*>(&dk_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&key_dealloc<DecapsulationKeyObject>)},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {Py_tp_repr, reinterpret_cast<void*>(&dk_repr)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"tarnel.DecapsulationKey",
                               static_cast<int>(sizeof(DecapsulationKeyObject)), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    return PyType_FromSpec(&spec);
  });
}

// add_to_module sets module.{name} = obj and appends name to __all__.
bool add_to_module(PyObject* module, const char* name, PyObject* obj) {
  if (obj == nullptr) return false;
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  PyRef text(PyUnicode_FromString(name));
  if (!all || !text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, obj) == 0;
}

}  // namespace

int add_key_objects(PyObject* module) {
  return guarded([&]() -> int {
    if (!add_to_module(module, "EncapsulationKey", encapsulation_key_type())) return -1;
    if (!add_to_module(module, "DecapsulationKey", decapsulation_key_type())) return -1;
    return 0;
  });
}

}  // namespace pyext
