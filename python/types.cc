#include "python/types.h"

#include <array>
#include <memory>
#include <new>
#include <utility>

#include "core/common/hash.h"
#include "python/bindings.h"
#include "python/runtime.h"

namespace pyext {
namespace {

// ---------------------------------------------------------------- SecurityLevel

struct LevelObject {
  PyObject_HEAD
  uint16_t value;  // 512, 768 or 1024; never changes
};

size_t level_index(uint16_t value) { return static_cast<size_t>(core::level_from_value(value)); }

PyObject* level_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const uint16_t value = reinterpret_cast<LevelObject*>(self)->value;
    return PyUnicode_FromFormat("SecurityLevel.%s", core::kParams[level_index(value)].name);
  });
}

PyObject* level_int(PyObject* self) {
  return PyLong_FromLong(reinterpret_cast<LevelObject*>(self)->value);
}

// Equality compares numeric values: another level directly, anything else
// through PyLong_AsLong (a failed conversion gives NotImplemented). Ordering
// is not defined.
PyObject* level_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  const long mine = reinterpret_cast<LevelObject*>(self)->value;
  long theirs;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  if (PyObject_TypeCheck(other, reinterpret_cast<PyTypeObject*>(type))) {
    theirs = reinterpret_cast<LevelObject*>(other)->value;
  } else {
    theirs = PyLong_AsLong(other);
    if (theirs == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      Py_RETURN_NOTIMPLEMENTED;
    }
  }
  const bool equal = mine == theirs;
  if (equal == (op == Py_EQ)) Py_RETURN_TRUE;
  Py_RETURN_FALSE;
}

OnceCell& level_cell(size_t index) {
  static std::array<OnceCell, 3> cells;
  return cells[index];
}

// level_singleton returns the shared object of `index` (borrowed), creating
// it from `type` on first use.
PyObject* level_singleton(PyObject* type, size_t index) {
  return level_cell(index).get([&]() -> PyObject* {
    auto alloc = reinterpret_cast<allocfunc>(
        PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
    PyObject* obj = alloc(reinterpret_cast<PyTypeObject*>(type), 0);
    if (obj == nullptr) return nullptr;
    reinterpret_cast<LevelObject*>(obj)->value = core::kParams[index].value;
    return obj;
  });
}

// ---------------------------------------------------------------- KeyPair

struct KeyPairObject {
  PyObject_HEAD
  core::Bytes public_key;  // encapsulation key
  core::SecretBytes secret_key;  // decapsulation key, wiped when freed
  core::Level level;
};

KeyPairObject* as_keypair(PyObject* self) { return reinterpret_cast<KeyPairObject*>(self); }

// Frees both buffers and the object; the secret key's buffer wipes itself, so
// no decapsulation key is left behind in freed memory.
void keypair_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  KeyPairObject* kp = as_keypair(self);
  kp->public_key.~vector();
  std::destroy_at(&kp->secret_key);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* keypair_get_public_key(PyObject* self, void*) {
  return guarded([&] { return make_bytes(core::view(as_keypair(self)->public_key)); });
}
PyObject* keypair_get_secret_key(PyObject* self, void*) {
  return guarded([&] { return make_bytes(core::view(as_keypair(self)->secret_key)); });
}
PyObject* keypair_get_level(PyObject* self, void*) {
  return guarded([&] { return level_object(as_keypair(self)->level); });
}

// "KeyPair(level=MlKem768, fp=0123456789abcdef)": the fingerprint is the
// first 8 bytes of SHA3-256 of the public key, as lowercase hex.
PyObject* keypair_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const KeyPairObject* kp = as_keypair(self);
    std::array<uint8_t, 32> digest;
    core::sha3_256(digest, {core::view(kp->public_key)});
    static constexpr char kHex[] = "0123456789abcdef";
    char fp[17];
    for (size_t i = 0; i < 8; ++i) {
      fp[2 * i] = kHex[digest[i] >> 4];
      fp[2 * i + 1] = kHex[digest[i] & 15];
    }
    fp[16] = '\0';
    static constexpr std::array<const char*, 3> kShortNames{"MlKem512", "MlKem768",
                                                            "MlKem1024"};
    return PyUnicode_FromFormat("KeyPair(level=%s, fp=%s)",
                                kShortNames[static_cast<size_t>(kp->level)], fp);
  });
}

}  // namespace

// ---------------------------------------------------------------- type objects

PyObject* security_level_type() {
  static OnceCell cell;
  return cell.get([]() -> PyObject* {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(
                        "Nivel de seguridad ML-KEM.\n\n"
                        "Los nombres de los atributos siguen la convencion UPPER_CASE de "
                        "Python.")},
        {Py_tp_repr, reinterpret_cast<void*>(&level_repr)},
        {Py_nb_int, reinterpret_cast<void*>(&level_int)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&level_richcompare)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "builtins.SecurityLevel", static_cast<int>(sizeof(LevelObject)), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    PyRef type(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    for (size_t i = 0; i < core::kParams.size(); ++i) {
      PyObject* level = level_singleton(type.get(), i);
      if (level == nullptr) return nullptr;
      if (PyObject_SetAttrString(type.get(), core::kParams[i].name, level) < 0) return nullptr;
    }
    return type.release();
  });
}

PyObject* keypair_type() {
  static OnceCell cell;
  return cell.get([]() -> PyObject* {
    static PyGetSetDef getset[] = {
        {"public_key", &keypair_get_public_key, nullptr, "Clave publica como bytes.", nullptr},
        {"secret_key", &keypair_get_secret_key, nullptr, "Clave secreta como bytes.", nullptr},
        {"level", &keypair_get_level, nullptr,
         "Nivel de seguridad con el que se genero el par.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    // The export methods (key_io_bindings.cc), in this order: public_key_b64,
    // public_key_pem, public_key_json, export_secret_key_raw, export_secret_key_pem.
    static PyMethodDef methods[] = {
        kKeyPairPublicKeyB64Def,
        kKeyPairPublicKeyPemDef,
        kKeyPairPublicKeyJsonDef,
        kKeyPairExportSecretKeyRawDef,
        kKeyPairExportSecretKeyPemDef,
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Par de claves ML-KEM.\n\n"
                                      "Contiene la clave publica y la clave secreta como "
                                      "`bytes` de Python.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(&keypair_dealloc)},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {Py_tp_repr, reinterpret_cast<void*>(&keypair_repr)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "builtins.KeyPair", static_cast<int>(sizeof(KeyPairObject)), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return PyType_FromSpec(&spec);
  });
}

// ---------------------------------------------------------------- helpers

uint16_t level_value_of(PyObject* level) noexcept {
  return reinterpret_cast<LevelObject*>(level)->value;
}

PyObject* level_object(core::Level level) {
  PyObject* type = security_level_type();
  if (type == nullptr) return nullptr;
  PyObject* obj = level_singleton(type, static_cast<size_t>(level));
  Py_XINCREF(obj);
  return obj;
}

PyObject* make_keypair(core::KeyPairBytes&& keys, core::Level level) {
  PyObject* type = keypair_type();
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(
      PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
  PyObject* obj = alloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (obj == nullptr) return nullptr;
  KeyPairObject* kp = as_keypair(obj);
  new (&kp->public_key) core::Bytes(std::move(keys.ek));
  new (&kp->secret_key) core::SecretBytes(std::move(keys.dk));
  kp->level = level;
  return obj;
}

KeyPairView keypair_view(PyObject* keypair) noexcept {
  const KeyPairObject* kp = as_keypair(keypair);
  return {core::view(kp->public_key), core::view(kp->secret_key), kp->level};
}

}  // namespace pyext
