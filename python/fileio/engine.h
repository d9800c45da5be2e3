// The machinery of tarnel._tarnel_fileio's whole-file work, shared by the
// stream (fileio.cc) and the multi-recipient format (payload.cc): slabs and
// the writer thread, reads at offsets, progress and signals, input
// snapshots, and the sources decryption reads from (a file, or the stream
// an armor block holds).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/armor_text.h"
#include "core/common/bytes.h"
#include "python/fileio/armor_codec.h"
#include "python/runtime.h"
#include "python/types.h"

namespace pyext {

// About 1 MiB per slab (whole frames, at least one), and as many slabs in
// flight as make about 6 MiB, from 3 to 6: measured on tmpfs, small slabs
// that stay in the caches between the cipher and the write beat large ones.
inline constexpr size_t kSlabBytes = size_t{1} << 20;
inline constexpr size_t kInFlightBytes = size_t{6} << 20;
inline constexpr size_t kMinSlabs = 3, kMaxSlabs = 6;

// frames_per_slab is how many frames of `frame` bytes make a slab: about
// kSlabBytes, at least one, and no more than the `needed` frames of the
// input (a small file gets small buffers).
inline size_t frames_per_slab(size_t frame, uint64_t needed) {
  return std::clamp<uint64_t>(std::min<uint64_t>(kSlabBytes / frame, needed), 1, SIZE_MAX);
}

// remaining is the size of the file open as `fd` beyond `offset`, or 0 when
// it is unknown (then the slabs take their smallest size and the work is
// the same, in more steps).
inline uint64_t remaining(int fd, int64_t offset) {
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size <= offset) return 0;
  return static_cast<uint64_t>(st.st_size - offset);
}

inline size_t slab_count(size_t slab_bytes) {
  return std::clamp<size_t>(kInFlightBytes / slab_bytes, kMinSlabs, kMaxSlabs);
}
// ---- system calls ----

// read_at fills `out` from `fd` at `offset`, less only where the file ends.
// Returns the count, or -1 with errno set.
inline ssize_t read_at(int fd, uint8_t* out, size_t n, int64_t offset) noexcept {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = pread(fd, out + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

// write_all writes every byte of `iov` in order; 0, or the errno.
inline int write_all(int fd, std::vector<iovec>& iov) noexcept {
  size_t first = 0;
  while (first < iov.size()) {
    if (iov[first].iov_len == 0) {
      ++first;
      continue;
    }
    const int count = static_cast<int>(std::min<size_t>(iov.size() - first, IOV_MAX));
    const ssize_t n = writev(fd, iov.data() + first, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return ENOSPC;  // no progress: never taken as success
    size_t left = static_cast<size_t>(n);
    while (left > 0 && first < iov.size()) {
      if (left < iov[first].iov_len) {
        iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + left;
        iov[first].iov_len -= left;
        left = 0;
      } else {
        left -= iov[first].iov_len;
        ++first;
      }
    }
  }
  return 0;
}

// ---- threads of our own ----

// start_quiet launches `body` on `thread` with every signal blocked, so that
// signals reach the interpreter's thread; false if the system refused a
// thread.
template <class Body>
bool start_quiet(std::thread& thread, Body body) noexcept {
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);  // inherited by the new thread
  bool ok = true;
  try {
    thread = std::thread(std::move(body));
  } catch (...) {
    ok = false;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return ok;
}

// ---- the writer thread ----

// A slab: its buffer and, once filled, the regions to write.
struct Slab {
  core::SecretBytes buf;
  std::vector<iovec> out;
  std::vector<char> text;  // the slab as armor lines, when the output is armored
};

// armor_slab sets slab.out to `bytes` (the slab's data) as armor lines of
// `lines`: after the BEGIN line when `first`, then the lines the data
// completes (the encoder keeps the rest), then when `last` the last line and
// the END line. Returns the encoder's error, if any.
inline std::optional<core::Error> armor_slab(core::ArmorEncoder& armor, core::ArmorLines lines,
                                             Slab& slab, core::ByteView bytes, bool first,
                                             bool last) {
  const std::string_view begin = lines.begin, end = lines.end;
  const size_t body = armor.update_len(bytes.size());
  slab.text.resize((first ? begin.size() + 1 : 0) + body + core::kArmorLineChars + 1 +
                   end.size() + 1);
  char* t = slab.text.data();
  if (first) {
    std::memcpy(t, begin.data(), begin.size());
    t[begin.size()] = '\n';
    t += begin.size() + 1;
  }
  auto w = armor.update(std::span<char>(t, body), bytes);
  if (!w.ok()) return w.error();
  t += w.value();
  if (last) {
    auto tail = armor.finish(std::span<char>(t, armor.finish_len()));
    if (!tail.ok()) return tail.error();
    t += tail.value();
    std::memcpy(t, end.data(), end.size());
    t[end.size()] = '\n';
    t += end.size() + 1;
  }
  slab.out.assign(1, iovec{slab.text.data(), static_cast<size_t>(t - slab.text.data())});
  return std::nullopt;
}

// Writer writes submitted slabs in order on a thread of its own, which
// blocks every signal so that they reach the interpreter's thread.
class Writer {
 public:
  Writer(int fd, size_t slabs) : fd_(fd), slabs_(slabs) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer() { stop(); }

  // start launches the thread; false if the system refused one.
  bool start() noexcept {
    return start_quiet(thread_, [this] { run(); });
  }

  // submit queues `slab` (its `out` regions), waiting while all but one
  // slab are queued. False once the writer has failed.
  bool submit(Slab* slab) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return queue_.size() + 1 < slabs_ || error_ != 0 || cancel_; });
    if (error_ != 0 || cancel_) return false;
    queue_.push_back(slab);
    busy_.push_back(slab);
    cv_.notify_all();
    return true;
  }

  // hand_over is submit, called with the interpreter lock held, which it
  // releases while it waits.
  bool hand_over(Slab* slab) {
    ReleaseGil nogil;
    return submit(slab);
  }

  // close is finish, called with the interpreter lock held, which it
  // releases while it waits.
  int close() noexcept {
    ReleaseGil nogil;
    return finish();
  }

  // wait_free waits until `slab` is neither queued nor being written.
  void wait_free(const Slab* slab) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] {
      return std::find(busy_.begin(), busy_.end(), slab) == busy_.end();
    });
  }

  // finish waits until everything submitted is written and joins the
  // thread; returns the first write error (an errno) or 0.
  int finish() noexcept {
    {
      std::lock_guard<std::mutex> lock(mu_);
      closed_ = true;
      cv_.notify_all();
    }
    join();
    return error_;
  }

  // abandon stops the writer and returns `result` (a call's result, or
  // null with its exception set).
  PyObject* abandon(PyObject* result) noexcept {
    stop();
    return result;
  }

  // stop drops what is not yet written and joins the thread.
  void stop() noexcept {
    {
      std::lock_guard<std::mutex> lock(mu_);
      cancel_ = true;
      cv_.notify_all();
    }
    join();
  }

 private:
  void join() noexcept {
    if (thread_.joinable()) thread_.join();
  }

  void run() noexcept {
    for (;;) {
      Slab* slab = nullptr;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [&] { return !queue_.empty() || closed_ || cancel_; });
        if (cancel_ || queue_.empty()) {
          busy_.clear();
          cv_.notify_all();
          return;
        }
        slab = queue_.front();
        queue_.pop_front();
      }
      const int err = write_all(fd_, slab->out);
      std::lock_guard<std::mutex> lock(mu_);
      busy_.erase(std::find(busy_.begin(), busy_.end(), slab));
      if (err != 0) {
        error_ = err;
        queue_.clear();
        busy_.clear();
        cv_.notify_all();
        return;
      }
      cv_.notify_all();
    }
  }

  int fd_;
  size_t slabs_;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Slab*> queue_;
  std::vector<Slab*> busy_;
  int error_ = 0;
  bool closed_ = false;
  bool cancel_ = false;
};

// ---- progress and signals ----

// Reporter calls progress(done, total) with the lock held, for each value
// in turn, and runs pending signal handlers. False with an exception set
// when either raised.
struct Reporter {
  PyObject* progress;  // null or None: no calls
  PyObject* total;     // an int or None

  bool report(const std::vector<int64_t>& values) const {
    if (progress != nullptr && progress != Py_None) {
      for (const int64_t v : values) {
        PyRef done(PyLong_FromLongLong(v));
        if (!done) return false;
        PyRef r(PyObject_CallFunctionObjArgs(progress, done.get(), total, nullptr));
        if (!r) return false;
      }
    }
    return PyErr_CheckSignals() == 0;
  }
};

// Snapshot is what tells a file's contents changed between two fstat calls:
// its size and its modification and change times (to the clock's tick).
struct Snapshot {
  int64_t size;
  int64_t mtime_sec, mtime_nsec, ctime_sec, ctime_nsec;

  bool operator==(const Snapshot&) const = default;
};

// snapshot_of fills `out` for `fd`; false with errno set when fstat fails.
inline bool snapshot_of(int fd, Snapshot& out) noexcept {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  out = Snapshot{static_cast<int64_t>(st.st_size), st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
                 st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
  return true;
}

inline PyObject* raise_os_error(int err, PyObject* name) {
  errno = err;
  if (name != nullptr && name != Py_None)
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
  return PyErr_SetFromErrno(PyExc_OSError);
}

// How a call ended, as the first item of its result.
enum Outcome : long { kComplete = 0, kChanged = 3 };

// interruptible runs `op` (a read or write that returns a count or -1 with
// errno) with the interpreter lock released, on the calling thread, where a
// signal interrupts it. A signal's handler runs as soon as `op` returns,
// whether it was cut short (a partial count) or failed with EINTR (then it
// is tried again unless the handler raised). Returns the count; -1 with
// errno set; -2 with the handler's exception set.
template <class Op>
ssize_t interruptible(Op op) {
  for (;;) {
    ssize_t r;
    int err;
    {
      ReleaseGil nogil;
      r = op();
      err = errno;
    }
    if (PyErr_CheckSignals() != 0) return -2;
    if (r >= 0) return r;
    if (err != EINTR) {
      errno = err;
      return -1;
    }
  }
}

// FileSource reads a file from `pos` on, in order, with pread.
struct FileSource {
  int fd;
  int64_t pos;

  // read fills `out`, less only where the file ends; -1 with errno set.
  ssize_t read(uint8_t* out, size_t n) noexcept {
    const ssize_t got = read_at(fd, out, n, pos);
    if (got > 0) pos += got;
    return got;
  }
  bool faulted() const noexcept { return false; }
  PyObject* fault_tuple() const { return nullptr; }
};

// ArmorSource reads the stream an armor block in a file holds, from the
// block's text at `offset` on, as tarnel.armor.ArmorReader reads it: the
// text in batches of kArmorBatch bytes, each decoded batch handed out only
// once the next one decoded without a fault (the last with the END line and
// what follows it checked), so a fault is met at the same point of the
// stream. The first `skip` bytes of the stream are passed over. `lines`
// are the block's BEGIN and END lines.
//
// A thread of its own reads and decodes the text ahead of the caller, at
// most kAhead batches, so that Base64 overlaps the cipher. It blocks every
// signal, as the writer's does, and is joined by stop() or the destructor.
class ArmorSource {
 public:
  ArmorSource(int fd, int64_t offset, uint64_t skip, core::ArmorLines lines = core::kStreamArmor)
      : fd_(fd), pos_(offset), skip_(skip), dec_(lines) {}
  ArmorSource(const ArmorSource&) = delete;
  ArmorSource& operator=(const ArmorSource&) = delete;
  ~ArmorSource() { stop(); }

  // start launches the decoding thread; false if the system refused one.
  bool start() noexcept {
    return start_quiet(thread_, [this] { run(); });
  }

  // read fills `out` with the next bytes of the stream, less where it ends
  // or where the armor is at fault (then faulted()); -1 with errno set when
  // reading the file fails.
  ssize_t read(uint8_t* out, size_t n) {
    size_t got = 0;
    while (got < n) {
      if (cur_pos_ < cur_.data.size()) {
        const size_t take = std::min(n - got, cur_.data.size() - cur_pos_);
        std::memcpy(out + got, cur_.data.data() + cur_pos_, take);
        cur_pos_ += take;
        got += take;
        continue;
      }
      if (ended_) break;
      next();
      if (cur_.refused) throw std::runtime_error("armor decoder refused its buffer");
      if (cur_.error != 0) {
        ended_ = true;
        errno = cur_.error;
        return -1;
      }
      if (cur_.fault) {
        fault_ = cur_.fault;
        ended_ = true;
      }
      ended_ = ended_ || cur_.last;
    }
    return static_cast<ssize_t>(got);
  }
  bool faulted() const noexcept { return fault_.has_value(); }
  PyObject* fault_tuple() const { return armor_fault_tuple(*fault_); }

  // stop ends the decoding thread and joins it.
  void stop() noexcept {
    {
      std::lock_guard<std::mutex> lock(mu_);
      cancel_ = true;
      cv_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  static constexpr size_t kAhead = 2;

  // A batch as the decoding thread hands it over: the decoded bytes from
  // `start` on, or the end of the stream's bytes: a read error, an armor
  // fault, or a decoder that refused its buffer.
  struct Batch {
    std::vector<uint8_t> data;
    size_t start = 0;
    bool last = false;
    int error = 0;
    std::optional<core::ArmorStep> fault;
    bool refused = false;
  };

  // next puts the next batch in cur_, waiting for it, and hands the spent
  // one's buffer back to the decoding thread.
  void next() {
    std::unique_lock<std::mutex> lock(mu_);
    if (cur_.data.capacity() > 0) {
      cur_.data.clear();
      spare_.push_back(std::move(cur_.data));
    }
    cv_.wait(lock, [&] { return !queue_.empty(); });
    cur_ = std::move(queue_.front());
    queue_.pop_front();
    cur_pos_ = cur_.start;
    cv_.notify_all();
  }

  // ---- on the decoding thread ----

  void run() noexcept {
    bool more = true;
    while (more) {
      Batch b;
      try {
        more = decode_batch(b);
      } catch (...) {  // out of memory, or the decoder refused its buffer
        b = Batch{};
        b.refused = true;
        more = false;
      }
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [&] { return queue_.size() < kAhead || cancel_; });
      if (cancel_) return;
      queue_.push_back(std::move(b));
      cv_.notify_all();
    }
  }

  // spare gives a buffer back for decoding, one the reader is done with
  // when there is one.
  std::vector<uint8_t> spare() {
    std::lock_guard<std::mutex> lock(mu_);
    if (spare_.empty()) return {};
    std::vector<uint8_t> v = std::move(spare_.back());
    spare_.pop_back();
    return v;
  }

  // decode_batch reads and decodes one batch of text and fills `out` with
  // what it hands over (nothing while the first batch is held back); false
  // once nothing follows.
  bool decode_batch(Batch& out) {
    text_.resize(kArmorBatch);
    const ssize_t r = read_at(fd_, text_.data(), kArmorBatch, pos_);
    if (r < 0) {
      out.error = errno;
      return false;
    }
    pos_ += r;
    const auto len = static_cast<size_t>(r);
    if (decoded_.capacity() == 0) decoded_ = spare();
    decoded_.resize(core::ArmorDecoder::max_output(len));
    auto step = dec_.update(decoded_, core::ByteView(text_.data(), len), r == 0);
    if (!step.ok()) throw std::runtime_error("armor decoder refused its buffer");
    if (step.value().fault != core::ArmorFault::None) {
      out.fault = step.value();
      return false;
    }
    decoded_.resize(step.value().written);
    if (dec_.done()) {
      held_.insert(held_.end(), decoded_.begin(), decoded_.end());
      out.data = std::move(held_);
      out.last = true;
    } else {
      out.data = std::move(held_);
      held_ = std::move(decoded_);
      decoded_ = {};
    }
    out.start = static_cast<size_t>(std::min<uint64_t>(skip_, out.data.size()));
    skip_ -= out.start;
    return !out.last;
  }

  // The decoding thread's own.
  int fd_;
  int64_t pos_;
  uint64_t skip_;
  core::ArmorDecoder dec_;
  std::vector<uint8_t> text_, decoded_, held_;
  std::thread thread_;
  // Shared, under mu_.
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Batch> queue_;
  std::vector<std::vector<uint8_t>> spare_;
  bool cancel_ = false;
  // The reader's own.
  Batch cur_;
  size_t cur_pos_ = 0;
  bool ended_ = false;
  std::optional<core::ArmorStep> fault_;
};

}  // namespace pyext
