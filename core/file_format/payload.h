// The symmetric half of the multi-recipient file format (docs/file-format.md):
// the header MAC, the chunked payload and the passphrase wrap of the file
// key. HKDF-SHA256 and HMAC-SHA256 (RFC 5869, RFC 2104) and AES-256-GCM
// (SP 800-38D) come from core/hpke; nothing here is a new primitive.
//
// Every function takes the 32-byte file key and derives what it needs, so
// the derived keys live only inside these calls and are wiped on every path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/common/bytes.h"
#include "core/result.h"

namespace core::file_format {

inline constexpr size_t kFileKeyLen = 32;
inline constexpr size_t kPayloadNonceLen = 32;
inline constexpr size_t kMacLen = 32;
inline constexpr size_t kTagLen = 16;
inline constexpr std::string_view kHeaderInfo = "tarnel file v1 header";
inline constexpr std::string_view kPayloadInfo = "tarnel file v1 payload";
inline constexpr std::string_view kRecipientInfo = "tarnel file v1 recipient";

// header_mac returns HMAC-SHA256(K_h, header) with K_h = HKDF-SHA256(ikm =
// file_key, salt = "", info = kHeaderInfo, L = 32). InvalidParameter when
// file_key is not 32 bytes.
Result<std::array<uint8_t, kMacLen>> header_mac(ByteView file_key, ByteView header) noexcept;

// recipient_tag returns the first 16 bytes of HMAC-SHA256(K_r, u16(type) ||
// public_key) with K_r = HKDF-SHA256(ikm = file_key, salt = "", info =
// kRecipientInfo, L = 32): the tag that ends a KEM entry and names its
// recipient to holders of the file key only. InvalidParameter when
// file_key is not 32 bytes, `type` is not a KEM entry type or public_key
// is not of that KEM's length.
Result<std::array<uint8_t, 16>> recipient_tag(ByteView file_key, uint16_t type,
                                              ByteView public_key) noexcept;

// chunk_nonce is the 12-byte AES-GCM nonce of chunk `index`: the index as an
// 11-byte big-endian counter, then 0x01 for the last chunk or 0x00.
std::array<uint8_t, 12> chunk_nonce(uint64_t index, bool last) noexcept;

// seal_chunk encrypts one chunk under the payload key K_p = HKDF-SHA256(ikm
// = file_key, salt = payload_nonce, info = kPayloadInfo, L = 32):
// ciphertext || tag, plaintext.size() + 16 bytes. InvalidParameter for a
// file key or nonce of the wrong size.
Result<Bytes> seal_chunk(ByteView file_key, ByteView payload_nonce, uint64_t index, bool last,
                         ByteView plaintext) noexcept;

// open_chunk reverses seal_chunk. Decryption when the tag does not verify
// (a damaged chunk, the wrong index or last flag, another file's key).
Result<SecretBytes> open_chunk(ByteView file_key, ByteView payload_nonce, uint64_t index,
                               bool last, ByteView ciphertext) noexcept;

// A run is consecutive chunks sealed or opened with one derivation of K_p:
// a plaintext run is cut into pieces of chunk_size bytes, the first being
// chunk `first_index`. When `ends` is false the run stops before the last
// chunk, so it is a whole, nonzero number of chunks; when true its last
// piece (1 to chunk_size bytes, or 0 when the run is an empty file's only
// chunk) is the file's last chunk. A sealed run is every chunk's
// ciphertext || tag, in order.
//
// sealed_run_len and opened_run_len give the size of the other side of a
// run of `len` bytes, or nullopt when no run is that long.
std::optional<size_t> sealed_run_len(size_t len, size_t chunk_size, bool ends) noexcept;
std::optional<size_t> opened_run_len(size_t len, size_t chunk_size, bool ends) noexcept;

// seal_chunks writes the sealed run of `plaintext` to `out`, which has
// sealed_run_len bytes. InvalidParameter for bad sizes.
Status seal_chunks(MutableBytes out, ByteView file_key, ByteView payload_nonce,
                   uint64_t first_index, size_t chunk_size, ByteView plaintext, bool ends) noexcept;

// open_chunks writes the plaintext of the sealed run `ciphertext` to `out`,
// which has opened_run_len bytes. Decryption when any chunk does not verify,
// with `out` wiped; InvalidParameter for bad sizes.
Status open_chunks(MutableBytes out, ByteView file_key, ByteView payload_nonce,
                   uint64_t first_index, size_t chunk_size, ByteView ciphertext, bool ends) noexcept;

// wrap_file_key is AES-256-GCM(key = kek, nonce = 12 zero bytes, aad =
// label) of the 32-byte file key: 48 bytes. The zero nonce is safe because
// each kek comes from its own random salt and encrypts one message.
Result<Bytes> wrap_file_key(ByteView kek, ByteView label, ByteView file_key) noexcept;

// unwrap_file_key reverses wrap_file_key; Decryption on a wrong kek, label
// or damaged body, InvalidParameter when `wrapped` is not 48 bytes.
Result<SecretBytes> unwrap_file_key(ByteView kek, ByteView label, ByteView wrapped) noexcept;

}  // namespace core::file_format

namespace core::file_format {

// open_mlkem_entry opens the body (enc || ct) of an ML-KEM-768 (kem 0x0041)
// or ML-KEM-1024 (0x0042) entry with an expanded decapsulation key dk (2400
// or 3168 bytes, FIPS 203, Algorithm 16) instead of the 64-byte seed that
// HPKE serializes. HPKE's Decap for these KEMs is ML-KEM.Decaps(dk, enc), so
// this is SetupBaseR followed by one Open with HKDF-SHA256 and AES-256-GCM
// (RFC 9180, Sections 5.1.1 and 5.2) and aad = "". Returns the plaintext,
// Decryption when it does not open, InvalidParameter for another KEM or a
// dk or body of the wrong size.
Result<SecretBytes> open_mlkem_entry(uint16_t kem, ByteView dk, ByteView body,
                                     ByteView info) noexcept;

}  // namespace core::file_format
