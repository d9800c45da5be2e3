// The stream handles: stream_encryptor_new, stream_decryptor_from_header and
// the classes StreamEncryptorHandle and StreamDecryptorHandle, which carry a
// core stream object between calls.
//
// Each handle has a borrow flag changed only atomically: 0 is free, 1..n are
// n shared borrows (queries), all bits set is one exclusive borrow (methods
// that change the stream). A call that finds the handle in use fails at once
// with RuntimeError; it never waits. The exclusive borrow is held while the
// interpreter lock is released for AES-GCM, so the stream object is touched
// by one thread at a time.
#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <utility>

#include "core/stream.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/error.h"
#include "python/runtime.h"
#include "python/types.h"

namespace pyext {
namespace {

constexpr uint64_t kExclusive = ~uint64_t{0};

template <class Inner>
struct Handle {
  PyObject ob_base;
  std::optional<Inner> inner;  // absent once finalized
  std::atomic<uint64_t> borrow;
};
using EncryptorHandle = Handle<core::StreamEncryptor>;
using DecryptorHandle = Handle<core::StreamDecryptor>;

template <class Inner>
Handle<Inner>* as_handle(PyObject* self) noexcept {
  return reinterpret_cast<Handle<Inner>*>(self);
}

// ExclusiveBorrow takes the flag from 0 to all-bits-set, or fails with
// RuntimeError "Already borrowed"; it stores 0 again when it ends.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(std::atomic<uint64_t>& flag) noexcept : flag_(flag) {
    uint64_t expected = 0;
    held_ = flag_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire);
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  }
  ~ExclusiveBorrow() {
    if (held_) flag_.store(0, std::memory_order_release);
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  explicit operator bool() const noexcept { return held_; }

 private:
  std::atomic<uint64_t>& flag_;
  bool held_;
};

// SharedBorrow adds one to the flag unless it is exclusively held, in which
// case it fails with RuntimeError "Already mutably borrowed".
class SharedBorrow {
 public:
  explicit SharedBorrow(std::atomic<uint64_t>& flag) noexcept : flag_(flag) {
    uint64_t v = flag_.load(std::memory_order_relaxed);
    while (v != kExclusive && v != kExclusive - 1 &&
           !flag_.compare_exchange_weak(v, v + 1, std::memory_order_acquire)) {
    }
    held_ = v != kExclusive && v != kExclusive - 1;
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  }
  ~SharedBorrow() {
    if (held_) flag_.fetch_sub(1, std::memory_order_release);
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  explicit operator bool() const noexcept { return held_; }

 private:
  std::atomic<uint64_t>& flag_;
  bool held_;
};

constexpr Signature no_args(const char* display_name) { return {display_name, {}}; }

// ---- Type objects ----

template <class Inner>
void handle_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  PyTypeObject* type = Py_TYPE(self);
  Handle<Inner>* h = as_handle<Inner>(self);
  h->inner.~optional();
  h->borrow.~atomic();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// A handle holds no Python references: it visits only its heap type and has
// nothing to clear.
int handle_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return 0;
}
int handle_clear(PyObject*) { return 0; }

// new_handle creates an instance of `type` holding `inner`; null with an
// exception set on failure (the stream object is then dropped).
template <class Inner>
PyObject* new_handle(PyObject* type, Inner&& inner) {
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* self = alloc(tp, 0);
  if (self == nullptr) return nullptr;
  Handle<Inner>* h = as_handle<Inner>(self);
  new (&h->inner) std::optional<Inner>(std::move(inner));
  new (&h->borrow) std::atomic<uint64_t>(0);
  return self;
}

// exclusive_call is the frame of the methods that change the stream: binding
// errors first, then the exclusive borrow, then the argument types, then the
// finalized check; body(stream, in) runs with the borrow held.
template <class Inner, class Body>
PyObject* exclusive_call(PyObject* self, const Signature& sig, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames, const char* finalized,
                         Body&& body) {
  return guarded([&]() -> PyObject* {
    BoundObjects objects;
    if (!match_args(sig, args, nargs, kwnames, objects)) return nullptr;
    Handle<Inner>* h = as_handle<Inner>(self);
    ExclusiveBorrow borrow(h->borrow);
    if (!borrow) return nullptr;
    Bound in;
    if (!convert_args(sig, objects, in)) return nullptr;
    if (!h->inner) return raise_exception(Exc::InvalidParameterError, finalized);
    return body(*h->inner, in);
  });
}

// query is a read-only method without arguments: Read(stream) under a shared
// borrow, or Read(nullptr) once the stream is finalized.
template <class Inner, const char* Name, PyObject* (*Read)(const Inner*)>
PyObject* query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(no_args(Name), args, nargs, kwnames, in)) return nullptr;
    Handle<Inner>* h = as_handle<Inner>(self);
    SharedBorrow borrow(h->borrow);
    if (!borrow) return nullptr;
    return Read(h->inner ? &*h->inner : nullptr);
  });
}

template <class Inner>
PyObject* read_chunk_index(const Inner* s) {
  return PyLong_FromUnsignedLong(s != nullptr ? s->chunk_index() : 0);
}
template <class Inner>
PyObject* read_chunk_size(const Inner* s) {
  return PyLong_FromUnsignedLong(s != nullptr ? s->chunk_size() : 0);
}
PyObject* read_base_nonce(const core::StreamEncryptor* s) {
  const core::BaseNonce zeros{};
  return make_bytes(s != nullptr ? s->base_nonce() : zeros);
}
PyObject* read_eof_seen(const core::StreamDecryptor* s) {
  return PyBool_FromLong(s != nullptr && s->eof_seen() ? 1 : 0);
}

constexpr char kEncChunkIndex[] = "StreamEncryptorHandle.chunk_index()";
constexpr char kEncChunkSize[] = "StreamEncryptorHandle.chunk_size()";
constexpr char kEncBaseNonce[] = "StreamEncryptorHandle.base_nonce()";
constexpr char kDecChunkIndex[] = "StreamDecryptorHandle.chunk_index()";
constexpr char kDecChunkSize[] = "StreamDecryptorHandle.chunk_size()";
constexpr char kDecEofSeen[] = "StreamDecryptorHandle.eof_seen()";

// ---- StreamEncryptorHandle ----

constexpr Param kEncryptChunkParams[] = {{"plaintext", Kind::Bytes}};
constexpr Signature kEncryptChunk{"StreamEncryptorHandle.encrypt_chunk()", kEncryptChunkParams};

PyObject* enc_encrypt_chunk(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return exclusive_call<core::StreamEncryptor>(
      self, kEncryptChunk, args, nargs, kwnames, "encryptor already finalized",
      [](core::StreamEncryptor& enc, Bound& in) -> PyObject* {
        const core::ByteView plaintext = in.bytes(0);
        auto len = enc.frame_len(plaintext.size());
        if (!len.ok()) return raise_core_error(len.error());
        core::MutableBytes frame;
        PyRef out = new_bytes(len.value(), frame);
        if (!out) return nullptr;
        const core::Status s = [&] {
          ReleaseGil nogil;
          return enc.encrypt_chunk_into(frame, plaintext);
        }();
        if (!s.ok()) return raise_core_error(s.error());
        return out.release();
      });
}

PyObject* enc_finalize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(no_args("StreamEncryptorHandle.finalize()"), args, nargs, kwnames, in))
      return nullptr;
    EncryptorHandle* h = as_handle<core::StreamEncryptor>(self);
    ExclusiveBorrow borrow(h->borrow);
    if (!borrow) return nullptr;
    // From here on the handle is finalized, whatever follows.
    std::optional<core::StreamEncryptor> taken = std::move(h->inner);
    h->inner.reset();
    if (!taken) return raise_exception(Exc::InvalidParameterError, "encryptor already finalized");
    auto marker = [&] {
      ReleaseGil nogil;
      return core::StreamEncryptor::finalize(std::move(*taken));
    }();
    if (!marker.ok()) return raise_core_error(marker.error());
    return make_bytes(marker.value());
  });
}

PyMethodDef kEncryptorMethods[] = {
    {"encrypt_chunk", fastcall_keywords(enc_encrypt_chunk), METH_FASTCALL | METH_KEYWORDS,
     "encrypt_chunk($self, plaintext)\n--\n\n"
     "Cifra un chunk de plaintext. Retorna el frame `[len || ciphertext || tag]`.\n\n"
     "Libera el GIL durante AES-GCM."},
    {"finalize", fastcall_keywords(enc_finalize), METH_FASTCALL | METH_KEYWORDS,
     "finalize($self)\n--\n\n"
     "Emite el EOF marker (frame de longitud 0 con un tag sobre plaintext vacio).\n\n"
     "Tras llamar `finalize`, el encryptor ya no puede usarse."},
    {"chunk_index", fastcall_keywords(query<core::StreamEncryptor, kEncChunkIndex, read_chunk_index>), METH_FASTCALL | METH_KEYWORDS,
     "chunk_index($self)\n--\n\nChunks emitidos hasta ahora."},
    {"chunk_size", fastcall_keywords(query<core::StreamEncryptor, kEncChunkSize, read_chunk_size>), METH_FASTCALL | METH_KEYWORDS,
     "chunk_size($self)\n--\n\nTamano maximo de ciphertext por chunk."},
    {"base_nonce", fastcall_keywords(query<core::StreamEncryptor, kEncBaseNonce, read_base_nonce>), METH_FASTCALL | METH_KEYWORDS,
     "base_nonce($self)\n--\n\nBase nonce (12 bytes aleatorios por stream)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kEncryptorSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Handle de cifrador de stream. Conserva el shared_secret entre llamadas.")},
    {Py_tp_methods, kEncryptorMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(handle_dealloc<core::StreamEncryptor>)},
    {Py_tp_traverse, reinterpret_cast<void*>(handle_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(handle_clear)},
    {0, nullptr},
};

PyType_Spec kEncryptorSpec = {
    "builtins.StreamEncryptorHandle", static_cast<int>(sizeof(EncryptorHandle)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kEncryptorSlots};

// ---- StreamDecryptorHandle ----

constexpr Param kDecryptChunkParams[] = {{"ciphertext", Kind::Bytes}, {"tag", Kind::Bytes}};
constexpr Signature kDecryptChunk{"StreamDecryptorHandle.decrypt_chunk()", kDecryptChunkParams};
constexpr Param kProcessEofParams[] = {{"tag", Kind::Bytes}};
constexpr Signature kProcessEof{"StreamDecryptorHandle.process_eof()", kProcessEofParams};
constexpr const char* kDecryptorFinalized = "decryptor already finalized";

PyObject* dec_decrypt_chunk(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return exclusive_call<core::StreamDecryptor>(
      self, kDecryptChunk, args, nargs, kwnames, kDecryptorFinalized,
      [](core::StreamDecryptor& dec, Bound& in) -> PyObject* {
        const core::ByteView ciphertext = in.bytes(0);
        const core::ByteView tag = in.bytes(1);
        // Tag length, then ciphertext length against chunk_size.
        auto len = dec.plaintext_len(ciphertext.size(), tag.size());
        if (!len.ok()) return raise_core_error(len.error());
        core::MutableBytes plaintext;
        PyRef out = new_bytes(len.value(), plaintext);
        if (!out) return nullptr;
        const core::Status s = [&] {
          ReleaseGil nogil;
          return dec.decrypt_chunk_into(plaintext, ciphertext, tag);
        }();
        if (!s.ok()) return raise_core_error(s.error());
        return out.release();
      });
}

PyObject* dec_process_eof(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return exclusive_call<core::StreamDecryptor>(
      self, kProcessEof, args, nargs, kwnames, kDecryptorFinalized,
      [](core::StreamDecryptor& dec, Bound& in) -> PyObject* {
        const core::ByteView tag = in.bytes(0);
        if (auto len = dec.plaintext_len(0, tag.size()); !len.ok())
          return raise_core_error(len.error());
        const core::Status s = [&] {
          ReleaseGil nogil;
          return dec.process_eof(tag);
        }();
        if (!s.ok()) return raise_core_error(s.error());
        Py_RETURN_NONE;
      });
}

PyObject* dec_finalize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(no_args("StreamDecryptorHandle.finalize()"), args, nargs, kwnames, in))
      return nullptr;
    DecryptorHandle* h = as_handle<core::StreamDecryptor>(self);
    ExclusiveBorrow borrow(h->borrow);
    if (!borrow) return nullptr;
    if (!h->inner) return raise_exception(Exc::InvalidParameterError, "already finalized");
    core::StreamDecryptor::finalize(std::move(*h->inner));
    h->inner.reset();
    Py_RETURN_NONE;
  });
}

PyMethodDef kDecryptorMethods[] = {
    {"decrypt_chunk", fastcall_keywords(dec_decrypt_chunk), METH_FASTCALL | METH_KEYWORDS,
     "decrypt_chunk($self, ciphertext, tag)\n--\n\n"
     "Descifra un chunk. Retorna el plaintext.\n\n"
     "Libera el GIL durante AES-GCM."},
    {"process_eof", fastcall_keywords(dec_process_eof), METH_FASTCALL | METH_KEYWORDS,
     "process_eof($self, tag)\n--\n\nProcesa el EOF marker (frame de longitud 0)."},
    {"finalize", fastcall_keywords(dec_finalize), METH_FASTCALL | METH_KEYWORDS,
     "finalize($self)\n--\n\nVerifica que el EOF marker fue visto."},
    {"chunk_index", fastcall_keywords(query<core::StreamDecryptor, kDecChunkIndex, read_chunk_index>), METH_FASTCALL | METH_KEYWORDS,
     "chunk_index($self)\n--\n\nChunks descifrados hasta ahora."},
    {"chunk_size", fastcall_keywords(query<core::StreamDecryptor, kDecChunkSize, read_chunk_size>), METH_FASTCALL | METH_KEYWORDS,
     "chunk_size($self)\n--\n\nTamano maximo del ciphertext por chunk."},
    {"eof_seen", fastcall_keywords(query<core::StreamDecryptor, kDecEofSeen, read_eof_seen>), METH_FASTCALL | METH_KEYWORDS,
     "eof_seen($self)\n--\n\nTrue si el EOF marker fue procesado."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kDecryptorSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Handle de descifrador de stream. Conserva el shared_secret entre llamadas.")},
    {Py_tp_methods, kDecryptorMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(handle_dealloc<core::StreamDecryptor>)},
    {Py_tp_traverse, reinterpret_cast<void*>(handle_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(handle_clear)},
    {0, nullptr},
};

PyType_Spec kDecryptorSpec = {
    "builtins.StreamDecryptorHandle", static_cast<int>(sizeof(DecryptorHandle)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kDecryptorSlots};

// ---- Module functions ----

constexpr Param kEncryptorNewParams[] = {{"recipient_public_key", Kind::Bytes},
                                         {"chunk_size", Kind::U32},
                                         {"level", Kind::Level, /*optional=*/true}};
constexpr Signature kEncryptorNew{"stream_encryptor_new()", kEncryptorNewParams};
constexpr char kEncryptorNewDoc[] =
    "stream_encryptor_new(recipient_public_key, chunk_size, level=...)\n--\n\n"
    "Encapsula + crea un StreamEncryptor.\n\n"
    "Returns:\n"
    "    (header_bytes, encryptor_handle).\n\n"
    "El header se antepone al primer output. El encryptor se mantiene\n"
    "entre llamadas para emitir chunks y el EOF marker.";

constexpr Param kDecryptorFromHeaderParams[] = {{"header_bytes", Kind::Bytes},
                                                {"secret_key", Kind::Bytes},
                                                {"level", Kind::Level}};
constexpr Signature kDecryptorFromHeader{"stream_decryptor_from_header()",
                                         kDecryptorFromHeaderParams};
constexpr char kDecryptorFromHeaderDoc[] =
    "stream_decryptor_from_header(header_bytes, secret_key, level)\n--\n\n"
    "Decapsula + crea un StreamDecryptor desde un header.\n\n"
    "Args:\n"
    "    header_bytes: header serializado [capsule | base_nonce | chunk_size].\n"
    "    secret_key: clave secreta ML-KEM del receptor.\n\n"
    "Errors:\n"
    "    TarnelError::InvalidParameter si header mal formado.";

PyObject* py_stream_encryptor_new(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kEncryptorNew, args, nargs, kwnames, in)) return nullptr;
    const core::ByteView ek = in.bytes(0);
    const uint32_t chunk_size = in.u32(1);
    const core::Level level = in.level(2);
    auto started = [&] {
      ReleaseGil nogil;
      return core::StreamEncryptor::create(ek, chunk_size, level);
    }();
    if (!started.ok()) return raise_core_error(started.error());
    PyObject* type = stream_encryptor_handle_type();
    if (type == nullptr) return nullptr;
    PyObject* header = make_bytes(started.value().header);
    if (header == nullptr) return nullptr;
    PyObject* handle = new_handle(type, std::move(started.value().encryptor));
    return make_tuple({header, handle});
  });
}

PyObject* py_stream_decryptor_from_header(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kDecryptorFromHeader, args, nargs, kwnames, in)) return nullptr;
    const core::ByteView header = in.bytes(0);
    const core::ByteView dk = in.bytes(1);
    const core::Level level = in.level(2);
    auto created = [&] {
      ReleaseGil nogil;
      return core::StreamDecryptor::create(header, dk, level);
    }();
    if (!created.ok()) return raise_core_error(created.error());
    PyObject* type = stream_decryptor_handle_type();
    if (type == nullptr) return nullptr;
    return new_handle(type, std::move(created.value()));
  });
}

OnceCell g_encryptor_type;
OnceCell g_decryptor_type;

}  // namespace

PyObject* stream_encryptor_handle_type() {
  return g_encryptor_type.get([] { return PyType_FromSpec(&kEncryptorSpec); });
}
PyObject* stream_decryptor_handle_type() {
  return g_decryptor_type.get([] { return PyType_FromSpec(&kDecryptorSpec); });
}

const PyMethodDef kStreamEncryptorNewDef = {
    "stream_encryptor_new", fastcall_keywords(py_stream_encryptor_new),
    METH_FASTCALL | METH_KEYWORDS, kEncryptorNewDoc};
const PyMethodDef kStreamDecryptorFromHeaderDef = {
    "stream_decryptor_from_header", fastcall_keywords(py_stream_decryptor_from_header),
    METH_FASTCALL | METH_KEYWORDS, kDecryptorFromHeaderDoc};

}  // namespace pyext
