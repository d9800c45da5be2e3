// The symmetric half of the multi-recipient file format for Python: the
// header MAC, chunk encryption and the passphrase wrap of the file key
// (core/file_format/payload.h), the recipient tag of a KEM entry and the
// exact entry lengths (core/file_format/header.h). The file key goes in as bytes; the keys
// derived from it never leave the core. The interpreter lock is released
// around the work.
#include <optional>

#include "core/file_format/header.h"
#include "core/file_format/payload.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/error.h"
#include "python/pq/parts.h"
#include "python/pq/support.h"
#include "python/runtime.h"
#include "python/types.h"

namespace pyext {
namespace {

namespace ff = core::file_format;

// The chunk index and flag: an index in 0..2**63-1 and a bool.
bool chunk_position(const Bound& in, size_t at, uint64_t& index, bool& last) {
  if (in.i64(at) < 0) {
    PyErr_SetString(PyExc_ValueError, "chunk index must not be negative");
    return false;
  }
  PyObject* flag = in.object(at + 1);
  if (!PyBool_Check(flag)) {
    PyErr_SetString(PyExc_TypeError, "last must be a bool");
    return false;
  }
  index = static_cast<uint64_t>(in.i64(at));
  last = flag == Py_True;
  return true;
}

constexpr Param kMacParams[] = {{"file_key", Kind::Bytes}, {"header", Kind::Bytes}};
constexpr Signature kMac{"file_header_mac()", kMacParams};
constexpr char kMacDoc[] =
    "file_header_mac(file_key, header)\n--\n\n"
    "HMAC-SHA256 of header under HKDF-SHA256(file_key, \"\", \"tarnel file v1 header\").";

PyObject* py_mac(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kMac, args, nargs, kwnames, in)) return nullptr;
    auto result = [&] {
      ReleaseGil nogil;
      return ff::header_mac(in.bytes(0), in.bytes(1));
    }();
    if (!result.ok()) return raise_core_error(result.error());
    return make_bytes(result.value());
  });
}

constexpr Param kChunkParams[] = {{"file_key", Kind::Bytes},
                                  {"payload_nonce", Kind::Bytes},
                                  {"index", Kind::I64},
                                  {"last", Kind::Object},
                                  {"data", Kind::Bytes}};
constexpr Signature kSeal{"file_seal_chunk()", kChunkParams};
constexpr Signature kOpen{"file_open_chunk()", kChunkParams};
constexpr char kSealDoc[] =
    "file_seal_chunk(file_key, payload_nonce, index, last, data)\n--\n\n"
    "AES-256-GCM of one chunk under the payload key: ciphertext || tag.";
constexpr char kOpenDoc[] =
    "file_open_chunk(file_key, payload_nonce, index, last, data)\n--\n\n"
    "The plaintext of one chunk; DecryptionError when it does not open.";

PyObject* py_seal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kSeal, args, nargs, kwnames, in)) return nullptr;
    uint64_t index = 0;
    bool last = false;
    if (!chunk_position(in, 2, index, last)) return nullptr;
    auto result = [&] {
      ReleaseGil nogil;
      return ff::seal_chunk(in.bytes(0), in.bytes(1), index, last, in.bytes(4));
    }();
    if (!result.ok()) return raise_core_error(result.error());
    return make_bytes(result.value());
  });
}

constexpr Param kRunParams[] = {{"file_key", Kind::Bytes},   {"payload_nonce", Kind::Bytes},
                                {"first_index", Kind::I64}, {"chunk_size", Kind::U32},
                                {"data", Kind::Bytes},      {"ends", Kind::Object}};
constexpr Signature kSealRun{"file_seal_chunks()", kRunParams};
constexpr Signature kOpenRun{"file_open_chunks()", kRunParams};
constexpr char kSealRunDoc[] =
    "file_seal_chunks(file_key, payload_nonce, first_index, chunk_size, data, ends)\n--\n\n"
    "AES-256-GCM of a run of consecutive chunks under one payload key: each\n"
    "chunk's ciphertext || tag, in order. With ends, the last piece of data is\n"
    "the file's last chunk; without, data is a whole number of chunks.";
constexpr char kOpenRunDoc[] =
    "file_open_chunks(file_key, payload_nonce, first_index, chunk_size, data, ends)\n--\n\n"
    "The plaintext of a run of consecutive chunks; DecryptionError when any of\n"
    "them does not open.";

// run_args reads the run's first index and whether it ends the file.
bool run_args(const Bound& in, uint64_t& first, bool& ends) {
  if (in.i64(2) < 0) {
    PyErr_SetString(PyExc_ValueError, "chunk index must not be negative");
    return false;
  }
  PyObject* flag = in.object(5);
  if (!PyBool_Check(flag)) {
    PyErr_SetString(PyExc_TypeError, "ends must be a bool");
    return false;
  }
  first = static_cast<uint64_t>(in.i64(2));
  ends = flag == Py_True;
  return true;
}

// run_call seals or opens a run into a new bytes object of the other side's
// size; ValueError when the data is no run of that chunk size.
template <class Op, class Len>
PyObject* run_call(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, Len length_of, Op op) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(sig, args, nargs, kwnames, in)) return nullptr;
    uint64_t first = 0;
    bool ends = false;
    if (!run_args(in, first, ends)) return nullptr;
    const core::ByteView data = in.bytes(4);
    const size_t chunk_size = in.u32(3);
    const std::optional<size_t> len = length_of(data.size(), chunk_size, ends);
    if (!len) {
      PyErr_SetString(PyExc_ValueError, "data is not a run of chunks of that size");
      return nullptr;
    }
    core::MutableBytes buffer;
    PyRef out = new_bytes(*len, buffer);
    if (!out) return nullptr;
    core::Status s = [&] {
      ReleaseGil nogil;
      return op(buffer, in.bytes(0), in.bytes(1), first, chunk_size, data, ends);
    }();
    if (!s.ok()) return raise_core_error(s.error());
    return out.release();
  });
}

PyObject* py_seal_run(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_call(kSealRun, args, nargs, kwnames, &ff::sealed_run_len, &ff::seal_chunks);
}

PyObject* py_open_run(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_call(kOpenRun, args, nargs, kwnames, &ff::opened_run_len, &ff::open_chunks);
}

PyObject* py_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kOpen, args, nargs, kwnames, in)) return nullptr;
    uint64_t index = 0;
    bool last = false;
    if (!chunk_position(in, 2, index, last)) return nullptr;
    auto result = [&] {
      ReleaseGil nogil;
      return ff::open_chunk(in.bytes(0), in.bytes(1), index, last, in.bytes(4));
    }();
    if (!result.ok()) return raise_core_error(result.error());
    return make_bytes(core::view(result.value()));
  });
}

constexpr Param kWrapParams[] = {
    {"kek", Kind::Bytes}, {"label", Kind::Bytes}, {"data", Kind::Bytes}};
constexpr Signature kWrap{"file_wrap_key()", kWrapParams};
constexpr Signature kUnwrap{"file_unwrap_key()", kWrapParams};
constexpr char kWrapDoc[] =
    "file_wrap_key(kek, label, data)\n--\n\n"
    "AES-256-GCM of the 32-byte file key under kek, zero nonce, aad = label.";
constexpr char kUnwrapDoc[] =
    "file_unwrap_key(kek, label, data)\n--\n\n"
    "The file key inside a 48-byte wrap; DecryptionError when it does not open.";

PyObject* py_wrap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kWrap, args, nargs, kwnames, in)) return nullptr;
    auto result = [&] {
      ReleaseGil nogil;
      return ff::wrap_file_key(in.bytes(0), in.bytes(1), in.bytes(2));
    }();
    if (!result.ok()) return raise_core_error(result.error());
    return make_bytes(result.value());
  });
}

PyObject* py_unwrap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kUnwrap, args, nargs, kwnames, in)) return nullptr;
    auto result = [&] {
      ReleaseGil nogil;
      return ff::unwrap_file_key(in.bytes(0), in.bytes(1), in.bytes(2));
    }();
    if (!result.ok()) return raise_core_error(result.error());
    return make_bytes(core::view(result.value()));
  });
}

constexpr Param kEntryParams[] = {{"kem", Kind::U32},
                                  {"decapsulation_key", Kind::Bytes},
                                  {"body", Kind::Bytes},
                                  {"info", Kind::Bytes}};
constexpr Signature kEntry{"file_open_mlkem_entry()", kEntryParams};
constexpr char kEntryDoc[] =
    "file_open_mlkem_entry(kem, decapsulation_key, body, info)\n--\n\n"
    "The plaintext of an ML-KEM HPKE entry (enc || ct) opened with an expanded\n"
    "decapsulation key; DecryptionError when it does not open.";

PyObject* py_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kEntry, args, nargs, kwnames, in)) return nullptr;
    if (in.u32(0) > 0xffff) {
      PyErr_SetString(PyExc_ValueError, "kem must be a 16-bit identifier");
      return nullptr;
    }
    auto result = [&] {
      ReleaseGil nogil;
      return ff::open_mlkem_entry(static_cast<uint16_t>(in.u32(0)), in.bytes(1), in.bytes(2),
                                  in.bytes(3));
    }();
    if (!result.ok()) return raise_core_error(result.error());
    return make_bytes(core::view(result.value()));
  });
}

// The 16-bit entry type in a U32 parameter, or a ValueError.
bool entry_type_of(const Bound& in, size_t at, uint16_t& type) {
  if (in.u32(at) > 0xffff) {
    PyErr_SetString(PyExc_ValueError, "entry type must be a 16-bit value");
    return false;
  }
  type = static_cast<uint16_t>(in.u32(at));
  return true;
}

constexpr Param kTagParams[] = {
    {"file_key", Kind::Bytes}, {"entry_type", Kind::U32}, {"public_key", Kind::Bytes}};
constexpr Signature kTag{"file_recipient_tag()", kTagParams};
constexpr char kTagDoc[] =
    "file_recipient_tag(file_key, entry_type, public_key)\n--\n\n"
    "The 16-byte recipient tag of a KEM entry: HMAC-SHA256 of u16(entry_type) ||\n"
    "public_key under HKDF-SHA256(file_key, \"\", \"tarnel file v1 recipient\"),\n"
    "cut to 16 bytes.";

PyObject* py_tag(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kTag, args, nargs, kwnames, in)) return nullptr;
    uint16_t type = 0;
    if (!entry_type_of(in, 1, type)) return nullptr;
    auto result = [&] {
      ReleaseGil nogil;
      return ff::recipient_tag(in.bytes(0), type, in.bytes(2));
    }();
    if (!result.ok()) return raise_core_error(result.error());
    return make_bytes(result.value());
  });
}

constexpr Param kLengthParams[] = {{"entry_type", Kind::U32}};
constexpr Signature kLength{"file_entry_length()", kLengthParams};
constexpr char kLengthDoc[] =
    "file_entry_length(entry_type)\n--\n\n"
    "The exact body length of a known entry type, or 0 for a type this version\n"
    "does not know.";

PyObject* py_length(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kLength, args, nargs, kwnames, in)) return nullptr;
    uint16_t type = 0;
    if (!entry_type_of(in, 0, type)) return nullptr;
    return PyLong_FromUnsignedLong(ff::known_entry_length(type));
  });
}

constexpr Param kParseParams[] = {{"data", Kind::Bytes}};
constexpr Signature kParse{"file_parse_header()", kParseParams};
constexpr char kParseDoc[] =
    "file_parse_header(data)\n--\n\n"
    "Checks the structure of the header at the start of data. Returns\n"
    "(0, length, chunk_size, nonce, [(type, body), ...], mac) for a whole header,\n"
    "(1, need) when need bytes in all are needed to go on, or\n"
    "(fault, value, entry_type, expected) for the first rule broken (fault >= 2,\n"
    "in the order of the format's checks).";

PyObject* py_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound in;
    if (!bind_args(kParse, args, nargs, kwnames, in)) return nullptr;
    const ff::ParsedHeader h = ff::parse_header(in.bytes(0));
    switch (h.fault) {
      case ff::HeaderFault::None: {
        PyRef entries(PyList_New(static_cast<Py_ssize_t>(h.entry_count)));
        if (!entries) return nullptr;
        for (size_t i = 0; i < h.entry_count; ++i) {
          PyObject* item = Py_BuildValue("(iy#)", int{h.entries[i].type},
                                         reinterpret_cast<const char*>(h.entries[i].body.data()),
                                         static_cast<Py_ssize_t>(h.entries[i].body.size()));
          if (item == nullptr) return nullptr;
          PyList_SetItem(entries.get(), static_cast<Py_ssize_t>(i), item);  // steals
        }
        return Py_BuildValue("(inky#Oy#)", 0, static_cast<Py_ssize_t>(h.length),
                             static_cast<unsigned long>(h.chunk_size),
                             reinterpret_cast<const char*>(h.nonce.data()),
                             static_cast<Py_ssize_t>(h.nonce.size()), entries.get(),
                             reinterpret_cast<const char*>(h.mac.data()),
                             static_cast<Py_ssize_t>(h.mac.size()));
      }
      case ff::HeaderFault::NeedMore:
        return Py_BuildValue("(in)", 1, static_cast<Py_ssize_t>(h.need));
      default:
        return Py_BuildValue("(iKik)", static_cast<int>(h.fault),
                             static_cast<unsigned long long>(h.value), int{h.entry_type},
                             static_cast<unsigned long>(h.expected));
    }
  });
}

PyMethodDef kFileFormatMethods[] = {
    {"file_parse_header", fastcall_keywords(&py_parse), METH_FASTCALL | METH_KEYWORDS,
     kParseDoc},
    {"file_header_mac", fastcall_keywords(&py_mac), METH_FASTCALL | METH_KEYWORDS, kMacDoc},
    {"file_seal_chunk", fastcall_keywords(&py_seal), METH_FASTCALL | METH_KEYWORDS, kSealDoc},
    {"file_open_chunk", fastcall_keywords(&py_open), METH_FASTCALL | METH_KEYWORDS, kOpenDoc},
    {"file_seal_chunks", fastcall_keywords(&py_seal_run), METH_FASTCALL | METH_KEYWORDS,
     kSealRunDoc},
    {"file_open_chunks", fastcall_keywords(&py_open_run), METH_FASTCALL | METH_KEYWORDS,
     kOpenRunDoc},
    {"file_wrap_key", fastcall_keywords(&py_wrap), METH_FASTCALL | METH_KEYWORDS, kWrapDoc},
    {"file_unwrap_key", fastcall_keywords(&py_unwrap), METH_FASTCALL | METH_KEYWORDS,
     kUnwrapDoc},
    {"file_open_mlkem_entry", fastcall_keywords(&py_entry), METH_FASTCALL | METH_KEYWORDS,
     kEntryDoc},
    {"file_recipient_tag", fastcall_keywords(&py_tag), METH_FASTCALL | METH_KEYWORDS, kTagDoc},
    {"file_entry_length", fastcall_keywords(&py_length), METH_FASTCALL | METH_KEYWORDS,
     kLengthDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_file_format(PyObject* module) { return pq::add_functions(module, kFileFormatMethods); }

}  // namespace pyext
