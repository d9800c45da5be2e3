// tarnel._tarnel_fileio: whole files through the chunked stream format, in
// native code with the interpreter lock released.
//
// The calling thread reads the input with pread at explicit offsets and runs
// AES-GCM a slab (a few MiB of frames) at a time; a writer thread of our own
// writes the finished slabs in order, so reading, the cipher and writing
// overlap. The slabs are allocated once per call and reused, a few of them
// in flight (see slab_count). After each slab the calling thread takes the
// interpreter lock back to report progress per chunk and to run signal
// handlers; an exception from either stops the work, and the writer thread
// is joined before the call returns, on every path.
//
// Encryption refuses an input that changes while it is read: the size and the
// modification and change times are taken before the first read and again at
// the end of the input, and the input must end exactly where its size said.
// Such a call returns the outcome kChanged; the caller discards the output.
//
// Decryption writes a chunk's plaintext only after its tag verified. The
// framing is read by the core's frame reader (core/stream_frames.h), the one
// the package's frame-by-frame path uses too: a frame cut short or longer than
// the chunk size, or data after the end marker, raises its StreamError kind
// here with the same message, as a failed tag raises DecryptionError.
//
// An armored file is decrypted the same way, through an ArmorSource that
// decodes its text as tarnel.armor.ArmorReader does (armor_codec.h).
//
// Only regular files are given to encrypt_fd and decrypt_fd (the package
// decides), so reads and writes always return; EINTR is retried all the
// same. encrypt_stream_fd takes pipes: it does everything on the calling
// thread, where a signal interrupts a read or write that waits.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/armor_text.h"
#include "core/common/bytes.h"
#include "core/json_doc.h"
#include "core/pem.h"
#include "core/stream.h"
#include "core/stream_frames.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/error.h"
#include "python/fileio/armor_codec.h"
#include "python/fileio/engine.h"
#include "python/fileio/payload.h"
#include "python/runtime.h"
#include "python/types.h"

namespace pyext {

namespace {

constexpr size_t kFrameOverhead = core::kFrameOverhead;

std::optional<core::Level> level_of(uint32_t value) {
  if (value != 512 && value != 768 && value != 1024) {
    raise_exception(Exc::InvalidParameterError, "unknown security level");
    return std::nullopt;
  }
  return core::level_from_value(value);
}

// ---- framing ----

// raise_framing raises the stream error that `step` names, with the core's
// message; the classes are tarnel._formats's (StreamError and its kinds).
PyObject* raise_framing(const core::FrameStep& step, core::Level level, uint64_t index,
                        uint32_t chunk_size) {
  const char* name = "StreamError";
  switch (step.kind) {
    case core::Framing::NotAStream: name = "NotAStreamError"; break;
    case core::Framing::OtherLevel: name = "StreamLevelError"; break;
    case core::Framing::Truncated: name = "TruncatedStreamError"; break;
    case core::Framing::TooLong: name = "FrameTooLargeError"; break;
    case core::Framing::Trailing: name = "TrailingDataError"; break;
    case core::Framing::Accepted:
    case core::Framing::NeedMore: break;
  }
  auto message = core::framing_message(step, level, index, chunk_size);
  if (!message.ok()) return raise_core_error(message.error());
  PyRef formats(PyImport_ImportModule("tarnel._formats"));
  if (!formats) return nullptr;
  PyRef cls(PyObject_GetAttrString(formats.get(), name));
  if (!cls) return nullptr;
  PyErr_SetString(cls.get(), message.value().c_str());
  return nullptr;
}

constexpr Param kLevelSizesParams[] = {{"level", Kind::U32}};
constexpr Signature kLevelSizesSig{"level_sizes()", kLevelSizesParams};

PyObject* level_sizes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind_args(kLevelSizesSig, args, nargs, kwnames, a)) return nullptr;
    const auto level = level_of(a.u32(0));
    if (!level) return nullptr;
    const core::StreamSizes s = core::stream_sizes(*level);
    auto n = [](size_t v) { return static_cast<Py_ssize_t>(v); };
    return Py_BuildValue("{snsnsnsnsnsn}", "public_key", n(s.public_key_len), "secret_key",
                         n(s.secret_key_len), "capsule", n(s.capsule_len), "header",
                         n(s.header_len), "dk_pke", n(s.dk_pke_len), "wrapped_key",
                         n(s.wrapped_key_len));
  });
}

constexpr Param kReadHeaderParams[] = {
    {"head", Kind::Bytes}, {"level", Kind::U32}, {"at_end", Kind::Object}};
constexpr Signature kReadHeaderSig{"read_header()", kReadHeaderParams};

PyObject* read_header(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind_args(kReadHeaderSig, args, nargs, kwnames, a)) return nullptr;
    const auto level = level_of(a.u32(1));
    if (!level) return nullptr;
    const int at_end = PyObject_IsTrue(a.object(2));
    if (at_end < 0) return nullptr;
    const core::FrameStep step = core::read_stream_header(a.bytes(0), *level, at_end != 0);
    if (step.kind == core::Framing::NeedMore)
      return Py_BuildValue("(nn)", Py_ssize_t{0}, static_cast<Py_ssize_t>(step.total));
    if (step.kind == core::Framing::Accepted)
      return Py_BuildValue("(nk)", static_cast<Py_ssize_t>(step.total),
                           static_cast<unsigned long>(step.length));
    return raise_framing(step, *level, 0, 0);
  });
}

constexpr Param kReadFrameParams[] = {
    {"prefix", Kind::Bytes}, {"have", Kind::I64}, {"chunk_size", Kind::U32},
    {"index", Kind::I64},    {"at_end", Kind::Object}};
constexpr Signature kReadFrameSig{"read_frame()", kReadFrameParams};

PyObject* read_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind_args(kReadFrameSig, args, nargs, kwnames, a)) return nullptr;
    const int at_end = PyObject_IsTrue(a.object(4));
    if (at_end < 0) return nullptr;
    if (a.i64(1) < 0 || a.i64(3) < 0)
      return raise_exception(Exc::InvalidParameterError, "negative count");
    const uint32_t chunk_size = a.u32(2);
    const core::FrameStep step = core::read_frame(a.bytes(0), static_cast<size_t>(a.i64(1)),
                                                  chunk_size, at_end != 0);
    if (step.kind == core::Framing::Accepted || step.kind == core::Framing::NeedMore)
      return PyLong_FromUnsignedLong(step.length);
    // The level enters no frame message.
    return raise_framing(step, core::Level::MlKem768, static_cast<uint64_t>(a.i64(3)), chunk_size);
  });
}

constexpr Param kReadAfterEndParams[] = {{"have", Kind::I64}, {"at_end", Kind::Object}};
constexpr Signature kReadAfterEndSig{"read_after_end()", kReadAfterEndParams};

PyObject* read_after_end(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind_args(kReadAfterEndSig, args, nargs, kwnames, a)) return nullptr;
    const int at_end = PyObject_IsTrue(a.object(1));
    if (at_end < 0) return nullptr;
    if (a.i64(0) < 0) return raise_exception(Exc::InvalidParameterError, "negative count");
    const core::FrameStep step = core::read_after_end(static_cast<size_t>(a.i64(0)), at_end != 0);
    if (step.kind == core::Framing::Accepted || step.kind == core::Framing::NeedMore)
      return PyBool_FromLong(step.kind == core::Framing::Accepted);
    return raise_framing(step, core::Level::MlKem768, 0, 0);
  });
}

// ---- public key text ----

constexpr Param kPublicKeyTextParams[] = {
    {"public_key", Kind::Bytes}, {"level", Kind::U32}, {"form", Kind::Str}};
constexpr Signature kPublicKeyTextSig{"public_key_text()", kPublicKeyTextParams};

// public_key_text writes a public key as KeyPair.public_key_pem() and
// public_key_json() do, for a key that has no KeyPair (one taken out of a
// secret key).
PyObject* public_key_text(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind_args(kPublicKeyTextSig, args, nargs, kwnames, a)) return nullptr;
    const auto level = level_of(a.u32(1));
    if (!level) return nullptr;
    const core::ByteView ek = a.bytes(0);
    if (ek.size() != core::params(*level).ek_len())
      return raise_exception(Exc::InvalidParameterError,
                             "public key size does not match the specified security level");
    const std::string_view form = a.str(2);
    std::string text;
    if (form == "pem") {
      text = core::write_pem_block(core::kPublicKeyPem, ek);
    } else if (form == "json") {
      text = core::write_public_key_json(ek, *level);
    } else {
      return raise_exception(Exc::InvalidParameterError, "form must be 'pem' or 'json'");
    }
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// ---- encryption ----

constexpr Param kEncryptParams[] = {
    {"in_fd", Kind::U32},      {"in_offset", Kind::I64},  {"out_fd", Kind::U32},
    {"out_name", Kind::Object}, {"public_key", Kind::Bytes}, {"chunk_size", Kind::U32},
    {"level", Kind::U32},      {"progress", Kind::Object}, {"total", Kind::Object},
    {"in_name", Kind::Object, true},
};
constexpr Signature kEncryptSig{"encrypt_fd()", kEncryptParams};

// encrypt_file_fd is encrypt_fd, the arguments bound in `a`; with `armor`
// the stream goes out as an armor block (BEGIN line, Base64 lines, END line),
// each slab encoded before it is written.
PyObject* encrypt_file_fd(const Bound& a, core::ArmorEncoder* armor) {
  {
    const int in_fd = static_cast<int>(a.u32(0));
    int64_t offset = a.i64(1);
    const int out_fd = static_cast<int>(a.u32(2));
    const Reporter reporter{a.object(7), a.object(8)};
    const auto level = level_of(a.u32(6));
    if (!level) return nullptr;
    if (offset < 0) return raise_exception(Exc::InvalidParameterError, "negative offset");

    std::optional<core::Result<core::StreamEncryptorStart>> start;
    {
      ReleaseGil nogil;
      start.emplace(core::StreamEncryptor::create(a.bytes(4), a.u32(5), *level));
    }
    if (!start->ok()) return raise_core_error(start->error());
    core::StreamEncryptor enc = std::move(start->value().encryptor);
    const core::Bytes header = std::move(start->value().header);

    // The input must end where its size says, and look the same at its end.
    Snapshot before{};
    if (!snapshot_of(in_fd, before)) return raise_os_error(errno, a.object(9));
    const int64_t expected_end = std::max(before.size, offset);
    bool changed = false;

    const size_t chunk = enc.chunk_size();
    const size_t frame = chunk + kFrameOverhead;
    const size_t per_slab = frames_per_slab(frame, (remaining(in_fd, offset) + chunk - 1) / chunk);
    // Each slab holds per_slab frames, and the first also the header and the
    // last also the end marker.
    std::vector<Slab> slabs(slab_count(per_slab * frame));
    for (Slab& s : slabs) s.buf.resize(per_slab * frame + header.size() + core::kEofMarkerLen);
    core::SecretBytes plain(per_slab * chunk);

    Writer writer(out_fd, slabs.size());
    if (!writer.start()) return raise_os_error(EAGAIN, nullptr);
    int64_t done = 0;
    bool ended = false;
    std::vector<int64_t> marks;
    for (size_t k = 0; !ended; ++k) {
      Slab& slab = slabs[k % slabs.size()];
      marks.clear();
      int read_error = 0;
      std::optional<core::Error> crypt_error;
      {
        ReleaseGil nogil;
        writer.wait_free(&slab);
        uint8_t* p = slab.buf.data();
        if (k == 0) {
          std::memcpy(p, header.data(), header.size());
          p += header.size();
        }
        const ssize_t got = read_at(in_fd, plain.data(), plain.size(), offset);
        if (got < 0) {
          read_error = errno;
        } else {
          const size_t n = static_cast<size_t>(got);
          for (size_t at = 0; at < n; at += chunk) {
            const size_t len = std::min(chunk, n - at);
            core::Status s = enc.encrypt_chunk_into(
                core::MutableBytes(p, len + kFrameOverhead), core::ByteView(plain.data() + at, len));
            if (!s.ok()) {
              crypt_error = s.error();
              break;
            }
            p += len + kFrameOverhead;
            done += static_cast<int64_t>(len);
            marks.push_back(done);
          }
          offset += got;
          if (n == plain.size() ? offset > expected_end : offset != expected_end) {
            changed = true;  // read past the end it had, or ended before it
          } else if (!crypt_error && n < plain.size()) {
            Snapshot after{};
            if (!snapshot_of(in_fd, after)) read_error = errno;
            changed = read_error == 0 && after != before;
          }
          if (!crypt_error && !changed && read_error == 0 && n < plain.size()) {
            // The input ended: the end marker goes out with this slab.
            auto marker = core::StreamEncryptor::finalize(std::move(enc));
            if (!marker.ok()) {
              crypt_error = marker.error();
            } else {
              std::memcpy(p, marker.value().data(), core::kEofMarkerLen);
              p += core::kEofMarkerLen;
              ended = true;
            }
          }
        }
        slab.out.assign(1, iovec{slab.buf.data(), static_cast<size_t>(p - slab.buf.data())});
        if (armor != nullptr && !crypt_error && !changed && read_error == 0) {
          const core::ByteView bytes(slab.buf.data(), static_cast<size_t>(p - slab.buf.data()));
          crypt_error = armor_slab(*armor, core::kStreamArmor, slab, bytes, k == 0, ended);
        }
      }
      if (read_error != 0)
        return writer.abandon(raise_os_error(read_error, a.object(9)));
      if (crypt_error) return writer.abandon(raise_core_error(*crypt_error));
      if (changed)
        return writer.abandon(
            Py_BuildValue("(lL)", long{kChanged}, static_cast<long long>(done)));
      if (!writer.hand_over(&slab)) break;  // the write error is raised below
      if (!reporter.report(marks)) return writer.abandon(nullptr);
    }
    const int err = writer.close();
    if (err != 0) return raise_os_error(err, a.object(3));
    return Py_BuildValue("(lL)", long{kComplete}, static_cast<long long>(done));
  }
}

PyObject* encrypt_fd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind_args(kEncryptSig, args, nargs, kwnames, a)) return nullptr;
    return encrypt_file_fd(a, nullptr);
  });
}

constexpr Signature kEncryptArmoredSig{"encrypt_armored_fd()", kEncryptParams};

PyObject* encrypt_armored_fd(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind_args(kEncryptArmoredSig, args, nargs, kwnames, a)) return nullptr;
    core::ArmorEncoder armor;
    return encrypt_file_fd(a, &armor);
  });
}

// ---- streams through pipes ----

constexpr Param kEncryptStreamParams[] = {
    {"in_fd", Kind::U32},      {"prefix", Kind::Bytes},     {"out_fd", Kind::U32},
    {"out_name", Kind::Object}, {"public_key", Kind::Bytes}, {"chunk_size", Kind::U32},
    {"level", Kind::U32},      {"progress", Kind::Object},  {"total", Kind::Object},
    {"in_name", Kind::Object},
};
constexpr Signature kEncryptStreamSig{"encrypt_stream_fd()", kEncryptStreamParams};

// encrypt_stream_fd encrypts `prefix` and then what in_fd reads up to its end
// into out_fd, everything on the calling thread: a pipe on either side may
// block for as long as its other end wishes, and a signal must still stop
// the work (a writer thread would block it there). Slabs of about 1 MiB are
// read, encrypted and written in turn; the processes on the other ends of
// the pipes work meanwhile.
PyObject* encrypt_stream_fd(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind_args(kEncryptStreamSig, args, nargs, kwnames, a)) return nullptr;
    const int in_fd = static_cast<int>(a.u32(0));
    core::ByteView prefix = a.bytes(1);
    const int out_fd = static_cast<int>(a.u32(2));
    const Reporter reporter{a.object(7), a.object(8)};
    const auto level = level_of(a.u32(6));
    if (!level) return nullptr;

    std::optional<core::Result<core::StreamEncryptorStart>> start;
    {
      ReleaseGil nogil;
      start.emplace(core::StreamEncryptor::create(a.bytes(4), a.u32(5), *level));
    }
    if (!start->ok()) return raise_core_error(start->error());
    core::StreamEncryptor enc = std::move(start->value().encryptor);
    const core::Bytes header = std::move(start->value().header);

    const size_t chunk = enc.chunk_size();
    const size_t per_slab = frames_per_slab(chunk + kFrameOverhead, SIZE_MAX);
    core::SecretBytes plain(per_slab * chunk);
    std::vector<uint8_t> out(per_slab * (chunk + kFrameOverhead) + header.size() +
                             core::kEofMarkerLen);
    int64_t done = 0;
    std::vector<int64_t> marks;
    for (bool first = true, ended = false; !ended; first = false) {
      // Fill the slab: what was read ahead of us, then the descriptor.
      size_t have = std::min(prefix.size(), plain.size());
      std::memcpy(plain.data(), prefix.data(), have);
      prefix = prefix.subspan(have);
      bool at_end = false;
      while (have < plain.size()) {
        const ssize_t r = interruptible(
            [&] { return ::read(in_fd, plain.data() + have, plain.size() - have); });
        if (r == -2) return nullptr;
        if (r < 0) return raise_os_error(errno, a.object(9));
        if (r == 0) {
          at_end = true;
          break;
        }
        have += static_cast<size_t>(r);
      }
      uint8_t* p = out.data();
      if (first) {
        std::memcpy(p, header.data(), header.size());
        p += header.size();
      }
      marks.clear();
      std::optional<core::Error> crypt_error;
      {
        ReleaseGil nogil;
        for (size_t at = 0; at < have; at += chunk) {
          const size_t len = std::min(chunk, have - at);
          core::Status st = enc.encrypt_chunk_into(core::MutableBytes(p, len + kFrameOverhead),
                                                   core::ByteView(plain.data() + at, len));
          if (!st.ok()) {
            crypt_error = st.error();
            break;
          }
          p += len + kFrameOverhead;
          done += static_cast<int64_t>(len);
          marks.push_back(done);
        }
        if (!crypt_error && at_end) {
          auto marker = core::StreamEncryptor::finalize(std::move(enc));
          if (!marker.ok()) {
            crypt_error = marker.error();
          } else {
            std::memcpy(p, marker.value().data(), core::kEofMarkerLen);
            p += core::kEofMarkerLen;
            ended = true;
          }
        }
      }
      if (crypt_error) return raise_core_error(*crypt_error);
      for (const uint8_t* q = out.data(); q < p;) {
        const ssize_t w = interruptible(
            [&] { return ::write(out_fd, q, static_cast<size_t>(p - q)); });
        if (w == -2) return nullptr;
        if (w < 0) return raise_os_error(errno, a.object(3));
        if (w == 0) return raise_os_error(ENOSPC, a.object(3));
        q += w;
      }
      if (!reporter.report(marks)) return nullptr;
    }
    return PyLong_FromLongLong(done);
  });
}

// ---- decryption ----

constexpr Param kDecryptParams[] = {
    {"in_fd", Kind::U32},     {"in_offset", Kind::I64}, {"out_fd", Kind::U32},
    {"out_name", Kind::Object}, {"header", Kind::Bytes}, {"secret_key", Kind::Bytes},
    {"level", Kind::U32},     {"progress", Kind::Object}, {"total", Kind::Object},
    {"in_name", Kind::Object, true},
};
constexpr Signature kDecryptSig{"decrypt_fd()", kDecryptParams};

// decrypt_frames decrypts the frames read from `src` (the stream from
// `offset` on) into out_fd; the arguments are decrypt_fd's, in `a`. An
// ArmorSource's fault ends it like a framing fault, after what verified
// before it is written, and is returned as the third item.
template <class Source>
PyObject* decrypt_frames(const Bound& a, Source& src, int64_t offset, uint64_t size_hint) {
    const int out_fd = static_cast<int>(a.u32(2));
    const Reporter reporter{a.object(7), a.object(8)};
    const auto level = level_of(a.u32(6));
    if (!level) return nullptr;

    std::optional<core::Result<core::StreamDecryptor>> made;
    {
      ReleaseGil nogil;
      made.emplace(core::StreamDecryptor::create(a.bytes(4), a.bytes(5), *level));
    }
    if (!made->ok()) return raise_core_error(made->error());
    core::StreamDecryptor dec = std::move(made->value());

    const size_t chunk = dec.chunk_size();
    const size_t frame = chunk + kFrameOverhead;
    // Whole frames per slab: a stream of full frames is read frame-aligned,
    // and nothing is carried over from one slab to the next.
    const size_t cap = frames_per_slab(frame, (size_hint + frame - 1) / frame) * frame;
    std::vector<Slab> slabs(slab_count(cap));
    for (Slab& s : slabs) s.buf.resize(cap);

    Writer writer(out_fd, slabs.size());
    if (!writer.start()) return raise_os_error(EAGAIN, nullptr);
    int64_t done = 0;
    int64_t index = 0;
    bool complete = false;
    std::optional<core::FrameStep> fault;  // a framing fault, named below
    // Bytes read past the frames taken, carried to the front of the next slab.
    std::vector<uint8_t> carry_room;
    size_t carried = 0;
    std::vector<int64_t> marks;
    for (size_t k = 0; !complete && !fault; ++k) {
      Slab& slab = slabs[k % slabs.size()];
      marks.clear();
      int read_error = 0;
      std::optional<core::Error> crypt_error;
      {
        ReleaseGil nogil;
        writer.wait_free(&slab);
        uint8_t* buf = slab.buf.data();
        slab.out.clear();
        // Fill the slab after what the previous one left over.
        size_t have = carried;
        if (carried > 0) std::memcpy(buf, carry_room.data(), carried);
        const ssize_t got = src.read(buf + have, cap - have);
        if (got < 0) {
          read_error = errno;
        } else {
          have += static_cast<size_t>(got);
          // The input ends inside this slab. Otherwise the slab is full, and
          // it holds at least its first frame whole (cap >= frame).
          const bool at_end = have < cap && !src.faulted();
          size_t at = 0;
          for (;;) {
            const core::FrameStep step = core::read_frame(
                core::ByteView(buf + at, have - at), have - at, dec.chunk_size(), at_end);
            if (step.kind == core::Framing::NeedMore) break;  // the rest comes with the next slab
            if (step.kind != core::Framing::Accepted) {
              fault = step;
              break;
            }
            const uint32_t len = step.length;
            uint8_t* ct = buf + at + core::kFrameLengthLen;
            const core::ByteView tag(ct + len, core::kGcmTagLen);
            if (len == 0) {
              core::Status s = dec.process_eof(tag);
              if (!s.ok()) {
                crypt_error = s.error();
                break;
              }
              at += kFrameOverhead;
              // Nothing may follow the marker.
              uint8_t probe = 0;
              const ssize_t more =
                  at < have ? 1 : src.read(&probe, 1);
              if (more < 0) {
                read_error = errno;
                break;
              }
              if (src.faulted()) break;  // the armor around the stream is at fault
              const core::FrameStep after = core::read_after_end(static_cast<size_t>(more), true);
              if (after.kind == core::Framing::Accepted) {
                complete = true;
              } else {
                fault = after;
              }
              break;
            }
            core::Status s = dec.decrypt_chunk_into(core::MutableBytes(ct, len),
                                                    core::ByteView(ct, len), tag);
            if (!s.ok()) {
              crypt_error = s.error();
              break;
            }
            slab.out.push_back(iovec{ct, len});
            at += step.total;
            done += len;
            ++index;
            marks.push_back(offset + static_cast<int64_t>(at));
          }
          // Keep what is not taken for the next slab (less than one frame).
          carried = have - at;
          if (!complete && !fault && !crypt_error && read_error == 0) {
            carry_room.assign(buf + at, buf + have);
          } else {
            carried = 0;
          }
          offset += static_cast<int64_t>(at);
        }
      }
      if (read_error != 0)
        return writer.abandon(raise_os_error(read_error, a.object(9)));
      // What verified before a failure is written, as chunk by chunk would.
      if (!slab.out.empty() && !writer.hand_over(&slab)) break;  // the write error is raised below
      const bool armor_fault = src.faulted() && !crypt_error && !fault;
      if (crypt_error || fault || armor_fault) {
        const int err = writer.close();
        if (err != 0) return raise_os_error(err, a.object(3));
        if (crypt_error) return raise_core_error(*crypt_error);
        if (armor_fault) {
          PyRef why(src.fault_tuple());
          if (!why) return nullptr;
          return Py_BuildValue("(LLO)", static_cast<long long>(offset),
                               static_cast<long long>(done), why.get());
        }
        return raise_framing(*fault, *level, static_cast<uint64_t>(index), dec.chunk_size());
      }
      if (!reporter.report(marks)) return writer.abandon(nullptr);
    }
    const int err = writer.close();
    if (err != 0) return raise_os_error(err, a.object(3));
    return Py_BuildValue("(LLO)", static_cast<long long>(offset), static_cast<long long>(done),
                         Py_None);
}

PyObject* decrypt_fd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind_args(kDecryptSig, args, nargs, kwnames, a)) return nullptr;
    const int in_fd = static_cast<int>(a.u32(0));
    const int64_t offset = a.i64(1);  // of the first frame
    if (offset < 0) return raise_exception(Exc::InvalidParameterError, "negative offset");
    FileSource src{in_fd, offset};
    PyRef r(decrypt_frames(a, src, offset, remaining(in_fd, offset)));
    if (!r) return nullptr;
    return Py_BuildValue("(OO)", PyTuple_GetItem(r.get(), 0), PyTuple_GetItem(r.get(), 1));
  });
}

constexpr Signature kDecryptArmoredSig{"decrypt_armored_fd()", kDecryptParams};

PyObject* decrypt_armored_fd(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind_args(kDecryptArmoredSig, args, nargs, kwnames, a)) return nullptr;
    const int in_fd = static_cast<int>(a.u32(0));
    const int64_t offset = a.i64(1);  // of the armor block's text
    // The stream's header, read already, is passed over.
    const int64_t skip = static_cast<int64_t>(a.bytes(4).size());
    if (offset < 0) return raise_exception(Exc::InvalidParameterError, "negative offset");
    ArmorSource src(in_fd, offset, static_cast<uint64_t>(skip));
    if (!src.start()) return raise_os_error(EAGAIN, nullptr);
    return decrypt_frames(a, src, skip, remaining(in_fd, offset) / 4 * 3);
  });
}

const PyMethodDef* methods();

const PyMethodDef kFileMethods[] = {
    {"level_sizes", fastcall_keywords(&level_sizes), METH_FASTCALL | METH_KEYWORDS,
     "level_sizes(level)\n--\n\n"
     "The byte sizes of one level (512, 768 or 1024), as a dict: public_key,\n"
     "secret_key, capsule, header (of a stream), dk_pke (the K-PKE part that\n"
     "opens a secret key) and wrapped_key (a secret key wrapped under a password)."},
    {"read_header", fastcall_keywords(&read_header), METH_FASTCALL | METH_KEYWORDS,
     "read_header(head, level, at_end)\n--\n\n"
     "Look at the first bytes of a stream for a key of `level`; at_end says the\n"
     "input ends after them. Returns (header_length, chunk_size) for a header,\n"
     "(0, n) when n bytes from the start are needed to tell, and raises the\n"
     "StreamError kind that says what the input is otherwise."},
    {"read_frame", fastcall_keywords(&read_frame), METH_FASTCALL | METH_KEYWORDS,
     "read_frame(prefix, have, chunk_size, index, at_end)\n--\n\n"
     "Look at frame `index`, of which `have` bytes are there and prefix holds\n"
     "the first (its length field when have >= 4). Returns the ciphertext length\n"
     "once the length field is there (else 0); raises FrameTooLargeError or, when\n"
     "at_end, TruncatedStreamError for a frame cut short."},
    {"read_after_end", fastcall_keywords(&read_after_end), METH_FASTCALL | METH_KEYWORDS,
     "read_after_end(have, at_end)\n--\n\n"
     "Look at the `have` bytes after the end-of-stream marker: True when there are\n"
     "none and the input ends, False while it may go on, TrailingDataError else."},
    {"public_key_text", fastcall_keywords(&public_key_text), METH_FASTCALL | METH_KEYWORDS,
     "public_key_text(public_key, level, form)\n--\n\n"
     "The public key as KeyPair.public_key_pem() (form 'pem') or\n"
     "KeyPair.public_key_json() (form 'json') writes it."},
    {"encrypt_fd", fastcall_keywords(&encrypt_fd), METH_FASTCALL | METH_KEYWORDS,
     "encrypt_fd(in_fd, in_offset, out_fd, out_name, public_key, chunk_size, level, "
     "progress, total, in_name=None)\n--\n\n"
     "Encrypt the file open as in_fd, from in_offset to its end, into a stream\n"
     "written to out_fd. Returns (outcome, plaintext_bytes): outcome 0 when the\n"
     "stream is complete, 3 when the input changed while it was read (its size,\n"
     "modification or change time; the stream is then left without its end).\n"
     "Read errors name in_name."},
    {"decrypt_fd", fastcall_keywords(&decrypt_fd), METH_FASTCALL | METH_KEYWORDS,
     "decrypt_fd(in_fd, in_offset, out_fd, out_name, header, secret_key, level, "
     "progress, total, in_name=None)\n--\n\n"
     "Decrypt the frames of a stream read from in_fd at in_offset (just after its\n"
     "header) into out_fd, up to its end marker, which must end the input.\n"
     "Returns (end_offset, plaintext_bytes). A frame cut short or too long, or\n"
     "data after the marker, raises its StreamError kind, a frame that does not\n"
     "verify DecryptionError, after the chunks that verified before it were\n"
     "written. Read errors name in_name."},
    {"encrypt_armored_fd", fastcall_keywords(&encrypt_armored_fd), METH_FASTCALL | METH_KEYWORDS,
     "encrypt_armored_fd(in_fd, in_offset, out_fd, out_name, public_key, chunk_size, level, "
     "progress, total, in_name=None)\n--\n\n"
     "encrypt_fd writing the stream as an armor block: the BEGIN line, the stream\n"
     "in Base64 lines of 64 characters and the END line, as tarnel.armor.ArmorWriter\n"
     "writes them."},
    {"encrypt_stream_fd", fastcall_keywords(&encrypt_stream_fd), METH_FASTCALL | METH_KEYWORDS,
     "encrypt_stream_fd(in_fd, prefix, out_fd, out_name, public_key, chunk_size, level, "
     "progress, total, in_name)\n--\n\n"
     "Encrypt prefix and then what in_fd reads, to its end, into a stream written\n"
     "to out_fd, all on the calling thread, so that a signal stops it while a pipe\n"
     "blocks. Returns the plaintext bytes. Read errors name in_name, write errors\n"
     "out_name; a signal handler's exception stops the work (the output is then\n"
     "a stream without its end)."},
    {"decrypt_armored_fd", fastcall_keywords(&decrypt_armored_fd), METH_FASTCALL | METH_KEYWORDS,
     "decrypt_armored_fd(in_fd, in_offset, out_fd, out_name, header, secret_key, level, "
     "progress, total, in_name=None)\n--\n\n"
     "decrypt_fd for a stream in an armor block whose text starts at in_offset:\n"
     "the block is decoded as tarnel.armor.ArmorReader decodes it, the stream's\n"
     "header (read already) passed over. Returns (end, plaintext_bytes,\n"
     "fault): end counts stream bytes; fault is None, or the armor's fault as\n"
     "armor_decode names it, met where the reader would meet it (after the chunks\n"
     "that verified before it were written)."},
};

// methods is the module's table: the file functions, then the armor codec's.
const PyMethodDef* methods() {
  static const auto table = [] {
    std::array<PyMethodDef,
               std::size(kFileMethods) + kArmorMethodCount + kPayloadMethodCount + 1> t{};
    auto at = std::copy(std::begin(kFileMethods), std::end(kFileMethods), t.begin());
    at = std::copy(std::begin(kArmorMethods), std::end(kArmorMethods), at);
    std::copy(std::begin(kPayloadMethods), std::end(kPayloadMethods), at);
    t.back() = PyMethodDef{nullptr, nullptr, 0, nullptr};
    return t;
  }();
  return table.data();
}

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_tarnel_fileio",
    "Whole files through the stream format and the multi-recipient format's\n"
    "payload, with the interpreter lock released.",
    0,
    nullptr,  // set from methods() before the module is made
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pyext

// The module's constants: the armor lines and limits (armor_codec.h), the
// largest chunk size, a frame's bytes beyond its ciphertext (length field
// and tag) and the parts of it, the longest stream header, and where a
// wrapped secret key's version and level bytes stand.
PyMODINIT_FUNC PyInit__tarnel_fileio() {
  pyext::kModule.m_methods = const_cast<PyMethodDef*>(pyext::methods());
  PyObject* m = PyModule_Create(&pyext::kModule);
  if (m == nullptr) return nullptr;
  if (pyext::add_armor_constants(m) < 0) {
    Py_DECREF(m);
    return nullptr;
  }
  if (PyModule_AddIntConstant(m, "MAX_CHUNK_SIZE", long{core::kMaxChunkSize}) < 0 ||
      PyModule_AddIntConstant(m, "FRAME_OVERHEAD", long{core::kFrameOverhead}) < 0 ||
      PyModule_AddIntConstant(m, "FRAME_LENGTH_LEN", long{core::kFrameLengthLen}) < 0 ||
      PyModule_AddIntConstant(m, "TAG_LEN", long{core::kGcmTagLen}) < 0 ||
      PyModule_AddIntConstant(m, "MAX_HEADER_LEN", long{core::kMaxStreamHeaderLen}) < 0 ||
      PyModule_AddIntConstant(m, "BLOB_VERSION_OFFSET", long{core::kWrapVersionOffset}) < 0 ||
      PyModule_AddIntConstant(m, "BLOB_LEVEL_OFFSET", long{core::kWrapLevelOffset}) < 0) {
    Py_DECREF(m);
    return nullptr;
  }
  PyObject* magic = PyBytes_FromStringAndSize(
      reinterpret_cast<const char*>(core::kWrapMagic.data()), core::kWrapMagic.size());
  const int added = magic == nullptr ? -1 : PyModule_AddObjectRef(m, "BLOB_MAGIC", magic);
  Py_XDECREF(magic);
  if (added < 0) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
