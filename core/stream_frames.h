// Reading the framing of a stream (see stream.h) without doing any I/O: the
// caller feeds the bytes it holds and says whether the input ends after them;
// each step either accepts a header or a frame, asks for more bytes, or names
// what is wrong. The cipher is not involved: tags are checked by
// StreamDecryptor once a frame is whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/common/bytes.h"
#include "core/key_wrap.h"
#include "core/mlkem/params.h"
#include "core/result.h"
#include "core/stream.h"

namespace core {

// StreamSizes lists the sizes of one level that the file formats use: the
// keys, the capsule, the stream header, the K-PKE part that opens a secret
// key, and the secret key wrapped under a password (key_wrap.h).
struct StreamSizes {
  size_t public_key_len, secret_key_len, capsule_len, header_len, dk_pke_len, wrapped_key_len;
};

constexpr StreamSizes stream_sizes(Level level) {
  const Params& p = params(level);
  return {p.ek_len(),          p.dk_len(),      p.ct_len(), stream_header_len(level),
          p.dk_pke_len(),      wrapped_blob_len(level)};
}

inline constexpr size_t kFrameLengthLen = 4;
inline constexpr size_t kMaxStreamHeaderLen = stream_header_len(Level::MlKem1024);

enum class Framing : uint8_t {
  Accepted,    // a whole header or frame: `length`, `total` are set
  NeedMore,    // feed at least `total` bytes from the same start
  NotAStream,  // see `why`
  OtherLevel,  // a header framed for `other_level`
  Truncated,   // see `why`; `got` and `total` say how much of what was there
  TooLong,     // a frame claims `length` bytes, more than the chunk size
  Trailing,    // bytes follow the end-of-stream marker
};

enum class FramingWhy : uint8_t {
  None,
  Empty,          // NotAStream: no bytes at all
  Text,           // NotAStream: a line of text, no binary header
  FitsNoLevel,    // NotAStream: as long as a header, framed for no level
  InHeader,       // Truncated: inside the header
  InLengthField,  // Truncated: inside a frame's length field
  InFrame,        // Truncated: inside a frame's ciphertext or tag
  NoEndMarker,    // Truncated: at a frame boundary, before the end marker
};

struct FrameStep {
  Framing kind;
  FramingWhy why = FramingWhy::None;
  // Accepted header: the chunk size; accepted frame or TooLong: the
  // ciphertext length (0 for the end marker).
  uint32_t length = 0;
  size_t total = 0;  // bytes of the whole header or frame, or wanted in all
  size_t got = 0;    // Truncated: bytes of it that were there
  Level other_level = Level::MlKem512;
};

// read_stream_header looks at the first bytes of an input, `head`. A header
// at `level` is accepted when it is whole, its chunk size is 1 to 16 MiB
// and the first frame's length, once visible, fits that chunk size; a first
// frame that is too long is left for read_frame to name. Otherwise it asks
// for up to kMaxStreamHeaderLen + 4 bytes to say what the input is: empty
// or text (NotAStream), a header framed for another level (OtherLevel), a
// header cut short (Truncated, InHeader), or none of these (NotAStream).
FrameStep read_stream_header(ByteView head, Level level, bool at_end) noexcept;

// read_frame looks at the bytes that start at a frame: `prefix` holds the
// first min(have, 4) or more of the `have` bytes present. Returns Accepted
// with the frame's length and total size (4 + length + 16), NeedMore, TooLong
// before the body is read, or Truncated when the input ends inside it
// (or at its start: NoEndMarker).
FrameStep read_frame(ByteView prefix, size_t have, uint32_t chunk_size,
                     bool at_end) noexcept;

// read_after_end looks at what follows the end-of-stream marker: Trailing
// for any byte, NeedMore for one byte while the input may go on, else
// Accepted.
FrameStep read_after_end(size_t have, bool at_end) noexcept;

// framing_message says what a refused step means for the stream, e.g.
// "stream ended inside frame 5: 6 of 16 bytes"; `level` is the key's level,
// `index` the frame being read and `chunk_size` the header's.
Result<std::string> framing_message(const FrameStep& step, Level level, uint64_t index,
                                    uint32_t chunk_size) noexcept;

// looks_like_text says whether `bytes` read as a line of text: UTF-8 with no
// control characters but tab, CR and LF, holding a letter or digit and a
// line feed (or 64 bytes or more). Random bytes almost never do.
bool looks_like_text(ByteView bytes) noexcept;

}  // namespace core
