// HPKE (RFC 9180, base mode; draft-ietf-hpke-pq) for Python: key objects
// checked and expanded once, and encryption contexts. The work runs with the
// interpreter lock released; a context takes its own lock around each use,
// so threads sharing one context take turns and sequence numbers stay exact.
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "core/hpke/hpke.h"
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

namespace hpke = core::hpke;

// raise_hpke_error converts a core error; a failed open gets a text that
// names HPKE rather than one cipher.
PyObject* raise_hpke_error(const core::Error& e) {
  if (e.kind == core::ErrorKind::Decryption)
    return raise_exception(Exc::DecryptionError,
                           "HPKE open failed: the ciphertext, its associated data, the key "
                           "or the message order is wrong");
  return raise_core_error(e);
}

// ---------------------------------------------------------------- types

// A private key's secret parts wipe themselves when the object is freed.
using PublicKeyObject = pq::KeyObject<hpke::PublicKey>;
using PrivateKeyObject = pq::KeyObject<hpke::PrivateKey>;
struct ContextObject {
  PyObject_HEAD
  hpke::Context* context;  // owned
  std::mutex* lock;        // owned; held around every use of the context
};

template <class T>
T* as(PyObject* o) {
  return reinterpret_cast<T*>(o);
}

void context_dealloc(PyObject* self) {
  delete as<ContextObject>(self)->context;
  delete as<ContextObject>(self)->lock;
  pq::free_object(self);
}

PyObject* public_key_type();
PyObject* private_key_type();
PyObject* context_type();

PyObject* wrap_public(hpke::PublicKey&& key) {
  return pq::wrap_key(public_key_type(), std::move(key));
}
PyObject* wrap_private(hpke::PrivateKey&& key) {
  return pq::wrap_key(private_key_type(), std::move(key));
}
PyObject* wrap_context(hpke::Context&& context) {
  auto* owned = new hpke::Context(std::move(context));
  auto* lock = new (std::nothrow) std::mutex;
  PyObject* obj = lock != nullptr ? pq::new_instance(context_type()) : nullptr;
  if (obj == nullptr) {
    delete owned;
    delete lock;
    return lock == nullptr ? PyErr_NoMemory() : nullptr;
  }
  as<ContextObject>(obj)->context = owned;
  as<ContextObject>(obj)->lock = lock;
  return obj;
}

bool is_instance(PyObject* obj, PyObject* type) {
  return type != nullptr && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type));
}

// ---------------------------------------------------------------- arguments

// kem_of reads a KEM identifier; InvalidParameterError for an unknown one.
std::optional<hpke::KemId> kem_of(uint32_t value) {
  auto info = hpke::kem_info(static_cast<uint16_t>(value));
  if (value > 0xffff || !info.ok()) {
    raise_exception(Exc::InvalidParameterError, "unknown HPKE KEM identifier");
    return std::nullopt;
  }
  return info.value()->id;
}

std::optional<hpke::Suite> suite_of(uint32_t kem, uint32_t kdf, uint32_t aead) {
  if (kem > 0xffff || kdf > 0xffff || aead > 0xffff) {
    raise_exception(Exc::InvalidParameterError, kem > 0xffff   ? "unknown HPKE KEM identifier"
                                                : kdf > 0xffff ? "unknown HPKE KDF identifier"
                                                               : "unknown HPKE AEAD identifier");
    return std::nullopt;
  }
  auto s = hpke::make_suite(static_cast<uint16_t>(kem), static_cast<uint16_t>(kdf),
                            static_cast<uint16_t>(aead));
  if (!s.ok()) {
    raise_core_error(s.error());
    return std::nullopt;
  }
  return s.value();
}

// KeyArg is a key argument: a key object of this module, or bytes to be
// loaded for the suite's KEM. Views point into the argument, which the call
// keeps alive.
template <class Key, class Object>
struct KeyArg {
  const Key* object = nullptr;
  core::ByteView bytes;
};

template <class Key, class Object>
bool read_key(PyObject* obj, PyObject* type, const char* name, const char* type_name,
              KeyArg<Key, Object>& out) {
  if (type == nullptr) return false;
  if (is_instance(obj, type)) {
    out.object = &as<Object>(obj)->key;
    return true;
  }
  if (PyBytes_Check(obj)) {
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &len) < 0) return false;
    out.bytes = core::ByteView(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(len));
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s must be bytes or %s", name, type_name);
  return false;
}

// ---------------------------------------------------------------- functions

constexpr Param kKemParams[] = {{"kem", Kind::U32}};
constexpr Signature kGenerate{"hpke_generate_key_pair()", kKemParams};
constexpr char kGenerateDoc[] =
    "hpke_generate_key_pair(kem)\n--\n\n"
    "A fresh private key (HpkePrivateKey) of the KEM with registry value `kem`.";

PyObject* py_generate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kGenerate, args, nargs, kwnames, in)) return nullptr;
    auto kem = kem_of(in.u32(0));
    if (!kem) return nullptr;
    auto r = [&] {
      ReleaseGil nogil;
      return hpke::generate_key_pair(*kem);
    }();
    if (!r.ok()) return raise_hpke_error(r.error());
    return wrap_private(std::move(r.value()));
  });
}

constexpr Param kDeriveParams[] = {{"kem", Kind::U32}, {"ikm", Kind::Bytes}};
constexpr Signature kDerive{"hpke_derive_key_pair()", kDeriveParams};
constexpr char kDeriveDoc[] =
    "hpke_derive_key_pair(kem, ikm)\n--\n\n"
    "DeriveKeyPair(ikm): the private key (HpkePrivateKey) derived from at least\n"
    "32 bytes of input keying material.";

PyObject* py_derive(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kDerive, args, nargs, kwnames, in)) return nullptr;
    auto kem = kem_of(in.u32(0));
    if (!kem) return nullptr;
    const core::ByteView ikm = in.bytes(1);
    auto r = [&] {
      ReleaseGil nogil;
      return hpke::derive_key_pair(*kem, ikm);
    }();
    if (!r.ok()) return raise_hpke_error(r.error());
    return wrap_private(std::move(r.value()));
  });
}

constexpr Param kLoadParams[] = {{"kem", Kind::U32}, {"data", Kind::Bytes}};
constexpr Signature kLoadPublic{"hpke_load_public_key()", kLoadParams};
constexpr Signature kLoadPrivate{"hpke_load_private_key()", kLoadParams};
constexpr char kLoadPublicDoc[] =
    "hpke_load_public_key(kem, data)\n--\n\n"
    "DeserializePublicKey: an HpkePublicKey, after the KEM's checks.";
constexpr char kLoadPrivateDoc[] =
    "hpke_load_private_key(kem, data)\n--\n\n"
    "DeserializePrivateKey: an HpkePrivateKey, checked and expanded once.";

PyObject* py_load_public(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kLoadPublic, args, nargs, kwnames, in)) return nullptr;
    auto kem = kem_of(in.u32(0));
    if (!kem) return nullptr;
    const core::ByteView data = in.bytes(1);
    auto r = [&] {
      ReleaseGil nogil;
      return hpke::load_public_key(*kem, data);
    }();
    if (!r.ok()) return raise_hpke_error(r.error());
    return wrap_public(std::move(r.value()));
  });
}

PyObject* py_load_private(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kLoadPrivate, args, nargs, kwnames, in)) return nullptr;
    auto kem = kem_of(in.u32(0));
    if (!kem) return nullptr;
    const core::ByteView data = in.bytes(1);
    auto r = [&] {
      ReleaseGil nogil;
      return hpke::load_private_key(*kem, data);
    }();
    if (!r.ok()) return raise_hpke_error(r.error());
    return wrap_private(std::move(r.value()));
  });
}

// xwing_setup_sender is SetupBaseS with a tarnel.xwing.PublicKey: the key
// object's Encapsulate (from its expansion), then the key schedule, as
// hpke::setup_base_sender does with a loaded key.
PyObject* xwing_setup_sender(const hpke::Suite& suite, const core::XWingEncapsulationKey& key,
                             core::ByteView info, std::optional<core::ByteView> ikm_e) {
  if (suite.kem->id != hpke::KemId::XWing)
    return raise_exception(Exc::InvalidParameterError, "HPKE key belongs to another KEM");
  if (ikm_e && ikm_e->size() != suite.kem->n_random)
    return raise_exception(Exc::InvalidParameterError,
                           "HPKE ikm_e has the wrong size for its KEM");
  auto r = [&]() -> core::Result<hpke::SenderSetup> {
    ReleaseGil nogil;
    auto e = ikm_e ? key.encapsulate_deterministic(*ikm_e) : key.encapsulate();
    if (!e.ok()) return e.error();
    auto ctx = hpke::key_schedule(suite, hpke::Context::Role::Sender,
                                  e.value().shared_secret.view(), info);
    if (!ctx.ok()) return ctx.error();
    return hpke::SenderSetup{std::move(e.value().capsule), std::move(ctx).value()};
  }();
  if (!r.ok()) return raise_hpke_error(r.error());
  return make_tuple({make_bytes(r.value().enc), wrap_context(std::move(r.value().context))});
}

// xwing_setup_recipient is SetupBaseR with a tarnel.xwing.PrivateKey.
PyObject* xwing_setup_recipient(const hpke::Suite& suite, const core::XWingDecapsulationKey& key,
                                core::ByteView enc, core::ByteView info) {
  if (suite.kem->id != hpke::KemId::XWing)
    return raise_exception(Exc::InvalidParameterError, "HPKE key belongs to another KEM");
  if (enc.size() != suite.kem->n_enc)
    return raise_exception(Exc::InvalidParameterError, "HPKE enc has the wrong size for its KEM");
  auto r = [&]() -> core::Result<hpke::Context> {
    ReleaseGil nogil;
    auto shared = key.decapsulate(enc);
    if (!shared.ok()) return shared.error();
    return hpke::key_schedule(suite, hpke::Context::Role::Recipient, shared.value().view(), info);
  }();
  if (!r.ok()) return raise_hpke_error(r.error());
  return wrap_context(std::move(r.value()));
}

constexpr Param kSenderParams[] = {{"kem", Kind::U32},        {"kdf", Kind::U32},
                                   {"aead", Kind::U32},       {"public_key", Kind::Object},
                                   {"info", Kind::Bytes},     {"ikm_e", Kind::Object, true}};
constexpr Signature kSender{"hpke_setup_sender()", kSenderParams};
constexpr char kSenderDoc[] =
    "hpke_setup_sender(kem, kdf, aead, public_key, info, ikm_e=None)\n--\n\n"
    "SetupBaseS: (enc, HpkeContext) for the recipient's public key (bytes or\n"
    "HpkePublicKey). ikm_e makes the encapsulation deterministic (tests only).";

PyObject* py_setup_sender(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kSender, args, nargs, kwnames, in)) return nullptr;
    auto suite = suite_of(in.u32(0), in.u32(1), in.u32(2));
    if (!suite) return nullptr;
    std::optional<core::ByteView> ikm_e;
    if (const core::XWingEncapsulationKey* xkey = xwing_public_key_of(in.object(3))) {
      if (!pq::optional_bytes(in.object(5), "ikm_e", ikm_e)) return nullptr;
      return xwing_setup_sender(*suite, *xkey, in.bytes(4), ikm_e);
    }
    if (PyErr_Occurred()) return nullptr;
    KeyArg<hpke::PublicKey, PublicKeyObject> key;
    if (!read_key(in.object(3), public_key_type(), "public_key",
                  "HpkePublicKey (or tarnel.xwing.PublicKey)", key))
      return nullptr;
    if (!pq::optional_bytes(in.object(5), "ikm_e", ikm_e)) return nullptr;
    const core::ByteView info = in.bytes(4);
    auto r = [&]() -> core::Result<hpke::SenderSetup> {
      ReleaseGil nogil;
      if (key.object != nullptr) return hpke::setup_base_sender(*suite, *key.object, info, ikm_e);
      auto loaded = hpke::load_public_key(suite->kem->id, key.bytes);
      if (!loaded.ok()) return loaded.error();
      return hpke::setup_base_sender(*suite, loaded.value(), info, ikm_e);
    }();
    if (!r.ok()) return raise_hpke_error(r.error());
    return make_tuple({make_bytes(r.value().enc), wrap_context(std::move(r.value().context))});
  });
}

constexpr Param kRecipientParams[] = {{"kem", Kind::U32},         {"kdf", Kind::U32},
                                      {"aead", Kind::U32},        {"private_key", Kind::Object},
                                      {"enc", Kind::Bytes},       {"info", Kind::Bytes}};
constexpr Signature kRecipient{"hpke_setup_recipient()", kRecipientParams};
constexpr char kRecipientDoc[] =
    "hpke_setup_recipient(kem, kdf, aead, private_key, enc, info)\n--\n\n"
    "SetupBaseR: the recipient's HpkeContext for `enc`, with the private key\n"
    "given as bytes or HpkePrivateKey.";

PyObject* py_setup_recipient(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kRecipient, args, nargs, kwnames, in)) return nullptr;
    auto suite = suite_of(in.u32(0), in.u32(1), in.u32(2));
    if (!suite) return nullptr;
    if (const core::XWingDecapsulationKey* xkey = xwing_private_key_of(in.object(3)))
      return xwing_setup_recipient(*suite, *xkey, in.bytes(4), in.bytes(5));
    if (PyErr_Occurred()) return nullptr;
    KeyArg<hpke::PrivateKey, PrivateKeyObject> key;
    if (!read_key(in.object(3), private_key_type(), "private_key",
                  "HpkePrivateKey (or tarnel.xwing.PrivateKey)", key))
      return nullptr;
    const core::ByteView enc = in.bytes(4), info = in.bytes(5);
    auto r = [&]() -> core::Result<hpke::Context> {
      ReleaseGil nogil;
      if (key.object != nullptr) return hpke::setup_base_recipient(*suite, *key.object, enc, info);
      auto loaded = hpke::load_private_key(suite->kem->id, key.bytes);
      if (!loaded.ok()) return loaded.error();
      return hpke::setup_base_recipient(*suite, loaded.value(), enc, info);
    }();
    if (!r.ok()) return raise_hpke_error(r.error());
    return wrap_context(std::move(r.value()));
  });
}

// ---------------------------------------------------------------- key methods

PyObject* public_key_kem(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(static_cast<uint16_t>(as<PublicKeyObject>(self)->key.kem));
}
PyObject* private_key_kem(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(static_cast<uint16_t>(as<PrivateKeyObject>(self)->key.kem));
}

PyObject* public_key_bytes(PyObject* self, PyObject*) {
  return guarded([&] { return make_bytes(as<PublicKeyObject>(self)->key.bytes); });
}
PyObject* private_key_bytes(PyObject* self, PyObject*) {
  return guarded([&] { return make_bytes(as<PrivateKeyObject>(self)->key.bytes); });
}
// public_key(): the matching HpkePublicKey (already checked: it was computed).
PyObject* private_key_public(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const hpke::PrivateKey& k = as<PrivateKeyObject>(self)->key;
    // The public half of the private key's expansion, shared.
    hpke::PublicKey pub{k.kem, k.public_key, nullptr, nullptr};
    if (k.dk_obj != nullptr)
      pub.ek_pq = std::make_shared<const core::EncapsulationKey>(k.dk_obj->encapsulation_key());
    if (k.xwing != nullptr)
      pub.xwing = std::make_shared<const core::XWingEncapsulationKey>(k.xwing->public_key());
    return wrap_public(std::move(pub));
  });
}

PyObject* key_repr(const char* kind, uint16_t kem) {
  return PyUnicode_FromFormat("<%s kem=0x%04x>", kind, static_cast<unsigned>(kem));
}
PyObject* public_key_repr(PyObject* self) {
  return key_repr("HpkePublicKey", static_cast<uint16_t>(as<PublicKeyObject>(self)->key.kem));
}
PyObject* private_key_repr(PyObject* self) {
  return key_repr("HpkePrivateKey", static_cast<uint16_t>(as<PrivateKeyObject>(self)->key.kem));
}

// ---------------------------------------------------------------- context methods

constexpr Param kSealParams[] = {{"plaintext", Kind::Bytes}, {"aad", Kind::Bytes, true}};
constexpr Signature kSeal{"HpkeContext.seal()", kSealParams};
constexpr Param kOpenParams[] = {{"ciphertext", Kind::Bytes}, {"aad", Kind::Bytes, true}};
constexpr Signature kOpen{"HpkeContext.open()", kOpenParams};
constexpr Param kExportParams[] = {{"exporter_context", Kind::Bytes}, {"length", Kind::U32}};
constexpr Signature kExport{"HpkeContext.export()", kExportParams};

PyObject* context_seal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kSeal, args, nargs, kwnames, in)) return nullptr;
    ContextObject* c = as<ContextObject>(self);
    const core::ByteView pt = in.bytes(0), aad = in.bytes(1);
    auto r = [&] {
      ReleaseGil nogil;
      std::lock_guard<std::mutex> hold(*c->lock);
      return c->context->seal(aad, pt);
    }();
    if (!r.ok()) return raise_hpke_error(r.error());
    return make_bytes(r.value());
  });
}

PyObject* context_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kOpen, args, nargs, kwnames, in)) return nullptr;
    ContextObject* c = as<ContextObject>(self);
    const core::ByteView ct = in.bytes(0), aad = in.bytes(1);
    auto r = [&] {
      ReleaseGil nogil;
      std::lock_guard<std::mutex> hold(*c->lock);
      return c->context->open(aad, ct);
    }();
    if (!r.ok()) return raise_hpke_error(r.error());
    return make_bytes(core::view(r.value()));
  });
}

PyObject* context_export(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kExport, args, nargs, kwnames, in)) return nullptr;
    ContextObject* c = as<ContextObject>(self);
    const core::ByteView context = in.bytes(0);
    const uint32_t length = in.u32(1);
    auto r = [&] {
      ReleaseGil nogil;
      std::lock_guard<std::mutex> hold(*c->lock);
      return c->context->export_secret(context, length);
    }();
    if (!r.ok()) return raise_hpke_error(r.error());
    return make_bytes(core::view(r.value()));
  });
}

PyObject* context_is_sender(PyObject* self, void*) {
  return PyBool_FromLong(as<ContextObject>(self)->context->role() == hpke::Context::Role::Sender);
}

PyObject* context_repr(PyObject* self) {
  const hpke::Suite& s = as<ContextObject>(self)->context->suite();
  return PyUnicode_FromFormat(
      "<HpkeContext %s kem=0x%04x kdf=0x%04x aead=0x%04x>",
      as<ContextObject>(self)->context->role() == hpke::Context::Role::Sender ? "sender"
                                                                               : "recipient",
      static_cast<unsigned>(s.kem->id), static_cast<unsigned>(s.kdf->id),
      static_cast<unsigned>(s.aead->id));
}

// ---------------------------------------------------------------- type objects

PyGetSetDef kPublicGetset[] = {
    {"kem", public_key_kem, nullptr, "The KEM's registry value.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyMethodDef kPublicMethods[] = {
    {"public_bytes", public_key_bytes, METH_NOARGS,
     "public_bytes($self)\n--\n\nSerializePublicKey: the key as bytes."},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot kPublicSlots[] = {
    {Py_tp_doc, const_cast<char*>("An HPKE public key, checked once when it was loaded.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&pq::key_dealloc<hpke::PublicKey>)},
    {Py_tp_getset, kPublicGetset},
    {Py_tp_methods, kPublicMethods},
    {Py_tp_repr, reinterpret_cast<void*>(&public_key_repr)},
    {0, nullptr},
};
PyType_Spec kPublicSpec = {"tarnel._tarnel_pq.HpkePublicKey",
                           static_cast<int>(sizeof(PublicKeyObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kPublicSlots};

PyGetSetDef kPrivateGetset[] = {
    {"kem", private_key_kem, nullptr, "The KEM's registry value.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyMethodDef kPrivateMethods[] = {
    {"private_bytes", private_key_bytes, METH_NOARGS,
     "private_bytes($self)\n--\n\nSerializePrivateKey: the private key as bytes."},
    {"public_key", private_key_public, METH_NOARGS,
     "public_key($self)\n--\n\nThe matching HpkePublicKey."},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot kPrivateSlots[] = {
    {Py_tp_doc, const_cast<char*>("An HPKE private key, expanded once; its secret parts are "
                                  "wiped when it is freed.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&pq::key_dealloc<hpke::PrivateKey>)},
    {Py_tp_getset, kPrivateGetset},
    {Py_tp_methods, kPrivateMethods},
    {Py_tp_repr, reinterpret_cast<void*>(&private_key_repr)},
    {0, nullptr},
};
PyType_Spec kPrivateSpec = {"tarnel._tarnel_pq.HpkePrivateKey",
                            static_cast<int>(sizeof(PrivateKeyObject)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kPrivateSlots};

PyGetSetDef kContextGetset[] = {
    {"is_sender", context_is_sender, nullptr, "True for a sender's context.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyMethodDef kContextMethods[] = {
    {"seal", fastcall_keywords(&context_seal), METH_FASTCALL | METH_KEYWORDS,
     "seal($self, plaintext, aad=b'')\n--\n\nEncrypts the next message (sender only)."},
    {"open", fastcall_keywords(&context_open), METH_FASTCALL | METH_KEYWORDS,
     "open($self, ciphertext, aad=b'')\n--\n\nDecrypts the next message (recipient only); a failure "
     "leaves the context as it was."},
    {"export", fastcall_keywords(&context_export), METH_FASTCALL | METH_KEYWORDS,
     "export($self, exporter_context, length)\n--\n\nA secret of `length` bytes bound to the context."},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot kContextSlots[] = {
    {Py_tp_doc, const_cast<char*>("An HPKE encryption context (RFC 9180, Section 5.2).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&context_dealloc)},
    {Py_tp_getset, kContextGetset},
    {Py_tp_methods, kContextMethods},
    {Py_tp_repr, reinterpret_cast<void*>(&context_repr)},
    {0, nullptr},
};
PyType_Spec kContextSpec = {"tarnel._tarnel_pq.HpkeContext",
                            static_cast<int>(sizeof(ContextObject)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kContextSlots};

PyObject* public_key_type() {
  static OnceCell cell;
  return cell.get([] { return PyType_FromSpec(&kPublicSpec); });
}
PyObject* private_key_type() {
  static OnceCell cell;
  return cell.get([] { return PyType_FromSpec(&kPrivateSpec); });
}
PyObject* context_type() {
  static OnceCell cell;
  return cell.get([] { return PyType_FromSpec(&kContextSpec); });
}

PyMethodDef kHpkeMethods[] = {
    {"hpke_generate_key_pair", fastcall_keywords(&py_generate), METH_FASTCALL | METH_KEYWORDS,
     kGenerateDoc},
    {"hpke_derive_key_pair", fastcall_keywords(&py_derive), METH_FASTCALL | METH_KEYWORDS,
     kDeriveDoc},
    {"hpke_load_public_key", fastcall_keywords(&py_load_public), METH_FASTCALL | METH_KEYWORDS,
     kLoadPublicDoc},
    {"hpke_load_private_key", fastcall_keywords(&py_load_private), METH_FASTCALL | METH_KEYWORDS,
     kLoadPrivateDoc},
    {"hpke_setup_sender", fastcall_keywords(&py_setup_sender), METH_FASTCALL | METH_KEYWORDS,
     kSenderDoc},
    {"hpke_setup_recipient", fastcall_keywords(&py_setup_recipient),
     METH_FASTCALL | METH_KEYWORDS, kRecipientDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_hpke(PyObject* module) {
  if (pq::add_object(module, "HpkePublicKey", public_key_type()) < 0) return -1;
  if (pq::add_object(module, "HpkePrivateKey", private_key_type()) < 0) return -1;
  if (pq::add_object(module, "HpkeContext", context_type()) < 0) return -1;
  return pq::add_functions(module, kHpkeMethods);
}

}  // namespace pyext
