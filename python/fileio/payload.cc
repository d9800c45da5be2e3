// The payload of the multi-recipient file format (docs/file-format.md), a
// whole file at a time, with the interpreter lock released: the engine of
// fileio.cc (slabs of about 1 MiB, a writer thread, progress and signals
// between slabs) around the core's chunk runs (core/file_format/payload.h).
//
// The header stays the package's: it writes the header before calling
// file_encrypt_fd, and reads it (and finds the file key) before calling
// file_decrypt_fd. Which chunk is the last is known only where the input
// ends, so each slab keeps its last whole chunk back for the next one until
// a read comes up short.
//
// A chunk that does not open and a last chunk too short to be one are not
// raised here: the call returns what failed, and the package raises its
// own error for it, as it does on its chunk-by-chunk path.
#include "python/fileio/payload.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "core/file_format/payload.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/error.h"
#include "python/fileio/engine.h"

namespace pyext {
namespace {

namespace ff = core::file_format;

constexpr size_t kTag = ff::kTagLen;

// whole_units is how many units of `unit` bytes make a slab: about
// kSlabBytes, no more than the input's `needed` units and one (a small file
// gets small buffers), and at least two, so that a slab that keeps one back
// still takes one.
size_t whole_units(size_t unit, uint64_t needed) {
  return static_cast<size_t>(
      std::max<uint64_t>(2, std::min<uint64_t>(kSlabBytes / unit, needed + 1)));
}

bool checked_keys(const Bound& a, size_t key_at, uint32_t chunk_size) {
  if (a.bytes(key_at).size() != ff::kFileKeyLen ||
      a.bytes(key_at + 1).size() != ff::kPayloadNonceLen) {
    raise_exception(Exc::InvalidParameterError, "file key and payload nonce must be 32 bytes");
    return false;
  }
  if (chunk_size == 0) {
    raise_exception(Exc::InvalidParameterError, "chunk size must not be zero");
    return false;
  }
  return true;
}

// ---- encryption ----

constexpr Param kEncryptParams[] = {
    {"in_fd", Kind::U32},          {"in_offset", Kind::I64},     {"out_fd", Kind::U32},
    {"out_name", Kind::Object},    {"header", Kind::Bytes},      {"file_key", Kind::Bytes},
    {"payload_nonce", Kind::Bytes}, {"chunk_size", Kind::U32},   {"progress", Kind::Object},
    {"total", Kind::Object},       {"in_name", Kind::Object, true},
    {"armored", Kind::Object, true},
};
constexpr Signature kEncryptSig{"file_encrypt_fd()", kEncryptParams};

PyObject* file_encrypt_fd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind_args(kEncryptSig, args, nargs, kwnames, a)) return nullptr;
    const int in_fd = static_cast<int>(a.u32(0));
    int64_t offset = a.i64(1);
    const int out_fd = static_cast<int>(a.u32(2));
    const core::ByteView header = a.bytes(4), file_key = a.bytes(5), nonce = a.bytes(6);
    const size_t chunk = a.u32(7);
    const Reporter reporter{a.object(8), a.object(9)};
    PyObject* in_name = a.object(10);
    const int armored = a.object(11) == nullptr ? 0 : PyObject_IsTrue(a.object(11));
    if (armored < 0) return nullptr;
    if (offset < 0) return raise_exception(Exc::InvalidParameterError, "negative offset");
    if (!checked_keys(a, 5, a.u32(7))) return nullptr;

    // The input must end where its size says, and look the same at its end.
    Snapshot before{};
    if (!snapshot_of(in_fd, before)) return raise_os_error(errno, in_name);
    const int64_t expected_end = std::max(before.size, offset);

    const size_t per_slab = whole_units(chunk, (remaining(in_fd, offset) + chunk - 1) / chunk);
    core::SecretBytes plain(per_slab * chunk);
    // The first slab holds the header too.
    std::vector<Slab> slabs(slab_count(per_slab * (chunk + kTag)));
    for (Slab& s : slabs) s.buf.resize(per_slab * (chunk + kTag) + header.size());
    core::ArmorEncoder armor;

    Writer writer(out_fd, slabs.size());
    if (!writer.start()) return raise_os_error(EAGAIN, nullptr);
    int64_t done = 0;
    uint64_t index = 0;
    size_t carried = 0;  // plaintext kept at the front of `plain`
    bool ended = false, changed = false;
    std::vector<int64_t> marks;
    for (size_t k = 0; !ended; ++k) {
      Slab& slab = slabs[k % slabs.size()];
      marks.clear();
      int read_error = 0;
      std::optional<core::Error> crypt_error;
      {
        ReleaseGil nogil;
        writer.wait_free(&slab);
        const ssize_t got = read_at(in_fd, plain.data() + carried, plain.size() - carried, offset);
        if (got < 0) {
          read_error = errno;
        } else {
          offset += got;
          const size_t have = carried + static_cast<size_t>(got);
          ended = have < plain.size();
          if (!ended ? offset > expected_end : offset != expected_end) {
            changed = true;  // read past the end it had, or ended before it
          } else if (ended) {
            Snapshot after{};
            if (!snapshot_of(in_fd, after)) read_error = errno;
            changed = read_error == 0 && after != before;
          }
          // A full slab keeps its last chunk back: it may be the file's last.
          const size_t take = ended ? have : have - chunk;
          const size_t sealed = *ff::sealed_run_len(take, chunk, ended);
          const size_t head = k == 0 ? header.size() : 0;
          if (!changed && read_error == 0) {
            std::memcpy(slab.buf.data(), header.data(), head);
            const core::ByteView run(plain.data(), take);
            core::Status s = ff::seal_chunks(core::MutableBytes(slab.buf.data() + head, sealed),
                                             file_key, nonce, index, chunk, run, ended);
            if (!s.ok()) crypt_error = s.error();
          }
          if (!changed && read_error == 0 && !crypt_error) {
            const uint64_t chunks = ended ? std::max<size_t>(1, (take + chunk - 1) / chunk)
                                          : take / chunk;
            for (size_t at = 0; at < take; at += chunk) {
              done += static_cast<int64_t>(std::min(chunk, take - at));
              marks.push_back(done);
            }
            index += chunks;
            const core::ByteView bytes(slab.buf.data(), head + sealed);
            slab.out.assign(1, iovec{slab.buf.data(), bytes.size()});
            if (armored != 0)
              crypt_error = armor_slab(armor, core::kFileArmor, slab, bytes, k == 0, ended);
            carried = have - take;
            std::memmove(plain.data(), plain.data() + take, carried);
          }
        }
      }
      if (read_error != 0) return writer.abandon(raise_os_error(read_error, in_name));
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
  });
}

// ---- decryption ----

constexpr Param kDecryptParams[] = {
    {"in_fd", Kind::U32},         {"in_offset", Kind::I64},  {"out_fd", Kind::U32},
    {"out_name", Kind::Object},   {"file_key", Kind::Bytes}, {"payload_nonce", Kind::Bytes},
    {"chunk_size", Kind::U32},    {"progress", Kind::Object}, {"total", Kind::Object},
    {"in_name", Kind::Object},    {"armor_skip", Kind::Object, true},
    {"file_label", Kind::Object, true},
};
constexpr Signature kDecryptSig{"file_decrypt_fd()", kDecryptParams};

// What ended a decryption early, for the package to raise.
enum class Failure { None, ChunkFails, ChunkTooShort };

// failing_chunk is the index of the first chunk of the sealed run `run`
// (chunks from `first` on) that does not open; the run is known to fail.
uint64_t failing_chunk(core::ByteView file_key, core::ByteView nonce, uint64_t first,
                       size_t chunk, core::ByteView run, bool ends) {
  const size_t block = chunk + kTag;
  const size_t count = ends ? std::max<size_t>(1, (run.size() + block - 1) / block)
                            : run.size() / block;
  for (size_t k = 0; k + 1 < count; ++k) {
    if (!ff::open_chunk(file_key, nonce, first + k, false, run.subspan(k * block, block)).ok())
      return first + k;
  }
  return first + count - 1;
}

// decrypt_payload decrypts the chunks `src` reads (the payload, from
// `offset` on) into out_fd; the arguments are file_decrypt_fd's, in `a`.
template <class Source>
PyObject* decrypt_payload(const Bound& a, Source& src, int64_t offset, uint64_t size_hint) {
  const int out_fd = static_cast<int>(a.u32(2));
  const core::ByteView file_key = a.bytes(4), nonce = a.bytes(5);
  const size_t chunk = a.u32(6);
  const size_t block = chunk + kTag;
  const Reporter reporter{a.object(7), a.object(8)};

  const size_t per_slab = whole_units(block, (size_hint + block - 1) / block);
  std::vector<uint8_t> sealed(per_slab * block);
  std::vector<Slab> slabs(slab_count(per_slab * chunk));
  for (Slab& s : slabs) s.buf.resize(per_slab * chunk);

  Writer writer(out_fd, slabs.size());
  if (!writer.start()) return raise_os_error(EAGAIN, nullptr);
  int64_t done = 0;
  int64_t opened_bytes = 0;  // of the payload, for progress
  uint64_t index = 0;
  size_t carried = 0;  // sealed bytes kept at the front of `sealed`
  bool ended = false;
  Failure failure = Failure::None;
  uint64_t failed_at = 0;
  std::vector<int64_t> marks;
  for (size_t k = 0; !ended && failure == Failure::None; ++k) {
    Slab& slab = slabs[k % slabs.size()];
    marks.clear();
    int read_error = 0;
    std::optional<core::Error> crypt_error;
    {
      ReleaseGil nogil;
      writer.wait_free(&slab);
      slab.out.clear();
      const ssize_t got = src.read(sealed.data() + carried, sealed.size() - carried);
      if (got < 0) {
        read_error = errno;
      } else {
        const size_t have = carried + static_cast<size_t>(got);
        // An armor fault ends the payload where it stands, after the chunks
        // before it that may not be the last.
        ended = have < sealed.size() && !src.faulted();
        size_t take = ended ? have : (have / block - 1) * block;
        if (src.faulted()) take = have < block ? 0 : (have / block - 1) * block;
        const uint64_t count = ended ? std::max<size_t>(1, (take + block - 1) / block)
                                     : take / block;
        if (ended) {
          const size_t tail = take - (count - 1) * block;
          if (tail < kTag || (tail == kTag && index + count > 1)) {
            failure = Failure::ChunkTooShort;
            failed_at = index + count - 1;
          }
        }
        if (failure == Failure::None && take > 0) {
          const core::ByteView run(sealed.data(), take);
          const size_t opened = *ff::opened_run_len(take, chunk, ended);
          core::Status s = ff::open_chunks(core::MutableBytes(slab.buf.data(), opened), file_key,
                                           nonce, index, chunk, run, ended);
          if (s.ok()) {
            slab.out.assign(1, iovec{slab.buf.data(), opened});
            for (size_t at = 0; at < take; at += block) {
              const auto step = static_cast<int64_t>(std::min(block, take - at));
              offset += step;
              opened_bytes += step;
              marks.push_back(opened_bytes);
            }
            done += static_cast<int64_t>(opened);
            index += count;
          } else if (s.error().kind == core::ErrorKind::Decryption) {
            failure = Failure::ChunkFails;
            failed_at = failing_chunk(file_key, nonce, index, chunk, run, ended);
          } else {
            crypt_error = s.error();
          }
        }
        carried = have - take;
        std::memmove(sealed.data(), sealed.data() + take, carried);
      }
    }
    if (read_error != 0)
      return writer.abandon(raise_os_error(read_error, a.object(9)));
    if (crypt_error) return writer.abandon(raise_core_error(*crypt_error));
    if (!slab.out.empty() && !writer.hand_over(&slab)) break;  // the write error is raised below
    if (src.faulted() && failure == Failure::None) break;
    if (!reporter.report(marks)) return writer.abandon(nullptr);
  }
  const int err = writer.close();
  if (err != 0) return raise_os_error(err, a.object(3));
  PyRef why;
  if (failure == Failure::ChunkFails || failure == Failure::ChunkTooShort) {
    why = PyRef(Py_BuildValue("(sK)", failure == Failure::ChunkFails ? "chunk" : "short",
                              static_cast<unsigned long long>(failed_at)));
  } else if (src.faulted()) {
    why = PyRef(src.fault_tuple());
  } else {
    why = PyRef(Py_NewRef(Py_None));
  }
  if (!why) return nullptr;
  return Py_BuildValue("(LLO)", static_cast<long long>(offset), static_cast<long long>(done),
                       why.get());
}

PyObject* file_decrypt_fd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bound a;
    if (!bind_args(kDecryptSig, args, nargs, kwnames, a)) return nullptr;
    const int in_fd = static_cast<int>(a.u32(0));
    const int64_t offset = a.i64(1);
    if (offset < 0) return raise_exception(Exc::InvalidParameterError, "negative offset");
    if (!checked_keys(a, 4, a.u32(6))) return nullptr;
    PyObject* skip = a.object(10);
    if (skip == nullptr || skip == Py_None) {
      FileSource src{in_fd, offset};
      return decrypt_payload(a, src, offset, remaining(in_fd, offset));
    }
    // The payload of an armor block whose text starts at `offset`: the
    // first `skip` decoded bytes (the header, read already) are passed over.
    const long long skipped = PyLong_AsLongLong(skip);
    if (skipped == -1 && PyErr_Occurred()) return nullptr;
    if (skipped < 0) return raise_exception(Exc::InvalidParameterError, "negative armor_skip");
    PyObject* file_label = a.object(11);
    const int file_lines = file_label == nullptr ? 0 : PyObject_IsTrue(file_label);
    if (file_lines < 0) return nullptr;
    ArmorSource src(in_fd, offset, static_cast<uint64_t>(skipped),
                    file_lines != 0 ? core::kFileArmor : core::kStreamArmor);
    if (!src.start()) return raise_os_error(EAGAIN, nullptr);
    return decrypt_payload(a, src, static_cast<int64_t>(skipped),
                           remaining(in_fd, offset) / 4 * 3);
  });
}

}  // namespace

const PyMethodDef kPayloadMethods[kPayloadMethodCount] = {
    {"file_encrypt_fd", fastcall_keywords(&file_encrypt_fd), METH_FASTCALL | METH_KEYWORDS,
     "file_encrypt_fd(in_fd, in_offset, out_fd, out_name, header, file_key, payload_nonce, "
     "chunk_size, progress, total, in_name=None, armored=False)\n--\n\n"
     "Write a file of the multi-recipient format to out_fd: `header`, then the\n"
     "file open as in_fd, from in_offset to its end, sealed as its payload; with\n"
     "armored, all of it as an armor block with the file format's lines.\n"
     "Returns (outcome, plaintext_bytes): outcome 0 when the file is complete, 3\n"
     "when the input changed while it was read (the payload is then left without\n"
     "its last chunk). Read errors name in_name."},
    {"file_decrypt_fd", fastcall_keywords(&file_decrypt_fd), METH_FASTCALL | METH_KEYWORDS,
     "file_decrypt_fd(in_fd, in_offset, out_fd, out_name, file_key, payload_nonce, "
     "chunk_size, progress, total, in_name, armor_skip=None, file_label=False)\n--\n\n"
     "Open the payload read from in_fd at in_offset (just after the header) into\n"
     "out_fd, up to the end of the input. With armor_skip, in_offset is where an\n"
     "armor block's text starts (the file format's BEGIN and END lines with\n"
     "file_label, else the stream's), and the first armor_skip decoded bytes\n"
     "(the header) are passed over. Returns (end, plaintext_bytes, failure): end the\n"
     "offset reached (in the decoded file when armored); failure None,\n"
     "('chunk', i) for the first chunk that does not open, ('short', i) for a\n"
     "last chunk too short to be one, or an armor fault as tarnel.armor reads\n"
     "it; what opened before a failure is written. progress(done, total) counts\n"
     "the payload's bytes."},
};

}  // namespace pyext
