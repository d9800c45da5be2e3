// The armor codec of the core (core/armor_text.h) for tarnel.armor: an
// encoder and a decoder held in capsules, fed bytes, the interpreter lock
// released while a large piece is coded. A codec in use on one thread is
// refused on another (RuntimeError) rather than shared.
#include "python/fileio/armor_codec.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>

#include "core/armor_text.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/error.h"
#include "python/runtime.h"

namespace pyext {
namespace {

// Pieces smaller than this are coded with the lock held: releasing and
// taking it back costs more than they take.
constexpr size_t kReleaseFrom = size_t{1} << 14;

constexpr char kEncoderName[] = "tarnel._tarnel_fileio.ArmorEncoder";
constexpr char kDecoderName[] = "tarnel._tarnel_fileio.ArmorDecoder";

template <class C>
struct Held {
  using Codec = C;
  Codec codec;
  std::atomic<bool> busy{false};
};
using HeldEncoder = Held<core::ArmorEncoder>;
using HeldDecoder = Held<core::ArmorDecoder>;

template <class H>
void destroy(PyObject* capsule) noexcept {
  const char* name = std::is_same_v<H, HeldEncoder> ? kEncoderName : kDecoderName;
  delete static_cast<H*>(PyCapsule_GetPointer(capsule, name));
}

template <class H, class... Args>
PyObject* make_capsule(const char* name, Args... args) {
  auto* h = new H{typename H::Codec(args...)};
  PyObject* capsule = PyCapsule_New(h, name, &destroy<H>);
  if (capsule == nullptr) delete h;
  return capsule;
}

// Claim marks a codec in use for its scope; false (RuntimeError set) when
// another thread has it.
template <class H>
class Claim {
 public:
  explicit Claim(H* h) noexcept : h_(h) {
    bool expected = false;
    held_ = h_->busy.compare_exchange_strong(expected, true);
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "the armor codec is in use by another thread");
  }
  ~Claim() {
    if (held_) h_->busy.store(false);
  }
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;
  explicit operator bool() const noexcept { return held_; }

 private:
  H* h_;
  bool held_;
};

template <class H>
H* held_of(PyObject* capsule, const char* name, const char* what) {
  if (!PyCapsule_IsValid(capsule, name)) {
    PyErr_Format(PyExc_TypeError, "%s must be an %s", what, name);
    return nullptr;
  }
  return static_cast<H*>(PyCapsule_GetPointer(capsule, name));
}

PyObject* armor_encoder(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* { return make_capsule<HeldEncoder>(kEncoderName); });
}

// armor_decoder(file): a decoder for a file's block when `file` is true,
// else for a stream's.
PyObject* armor_decoder(PyObject*, PyObject* file) {
  return guarded([&]() -> PyObject* {
    const int is_file = PyObject_IsTrue(file);
    if (is_file < 0) return nullptr;
    return make_capsule<HeldDecoder>(kDecoderName,
                                     is_file ? core::kFileArmor : core::kStreamArmor);
  });
}

constexpr Param kEncodeParams[] = {{"encoder", Kind::Object}, {"data", Kind::Bytes}};
constexpr Signature kEncodeSig{"armor_encode()", kEncodeParams};

PyObject* armor_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind_args(kEncodeSig, args, nargs, kwnames, a)) return nullptr;
    auto* h = held_of<HeldEncoder>(a.object(0), kEncoderName, "encoder");
    if (h == nullptr) return nullptr;
    Claim claim(h);
    if (!claim) return nullptr;
    const core::ByteView data = a.bytes(1);  // read in place; the call holds a reference
    const size_t n = h->codec.update_len(data.size());
    PyRef out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    const std::span<char> room(PyBytes_AsString(out.get()), n);
    auto run = [&] { return h->codec.update(room, data); };
    auto written = [&] {
      if (data.size() < kReleaseFrom) return run();
      ReleaseGil nogil;
      return run();
    }();
    if (!written.ok()) return raise_core_error(written.error());
    return out.release();
  });
}

constexpr Param kCodecParams[] = {{"encoder", Kind::Object}};
constexpr Signature kFinishSig{"armor_encode_finish()", kCodecParams};

PyObject* armor_encode_finish(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind_args(kFinishSig, args, nargs, kwnames, a)) return nullptr;
    auto* h = held_of<HeldEncoder>(a.object(0), kEncoderName, "encoder");
    if (h == nullptr) return nullptr;
    Claim claim(h);
    if (!claim) return nullptr;
    const size_t n = h->codec.finish_len();
    PyRef out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    auto written = h->codec.finish(std::span<char>(PyBytes_AsString(out.get()), n));
    if (!written.ok()) return raise_core_error(written.error());
    return out.release();
  });
}

}  // namespace

const char* armor_fault_name(core::ArmorFault f) noexcept {
  switch (f) {
    case core::ArmorFault::None: return "";
    case core::ArmorFault::NoBegin: return "no_begin";
    case core::ArmorFault::StrayCr: return "stray_cr";
    case core::ArmorFault::WrongBegin: return "wrong_begin";
    case core::ArmorFault::WrongEnd: return "wrong_end";
    case core::ArmorFault::NotLast: return "not_last";
    case core::ArmorFault::BadLength: return "bad_length";
    case core::ArmorFault::NotBase64: return "not_base64";
    case core::ArmorFault::BadBase64: return "bad_base64";
    case core::ArmorFault::NonCanonical: return "non_canonical";
    case core::ArmorFault::NoEnd: return "no_end";
    case core::ArmorFault::DataAfterEnd: return "data_after_end";
    case core::ArmorFault::TooMuchSpace: return "too_much_space";
  }
  return "unknown";
}

PyObject* armor_fault_tuple(const core::ArmorStep& step) {
  return Py_BuildValue("(sKny#)", armor_fault_name(step.fault),
                       static_cast<unsigned long long>(step.line),
                       static_cast<Py_ssize_t>(step.length), step.shown.data(),
                       static_cast<Py_ssize_t>(step.shown_len));
}

namespace {

constexpr Param kDecodeParams[] = {
    {"decoder", Kind::Object}, {"data", Kind::Bytes}, {"at_end", Kind::Object}};
constexpr Signature kDecodeSig{"armor_decode()", kDecodeParams};

PyObject* armor_decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind_args(kDecodeSig, args, nargs, kwnames, a)) return nullptr;
    auto* h = held_of<HeldDecoder>(a.object(0), kDecoderName, "decoder");
    if (h == nullptr) return nullptr;
    const int at_end = PyObject_IsTrue(a.object(2));
    if (at_end < 0) return nullptr;
    Claim claim(h);
    if (!claim) return nullptr;
    const core::ByteView data = a.bytes(1);
    const size_t bound = core::ArmorDecoder::max_output(data.size());
    PyRef out(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bound)));
    if (!out) return nullptr;
    const core::MutableBytes room(reinterpret_cast<uint8_t*>(PyByteArray_AsString(out.get())),
                                  bound);
    auto run = [&] { return h->codec.update(room, data, at_end != 0); };
    auto result = [&] {
      if (data.size() < kReleaseFrom) return run();
      ReleaseGil nogil;
      return run();
    }();
    if (!result.ok()) return raise_core_error(result.error());
    const core::ArmorStep& step = result.value();
    if (PyByteArray_Resize(out.get(), static_cast<Py_ssize_t>(step.written)) < 0) return nullptr;
    const int state = h->codec.done() ? 2 : h->codec.ended() ? 1 : 0;
    if (step.fault == core::ArmorFault::None)
      return Py_BuildValue("(OiO)", out.get(), state, Py_None);
    PyRef fault(armor_fault_tuple(step));
    if (!fault) return nullptr;
    return Py_BuildValue("(OiO)", out.get(), state, fault.get());
  });
}

}  // namespace

const PyMethodDef kArmorMethods[kArmorMethodCount] = {
    {"armor_encoder", &armor_encoder, METH_NOARGS,
     "armor_encoder()\n--\n\n"
     "A new armor encoder: bytes in, LF-terminated lines of 64 Base64 characters out."},
    {"armor_encode", fastcall_keywords(&armor_encode), METH_FASTCALL | METH_KEYWORDS,
     "armor_encode(encoder, data)\n--\n\n"
     "The whole lines that data completes (bytes); the rest waits for more."},
    {"armor_encode_finish", fastcall_keywords(&armor_encode_finish),
     METH_FASTCALL | METH_KEYWORDS,
     "armor_encode_finish(encoder)\n--\n\n"
     "The last, shorter line with its LF (b'' when no bytes are waiting)."},
    {"armor_decoder", &armor_decoder, METH_O,
     "armor_decoder(file, /)\n--\n\n"
     "A new strict armor decoder, for one block from before its BEGIN line to\n"
     "the end of the input: a file's block (of the format for several\n"
     "recipients) when file is true, else a stream's."},
    {"armor_decode", fastcall_keywords(&armor_decode), METH_FASTCALL | METH_KEYWORDS,
     "armor_decode(decoder, data, at_end)\n--\n\n"
     "Read the next bytes of the input (at_end: nothing follows them). Returns\n"
     "(decoded, state, fault): decoded a bytearray; state 0 while the block\n"
     "goes on, 1 once its END line is read, 2 once the input ended after it;\n"
     "fault None, or (kind, line, length, shown) naming what is wrong, after\n"
     "which the decoder returns the same fault again."},
};

int add_armor_constants(PyObject* module) {
  auto add = [&](const char* name, std::string_view text) {
    PyObject* v = PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (v == nullptr) return -1;
    if (PyModule_AddObject(module, name, v) < 0) {
      Py_DECREF(v);
      return -1;
    }
    return 0;
  };
  if (add("ARMOR_BEGIN_LINE", core::kStreamArmor.begin) < 0 ||
      add("ARMOR_END_LINE", core::kStreamArmor.end) < 0 ||
      add("ARMOR_FILE_BEGIN_LINE", core::kFileArmor.begin) < 0 ||
      add("ARMOR_FILE_END_LINE", core::kFileArmor.end) < 0)
    return -1;
  if (PyModule_AddIntConstant(module, "ARMOR_LINE_CHARS", long{core::kArmorLineChars}) < 0 ||
      PyModule_AddIntConstant(module, "ARMOR_MAX_TRAILING_SPACE",
                              long{core::kArmorMaxTrailingSpace}) < 0 ||
      PyModule_AddIntConstant(module, "ARMOR_BATCH", long{kArmorBatch}) < 0)
    return -1;
  return 0;
}

}  // namespace pyext
