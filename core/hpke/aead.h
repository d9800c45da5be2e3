// The AEADs of HPKE (RFC 9180, Section 7.3) through libcrypto: AES-128-GCM,
// AES-256-GCM (SP 800-38D) and ChaCha20-Poly1305 (RFC 8439), 12-byte nonces
// and 16-byte tags. Internal to core/hpke.
#pragma once

#include <array>

#include "core/common/bytes.h"
#include "core/hpke/hpke.h"
#include "core/result.h"

namespace core::hpke {

inline constexpr size_t kAeadTagLen = 16;
using Nonce = std::array<uint8_t, 12>;

// aead_seal writes ciphertext || tag (pt.size() + 16 bytes) to `out`.
// InvalidParameter "HPKE plaintext exceeds the AEAD's limit" beyond the
// cipher's message limit.
Status aead_seal(AeadId aead, ByteView key, const Nonce& nonce, ByteView aad, ByteView pt,
                 MutableBytes out);

// aead_open verifies and decrypts ct || tag into `out` (ct.size() - 16
// bytes). Any failure is Decryption, and `out` is wiped.
Status aead_open(AeadId aead, ByteView key, const Nonce& nonce, ByteView aad, ByteView ct,
                 MutableBytes out);

}  // namespace core::hpke
