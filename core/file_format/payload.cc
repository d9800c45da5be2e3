#include "core/file_format/payload.h"

#include <algorithm>

#include "core/common/aes_gcm.h"
#include "core/common/secret.h"
#include "core/file_format/header.h"
#include "core/hpke/aead.h"
#include "core/hpke/hpke.h"
#include "core/kem.h"
#include "core/mlkem/params.h"
#include "core/hpke/labeled.h"

namespace core::file_format {
namespace {

using hpke::AeadId;
using hpke::KdfId;

constexpr const char* kFileKeySize = "file key must be 32 bytes";
constexpr const char* kNonceSize = "payload nonce must be 32 bytes";

// hkdf_sha256 writes HKDF-SHA256(ikm, salt, info) to `out` (RFC 5869).
void hkdf_sha256(Key256& out, ByteView ikm, ByteView salt, std::string_view info) {
  Key256 prk;
  hpke::hkdf_extract(KdfId::HkdfSha256, prk.span(), salt, {ikm});
  hpke::hkdf_expand(KdfId::HkdfSha256, out.span(), prk.view(), {hpke::bytes_of(info)});
}

Status check_payload_args(ByteView file_key, ByteView payload_nonce) {
  if (file_key.size() != kFileKeyLen) return Error{ErrorKind::InvalidParameter, kFileKeySize};
  if (payload_nonce.size() != kPayloadNonceLen)
    return Error{ErrorKind::InvalidParameter, kNonceSize};
  return Ok{};
}

}  // namespace

std::array<uint8_t, 12> chunk_nonce(uint64_t index, bool last) noexcept {
  std::array<uint8_t, 12> n{};
  for (size_t i = 0; i < 8; ++i) n[10 - i] = static_cast<uint8_t>(index >> (8 * i));
  n[11] = last ? 0x01 : 0x00;
  return n;
}

Result<std::array<uint8_t, kMacLen>> header_mac(ByteView file_key, ByteView header) noexcept {
  return contained<std::array<uint8_t, kMacLen>>([&]() -> Result<std::array<uint8_t, kMacLen>> {
    if (file_key.size() != kFileKeyLen) return Error{ErrorKind::InvalidParameter, kFileKeySize};
    Key256 mac_key;
    hkdf_sha256(mac_key, file_key, {}, kHeaderInfo);
    // HMAC-SHA256(mac_key, header) is HKDF-Extract with the key as the salt
    // (RFC 5869, Section 2.2); the key is never empty, so it is used as is.
    std::array<uint8_t, kMacLen> mac{};
    hpke::hkdf_extract(KdfId::HkdfSha256, mac, mac_key.view(), {header});
    return mac;
  });
}

Result<std::array<uint8_t, 16>> recipient_tag(ByteView file_key, uint16_t type,
                                              ByteView public_key) noexcept {
  using Tag = std::array<uint8_t, kRecipientTagLen>;
  static_assert(kRecipientTagLen == 16);
  return contained<Tag>([&]() -> Result<Tag> {
    if (file_key.size() != kFileKeyLen) return Error{ErrorKind::InvalidParameter, kFileKeySize};
    const size_t pk_len = kem_public_key_length(type);
    if (pk_len == 0)
      return Error{ErrorKind::InvalidParameter, "entry type is not a KEM entry type"};
    if (public_key.size() != pk_len)
      return Error{ErrorKind::InvalidParameter, "public key is not of the entry type's length"};
    Key256 tag_key;
    hkdf_sha256(tag_key, file_key, {}, kRecipientInfo);
    // HMAC-SHA256 through HKDF-Extract, as in header_mac.
    const std::array<uint8_t, 2> type_be{static_cast<uint8_t>(type >> 8),
                                         static_cast<uint8_t>(type)};
    std::array<uint8_t, kMacLen> mac{};
    hpke::hkdf_extract(KdfId::HkdfSha256, mac, tag_key.view(), {type_be, public_key});
    Tag tag{};
    std::copy_n(mac.begin(), tag.size(), tag.begin());
    return tag;
  });
}

Result<Bytes> seal_chunk(ByteView file_key, ByteView payload_nonce, uint64_t index, bool last,
                         ByteView plaintext) noexcept {
  return contained<Bytes>([&]() -> Result<Bytes> {
    if (Status s = check_payload_args(file_key, payload_nonce); !s.ok()) return s.error();
    Key256 key;
    hkdf_sha256(key, file_key, payload_nonce, kPayloadInfo);
    Bytes out(plaintext.size() + kTagLen);
    if (Status s = hpke::aead_seal(AeadId::Aes256Gcm, key.view(), chunk_nonce(index, last), {},
                                   plaintext, out);
        !s.ok())
      return s.error();
    return out;
  });
}

namespace {

// run_pieces says how a run of `total` bytes is cut into pieces of `piece`
// bytes: the count, and the length of the last piece. False when no run is
// that long.
bool run_pieces(size_t total, size_t piece, bool ends, size_t& count, size_t& last_len) {
  if (piece == 0) return false;
  if (!ends) {
    if (total == 0 || total % piece != 0) return false;
    count = total / piece;
    last_len = piece;
    return true;
  }
  count = total == 0 ? 1 : (total + piece - 1) / piece;
  last_len = total - (count - 1) * piece;
  return true;
}

constexpr const char* kRunSize = "a run of chunks has the wrong size";

}  // namespace

std::optional<size_t> sealed_run_len(size_t len, size_t chunk_size, bool ends) noexcept {
  size_t count = 0, last_len = 0;
  if (!run_pieces(len, chunk_size, ends, count, last_len)) return std::nullopt;
  return len + count * kTagLen;
}

std::optional<size_t> opened_run_len(size_t len, size_t chunk_size, bool ends) noexcept {
  size_t count = 0, last_len = 0;
  if (chunk_size == 0 || !run_pieces(len, chunk_size + kTagLen, ends, count, last_len) ||
      last_len < kTagLen)
    return std::nullopt;
  return len - count * kTagLen;
}

Status seal_chunks(MutableBytes out, ByteView file_key, ByteView payload_nonce,
                   uint64_t first_index, size_t chunk_size, ByteView plaintext, bool ends) noexcept {
  return contained<Ok>([&]() -> Status {
    if (Status s = check_payload_args(file_key, payload_nonce); !s.ok()) return s.error();
    size_t count = 0, last_len = 0;
    if (!run_pieces(plaintext.size(), chunk_size, ends, count, last_len) ||
        out.size() != plaintext.size() + count * kTagLen)
      return Error{ErrorKind::InvalidParameter, kRunSize};
    Key256 key;
    hkdf_sha256(key, file_key, payload_nonce, kPayloadInfo);
    auto cipher = Aes256Gcm::create(key.view(), Aes256Gcm::Direction::Encrypt);
    if (!cipher.ok()) return cipher.error();
    for (size_t i = 0; i < count; ++i) {
      const size_t len = i + 1 == count ? last_len : chunk_size;
      uint8_t* at = out.data() + i * (chunk_size + kTagLen);
      const auto nonce = chunk_nonce(first_index + i, ends && i + 1 == count);
      if (Status s = cipher.value().seal(MutableBytes(at, len),
                                         std::span<uint8_t, kTagLen>(at + len, kTagLen),
                                         GcmNonce(nonce), {}, plaintext.subspan(i * chunk_size, len));
          !s.ok())
        return s.error();
    }
    return Ok{};
  });
}

Status open_chunks(MutableBytes out, ByteView file_key, ByteView payload_nonce,
                   uint64_t first_index, size_t chunk_size, ByteView ciphertext, bool ends) noexcept {
  return contained<Ok>([&]() -> Status {
    if (Status s = check_payload_args(file_key, payload_nonce); !s.ok()) return s.error();
    const size_t block = chunk_size + kTagLen;
    const auto expected = opened_run_len(ciphertext.size(), chunk_size, ends);
    if (!expected || out.size() != *expected) return Error{ErrorKind::InvalidParameter, kRunSize};
    size_t count = 0, last_len = 0;
    (void)run_pieces(ciphertext.size(), block, ends, count, last_len);
    Key256 key;
    hkdf_sha256(key, file_key, payload_nonce, kPayloadInfo);
    auto cipher = Aes256Gcm::create(key.view(), Aes256Gcm::Direction::Decrypt);
    if (!cipher.ok()) return cipher.error();
    for (size_t i = 0; i < count; ++i) {
      const size_t len = (i + 1 == count ? last_len : block) - kTagLen;
      const uint8_t* at = ciphertext.data() + i * block;
      const auto nonce = chunk_nonce(first_index + i, ends && i + 1 == count);
      if (Status s = cipher.value().open(MutableBytes(out.data() + i * chunk_size, len),
                                         std::span<const uint8_t, kTagLen>(at + len, kTagLen),
                                         GcmNonce(nonce), {}, ByteView(at, len));
          !s.ok()) {
        wipe(out);
        return Error{ErrorKind::Decryption};
      }
    }
    return Ok{};
  });
}

Result<SecretBytes> open_chunk(ByteView file_key, ByteView payload_nonce, uint64_t index,
                               bool last, ByteView ciphertext) noexcept {
  return contained<SecretBytes>([&]() -> Result<SecretBytes> {
    if (Status s = check_payload_args(file_key, payload_nonce); !s.ok()) return s.error();
    if (ciphertext.size() < kTagLen) return Error{ErrorKind::Decryption};
    Key256 key;
    hkdf_sha256(key, file_key, payload_nonce, kPayloadInfo);
    SecretBytes out(ciphertext.size() - kTagLen);
    if (Status s = hpke::aead_open(AeadId::Aes256Gcm, key.view(), chunk_nonce(index, last), {},
                                   ciphertext, out);
        !s.ok())
      return s.error();
    return out;
  });
}

Result<Bytes> wrap_file_key(ByteView kek, ByteView label, ByteView file_key) noexcept {
  return contained<Bytes>([&]() -> Result<Bytes> {
    if (kek.size() != 32) return Error{ErrorKind::InvalidParameter, "passphrase key must be 32 bytes"};
    if (file_key.size() != kFileKeyLen) return Error{ErrorKind::InvalidParameter, kFileKeySize};
    Bytes out(kFileKeyLen + kTagLen);
    if (Status s = hpke::aead_seal(AeadId::Aes256Gcm, kek, hpke::Nonce{}, label, file_key, out);
        !s.ok())
      return s.error();
    return out;
  });
}

Result<SecretBytes> unwrap_file_key(ByteView kek, ByteView label, ByteView wrapped) noexcept {
  return contained<SecretBytes>([&]() -> Result<SecretBytes> {
    if (kek.size() != 32) return Error{ErrorKind::InvalidParameter, "passphrase key must be 32 bytes"};
    if (wrapped.size() != kFileKeyLen + kTagLen)
      return Error{ErrorKind::InvalidParameter, "wrapped file key must be 48 bytes"};
    SecretBytes out(kFileKeyLen);
    if (Status s = hpke::aead_open(AeadId::Aes256Gcm, kek, hpke::Nonce{}, label, wrapped, out);
        !s.ok())
      return s.error();
    return out;
  });
}

Result<SecretBytes> open_mlkem_entry(uint16_t kem, ByteView dk, ByteView body,
                                     ByteView info) noexcept {
  return contained<SecretBytes>([&]() -> Result<SecretBytes> {
    if (kem != static_cast<uint16_t>(hpke::KemId::MlKem768) &&
        kem != static_cast<uint16_t>(hpke::KemId::MlKem1024))
      return Error{ErrorKind::InvalidParameter, "entry type is not an ML-KEM KEM"};
    const Level level =
        kem == static_cast<uint16_t>(hpke::KemId::MlKem768) ? Level::MlKem768 : Level::MlKem1024;
    const size_t n_enc = params(level).ct_len();
    if (body.size() < n_enc + kTagLen)
      return Error{ErrorKind::InvalidParameter, "entry body is shorter than enc and a tag"};
    Result<hpke::Suite> suite = hpke::make_suite(
        kem, static_cast<uint16_t>(KdfId::HkdfSha256), static_cast<uint16_t>(AeadId::Aes256Gcm));
    if (!suite.ok()) return suite.error();
    Result<Key256> shared = ml_kem_decaps(body.first(n_enc), dk, level);
    if (!shared.ok()) return shared.error();
    Result<hpke::Context> ctx = hpke::key_schedule(suite.value(), hpke::Context::Role::Recipient,
                                                   shared.value().view(), info);
    if (!ctx.ok()) return ctx.error();
    return ctx.value().open({}, body.subspan(n_enc));
  });
}

}  // namespace core::file_format
