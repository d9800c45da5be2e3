// Streaming encryption under one ML-KEM encapsulation: a header, then
// length-prefixed AES-256-GCM chunk frames bound to their index, then an
// end-of-stream frame (the EOF marker).
//
// Header (H = C + 16 bytes for capsule size C):
//   [0, C)        ML-KEM capsule
//   [C, C + 12)   base nonce, 12 random bytes per stream
//   [C + 12, H)   chunk_size, unsigned 32-bit big-endian, 1 to 16 MiB
// Frame: L (4 bytes, big-endian) || ciphertext (L bytes) || tag (16 bytes).
// EOF marker: a frame with L = 0, the tag of an empty plaintext at the index
// the next data chunk would have had.
//
// Chunk i is sealed with the shared secret as AES-256 key, the nonce
// BE32(i) || base_nonce[4..12) and the associated data BE32(i); bytes 0-3 of
// the base nonce travel in the header but enter no nonce.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/common/bytes.h"
#include "core/common/aes_gcm.h"
#include "core/mlkem/params.h"
#include "core/result.h"

namespace core {

class StreamEncryptor;
class StreamDecryptor;

namespace testing {
// set_stream_index moves a stream to chunk index `index`; only the core's
// tests use it, to reach the counter limit.
void set_stream_index(StreamEncryptor& s, uint32_t index) noexcept;
void set_stream_index(StreamDecryptor& s, uint32_t index) noexcept;
}  // namespace testing

inline constexpr uint32_t kMaxChunkSize = uint32_t{1} << 24;  // 16 MiB
inline constexpr size_t kBaseNonceLen = 12;
inline constexpr size_t kFrameOverhead = 4 + kGcmTagLen;
inline constexpr size_t kEofMarkerLen = kFrameOverhead;
// The index of a chunk never wraps: no operation advances past this value.
inline constexpr uint32_t kStreamIndexLimit = UINT32_MAX;

using BaseNonce = std::array<uint8_t, kBaseNonceLen>;
using EofMarker = std::array<uint8_t, kEofMarkerLen>;

// stream_header_len is C + 16: 784, 1104 or 1584 bytes.
constexpr size_t stream_header_len(Level level) { return params(level).ct_len() + 16; }

struct StreamEncryptorStart;

// StreamEncryptor is the sending side: chunk index starts at 0 and counts the
// frames emitted. The raw shared secret is not kept, only the keyed cipher.
// One operation at a time; the holder records whether it has been finalized.
class StreamEncryptor {
 public:
  // create encapsulates to `ek`, draws the base nonce, builds the header,
  // then checks chunk_size, in that order: InvalidParameter "encryption key
  // has incorrect size", Rng, InvalidParameter "chunk_size must be at least 1
  // byte" / "chunk_size exceeds the 16 MiB safety cap". The shared secret is
  // wiped on every path.
  static Result<StreamEncryptorStart> create(ByteView ek, uint32_t chunk_size,
                                             Level level) noexcept;

  // frame_len returns plaintext_len + 20, or InvalidParameter "plaintext
  // exceeds configured chunk_size".
  Result<size_t> frame_len(size_t plaintext_len) const noexcept;

  // encrypt_chunk_into writes the frame of `plaintext` into `frame` (exactly
  // frame_len() bytes) and advances the index. On failure the index is
  // unchanged and `frame` wiped; at the counter limit it fails with Internal.
  Status encrypt_chunk_into(MutableBytes frame, ByteView plaintext) noexcept;
  Result<Bytes> encrypt_chunk(ByteView plaintext) noexcept;

  // finalize returns the EOF marker at the current index, which it does not
  // advance; the encryptor is consumed whatever the outcome.
  static Result<EofMarker> finalize(StreamEncryptor&& self) noexcept;

  uint32_t chunk_index() const noexcept { return index_; }
  uint32_t chunk_size() const noexcept { return chunk_size_; }
  const BaseNonce& base_nonce() const noexcept { return base_nonce_; }

 private:
  StreamEncryptor(Aes256Gcm cipher, const BaseNonce& base_nonce, uint32_t chunk_size)
      : cipher_(std::move(cipher)), base_nonce_(base_nonce), chunk_size_(chunk_size) {}
  friend void testing::set_stream_index(StreamEncryptor&, uint32_t) noexcept;

  Aes256Gcm cipher_;
  BaseNonce base_nonce_;
  uint32_t index_ = 0;
  uint32_t chunk_size_;
};

struct StreamEncryptorStart {
  Bytes header;  // stream_header_len(level) bytes
  StreamEncryptor encryptor;
};

// StreamDecryptor is the receiving side: chunk index counts the data chunks
// and the EOF marker verified so far. The caller splits header and frames.
class StreamDecryptor {
 public:
  // create reads the first H bytes of `header` (extra bytes are ignored) and
  // decapsulates with `dk`, in that order: InvalidParameter "stream header too
  // short for the given security level", "decapsulation key has incorrect
  // size", "chunk_size must be 1..=16 MiB". A damaged capsule is not detected
  // here (implicit rejection); the first tag check fails instead.
  static Result<StreamDecryptor> create(ByteView header, ByteView dk, Level level) noexcept;

  // plaintext_len checks a chunk before decryption: InvalidParameter "AES-GCM
  // tag must be 16 bytes" for a tag of another length, then "ciphertext
  // exceeds configured chunk_size"; it returns the ciphertext length.
  Result<size_t> plaintext_len(size_t ciphertext_len, size_t tag_len) const noexcept;

  // decrypt_chunk_into runs the checks of plaintext_len, then fails with
  // Decryption once the EOF marker has been seen, then verifies and decrypts
  // at the current index into `out` (exactly ciphertext.size() bytes) and
  // advances the index. On failure the index is unchanged and `out` wiped.
  Status decrypt_chunk_into(MutableBytes out, ByteView ciphertext, ByteView tag) noexcept;
  Result<Bytes> decrypt_chunk(ByteView ciphertext, ByteView tag) noexcept;

  // process_eof checks the tag length, fails with Decryption when the EOF
  // marker was already seen or `tag` does not verify over an empty
  // ciphertext at the current index; on success it sets eof seen and
  // advances the index.
  Status process_eof(ByteView tag) noexcept;

  // finalize consumes the decryptor; it does not require the EOF marker
  // (read eof_seen() first to detect truncation).
  static void finalize(StreamDecryptor&& self) noexcept;

  uint32_t chunk_index() const noexcept { return index_; }
  uint32_t chunk_size() const noexcept { return chunk_size_; }
  bool eof_seen() const noexcept { return eof_seen_; }

 private:
  StreamDecryptor(Aes256Gcm cipher, const BaseNonce& base_nonce, uint32_t chunk_size)
      : cipher_(std::move(cipher)), base_nonce_(base_nonce), chunk_size_(chunk_size) {}
  friend void testing::set_stream_index(StreamDecryptor&, uint32_t) noexcept;

  Aes256Gcm cipher_;
  BaseNonce base_nonce_;
  uint32_t index_ = 0;
  uint32_t chunk_size_;
  bool eof_seen_ = false;
};

}  // namespace core
