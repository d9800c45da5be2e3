#include "core/stream.h"

#include <cstring>

#include "core/common/rand.h"
#include "core/kem.h"

namespace core {
namespace {

constexpr const char* kLimitFault = "stream chunk index reached its limit of 2^32 - 1";
constexpr const char* kShortTag = "AES-GCM tag must be 16 bytes";

// ChunkParams holds the nonce BE32(i) || base_nonce[4..12) and the associated
// data BE32(i) of chunk index i.
struct ChunkParams {
  std::array<uint8_t, kGcmNonceLen> nonce;
  std::array<uint8_t, 4> aad;

  ChunkParams(const BaseNonce& base, uint32_t index) noexcept {
    store_be32(nonce.data(), index);
    std::memcpy(nonce.data() + 4, base.data() + 4, kGcmNonceLen - 4);
    store_be32(aad.data(), index);
  }
};

}  // namespace

// ---- StreamEncryptor ----

Result<StreamEncryptorStart> StreamEncryptor::create(ByteView ek, uint32_t chunk_size,
                                                     Level level) noexcept {
  return contained<StreamEncryptorStart>([&]() -> Result<StreamEncryptorStart> {
    auto enc = ml_kem_encaps(ek, level);  // the shared secret wipes itself
    if (!enc.ok()) return enc.error();
    const EncapsulationResult& e = enc.value();
    const size_t c_len = params(level).ct_len();
    CORE_CHECK(e.capsule.size() == c_len, "capsule size differs from the level table");

    BaseNonce base_nonce;
    if (Status s = fill_random(base_nonce); !s.ok()) return s.error();

    Bytes header(stream_header_len(level));
    std::memcpy(header.data(), e.capsule.data(), c_len);
    std::memcpy(header.data() + c_len, base_nonce.data(), kBaseNonceLen);
    store_be32(header.data() + c_len + kBaseNonceLen, chunk_size);

    if (chunk_size == 0)
      return Error{ErrorKind::InvalidParameter, "chunk_size must be at least 1 byte"};
    if (chunk_size > kMaxChunkSize)
      return Error{ErrorKind::InvalidParameter, "chunk_size exceeds the 16 MiB safety cap"};

    auto cipher = Aes256Gcm::create(e.shared_secret.view(), Aes256Gcm::Direction::Encrypt);
    if (!cipher.ok()) return cipher.error();
    return StreamEncryptorStart{std::move(header),
                                StreamEncryptor(std::move(cipher.value()), base_nonce, chunk_size)};
  });
}

Result<size_t> StreamEncryptor::frame_len(size_t plaintext_len) const noexcept {
  if (plaintext_len > chunk_size_)
    return Error{ErrorKind::InvalidParameter, "plaintext exceeds configured chunk_size"};
  return plaintext_len + kFrameOverhead;
}

Status StreamEncryptor::encrypt_chunk_into(MutableBytes frame, ByteView plaintext) noexcept {
  Status s = contained<Ok>([&]() -> Status {
    auto len = frame_len(plaintext.size());
    if (!len.ok()) return len.error();
    CORE_CHECK(frame.size() == len.value(), "frame buffer has the wrong size");
    CORE_CHECK(plaintext.size() <= UINT32_MAX,
               "ciphertext length exceeds u32::MAX: chunk_size contract violated");
    CORE_CHECK(index_ != kStreamIndexLimit, kLimitFault);
    const ChunkParams p(base_nonce_, index_);
    const size_t l = plaintext.size();
    store_be32(frame.data(), static_cast<uint32_t>(l));
    const std::span<uint8_t, kGcmTagLen> tag(frame.data() + 4 + l, kGcmTagLen);
    if (Status r = cipher_.seal(frame.subspan(4, l), tag, p.nonce, p.aad, plaintext); !r.ok())
      return r;
    ++index_;
    return Ok{};
  });
  if (!s.ok()) wipe(frame);
  return s;
}

Result<Bytes> StreamEncryptor::encrypt_chunk(ByteView plaintext) noexcept {
  return contained<Bytes>([&]() -> Result<Bytes> {
    auto len = frame_len(plaintext.size());
    if (!len.ok()) return len.error();
    Bytes frame(len.value());
    if (Status s = encrypt_chunk_into(frame, plaintext); !s.ok()) return s.error();
    return frame;
  });
}

Result<EofMarker> StreamEncryptor::finalize(StreamEncryptor&& self) noexcept {
  StreamEncryptor consumed(std::move(self));
  return contained<EofMarker>([&]() -> Result<EofMarker> {
    EofMarker marker{};  // L = 0 in the first four bytes
    const ChunkParams p(consumed.base_nonce_, consumed.index_);
    const std::span<uint8_t, kGcmTagLen> tag(marker.data() + 4, kGcmTagLen);
    if (Status s = consumed.cipher_.seal({}, tag, p.nonce, p.aad, {}); !s.ok()) return s.error();
    return marker;
  });
}

// ---- StreamDecryptor ----

Result<StreamDecryptor> StreamDecryptor::create(ByteView header, ByteView dk,
                                                Level level) noexcept {
  return contained<StreamDecryptor>([&]() -> Result<StreamDecryptor> {
    if (header.size() < stream_header_len(level))
      return Error{ErrorKind::InvalidParameter,
                   "stream header too short for the given security level"};
    const size_t c_len = params(level).ct_len();
    const ByteView capsule = header.first(c_len);
    BaseNonce base_nonce;
    std::memcpy(base_nonce.data(), header.data() + c_len, kBaseNonceLen);
    const uint32_t chunk_size = load_be32(header.data() + c_len + kBaseNonceLen);

    auto shared = ml_kem_decaps(capsule, dk, level);
    if (!shared.ok()) return shared.error();
    if (chunk_size == 0 || chunk_size > kMaxChunkSize)
      return Error{ErrorKind::InvalidParameter, "chunk_size must be 1..=16 MiB"};
    auto cipher = Aes256Gcm::create(shared.value().view(), Aes256Gcm::Direction::Decrypt);
    if (!cipher.ok()) return cipher.error();
    return StreamDecryptor(std::move(cipher.value()), base_nonce, chunk_size);
  });
}

Result<size_t> StreamDecryptor::plaintext_len(size_t ciphertext_len,
                                              size_t tag_len) const noexcept {
  if (tag_len != kGcmTagLen) return Error{ErrorKind::InvalidParameter, kShortTag};
  if (ciphertext_len > chunk_size_)
    return Error{ErrorKind::InvalidParameter, "ciphertext exceeds configured chunk_size"};
  return ciphertext_len;
}

Status StreamDecryptor::decrypt_chunk_into(MutableBytes out, ByteView ciphertext,
                                           ByteView tag) noexcept {
  Status s = contained<Ok>([&]() -> Status {
    auto len = plaintext_len(ciphertext.size(), tag.size());
    if (!len.ok()) return len.error();
    if (eof_seen_) return Error{ErrorKind::Decryption};
    CORE_CHECK(out.size() == ciphertext.size(), "plaintext buffer has the wrong size");
    const ChunkParams p(base_nonce_, index_);
    const std::span<const uint8_t, kGcmTagLen> t(tag.data(), kGcmTagLen);
    if (Status r = cipher_.open(out, t, p.nonce, p.aad, ciphertext); !r.ok()) return r;
    CORE_CHECK(index_ != kStreamIndexLimit, kLimitFault);
    ++index_;
    return Ok{};
  });
  if (!s.ok()) wipe(out);
  return s;
}

Result<Bytes> StreamDecryptor::decrypt_chunk(ByteView ciphertext, ByteView tag) noexcept {
  return contained<Bytes>([&]() -> Result<Bytes> {
    auto len = plaintext_len(ciphertext.size(), tag.size());
    if (!len.ok()) return len.error();
    Bytes out(len.value());
    if (Status s = decrypt_chunk_into(out, ciphertext, tag); !s.ok()) return s.error();
    return out;
  });
}

Status StreamDecryptor::process_eof(ByteView tag) noexcept {
  return contained<Ok>([&]() -> Status {
    if (tag.size() != kGcmTagLen) return Error{ErrorKind::InvalidParameter, kShortTag};
    if (eof_seen_) return Error{ErrorKind::Decryption};
    const ChunkParams p(base_nonce_, index_);
    const std::span<const uint8_t, kGcmTagLen> t(tag.data(), kGcmTagLen);
    if (Status r = cipher_.open({}, t, p.nonce, p.aad, {}); !r.ok()) return r;
    CORE_CHECK(index_ != kStreamIndexLimit, kLimitFault);
    eof_seen_ = true;
    ++index_;
    return Ok{};
  });
}

void StreamDecryptor::finalize(StreamDecryptor&& self) noexcept {
  StreamDecryptor consumed(std::move(self));
}

namespace testing {
void set_stream_index(StreamEncryptor& s, uint32_t index) noexcept { s.index_ = index; }
void set_stream_index(StreamDecryptor& s, uint32_t index) noexcept { s.index_ = index; }
}  // namespace testing

}  // namespace core
