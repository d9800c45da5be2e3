// Password-wrapped secret keys: the binary blob
//
//   offset 0   4 bytes  magic "TRPK"
//          4   1        version 0x01
//          5   1        level_id (level index: 0, 1, 2)
//          6  16        salt  (HKDF salt)
//         22  12        nonce (AES-256-GCM IV)
//         34   n        ciphertext of the n-byte secret key
//     34 + n  16        tag
//
// The key is hkdf_sha3_256(password, salt) (kdf.h); encryption is AES-256-GCM
// (SP 800-38D) with empty associated data. The header is not authenticated:
// a level_id changed to another valid value is caught by the length check
// after decryption.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/common/bytes.h"
#include "core/kdf.h"
#include "core/mlkem/params.h"
#include "core/result.h"

namespace core {

inline constexpr std::array<uint8_t, 4> kWrapMagic{'T', 'R', 'P', 'K'};
inline constexpr uint8_t kWrapVersion = 0x01;
inline constexpr size_t kWrapVersionOffset = kWrapMagic.size();  // 4
inline constexpr size_t kWrapLevelOffset = kWrapVersionOffset + 1;  // 5
inline constexpr size_t kWrapSaltOffset = kWrapLevelOffset + 1;     // 6
inline constexpr size_t kWrapNonceOffset = kWrapSaltOffset + kKeyWrapSaltLen;  // 22
inline constexpr size_t kWrapHeaderLen = kWrapNonceOffset + 12;                // 34
inline constexpr size_t kWrapOverhead = kWrapHeaderLen + 16;                   // header + tag

// wrapped_blob_len is the blob length for a secret key of `level`.
constexpr size_t wrapped_blob_len(Level level) { return params(level).dk_len() + kWrapOverhead; }
static_assert(wrapped_blob_len(Level::MlKem512) == 1682 &&
              wrapped_blob_len(Level::MlKem768) == 2450 &&
              wrapped_blob_len(Level::MlKem1024) == 3218);

// wrap_secret_key_blob wraps `secret_key` of `level` under `password` (any
// bytes, empty included). It draws the salt, then the nonce, and only then
// checks the key length, so a random-source failure (Rng) is reported first.
// Errors: Rng; InvalidParameter "secret key size does not match the specified
// security level"; KeySerialization "AES-GCM encrypt failed" when the cipher
// reports an error. The derived key is wiped on every path.
Result<Bytes> wrap_secret_key_blob(ByteView secret_key, Level level, ByteView password) noexcept;

struct UnwrappedSecretKey {
  SecretBytes secret_key;  // wiped when released
  Level level;
};

// unwrap_secret_key checks, in this order, and fails at the first problem:
// length below 50 bytes ("wrapped blob is too short to contain a valid
// header"), magic ("invalid magic bytes in wrapped blob"), version
// ("unsupported wrapped blob version"), level_id of 3 or more ("unknown
// level_id in wrapped blob"), all KeySerialization; then the AES-GCM tag and
// the decrypted length against level_id, both Decryption. A wrong password
// cannot be told apart from a damaged blob.
Result<UnwrappedSecretKey> unwrap_secret_key(ByteView blob, ByteView password) noexcept;

}  // namespace core
