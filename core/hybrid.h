// The Transit Package: one ML-KEM encapsulation whose 32-byte shared secret is
// used directly as the AES-256-GCM key over a whole message.
//
// Layout for a level with capsule size C and a plaintext of N bytes:
//   [0, C)            ML-KEM capsule (FIPS 203, Algorithm 20)
//   [C, C + 12)       AES-GCM nonce, drawn fresh for every package
//   [C + 12, C + 28)  AES-GCM tag (between nonce and ciphertext)
//   [C + 28, C+28+N)  AES-256-GCM ciphertext, no associated data
// The package carries no version, level or length field.
#pragma once

#include <cstddef>

#include "core/common/bytes.h"
#include "core/mlkem/params.h"
#include "core/result.h"

namespace core::hybrid {

inline constexpr size_t kOverhead = 12 + 16;

// min_package_len is C + 28: 796, 1116 or 1596 bytes.
constexpr size_t min_package_len(Level level) { return params(level).ct_len() + kOverhead; }

// sealed_len returns the package size C + 28 + N for an N-byte plaintext, or
// InvalidParameter "plaintext exceeds the AES-GCM limit of 2^36 - 32 bytes"
// (SP 800-38D) when N is beyond what one AES-GCM invocation may encrypt.
Result<size_t> sealed_len(size_t plaintext_len, Level level) noexcept;

// opened_len returns the plaintext size N of a package, or InvalidParameter
// "Encrypted package too small for the given security level" when the package
// is shorter than C + 28.
Result<size_t> opened_len(size_t package_len, Level level) noexcept;

// encrypt_into seals `plaintext` to the encapsulation key `ek` and writes the
// package into `package`, which must be exactly sealed_len() bytes. Checks,
// in order: the GCM length limit (before any work), then the key size
// (InvalidParameter "encryption key has incorrect size"), then the random
// draws of encapsulation and nonce (Rng). On failure `package` is wiped. The
// shared secret is wiped on every path.
Status encrypt_into(MutableBytes package, ByteView ek, ByteView plaintext, Level level) noexcept;

// decrypt_into opens `package` with the decapsulation key `dk` into
// `plaintext`, which must be exactly opened_len() bytes and must not overlap
// the package. Checks, in order: the package length, the key size
// (InvalidParameter "decapsulation key has incorrect size"), the tag
// (Decryption, for any change to capsule, nonce, tag or ciphertext). On
// failure `plaintext` is wiped. The shared secret is wiped on every path.
Status decrypt_into(MutableBytes plaintext, ByteView package, ByteView dk, Level level) noexcept;

// encrypt and decrypt are the same operations returning owned buffers.
Result<Bytes> encrypt(ByteView ek, ByteView plaintext, Level level) noexcept;
Result<Bytes> decrypt(ByteView package, ByteView dk, Level level) noexcept;

}  // namespace core::hybrid
