// AES-256-GCM (SP 800-38D) through OpenSSL's libcrypto.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include <openssl/evp.h>

#include "core/common/bytes.h"
#include "core/common/ossl.h"
#include "core/result.h"

namespace core {

inline constexpr size_t kGcmNonceLen = 12;
inline constexpr size_t kGcmTagLen = 16;
// SP 800-38D: at most 2^39 - 256 bits of plaintext per invocation.
inline constexpr uint64_t kGcmMaxPlaintext = (uint64_t{1} << 36) - 32;

using GcmNonce = std::span<const uint8_t, kGcmNonceLen>;

// Aes256Gcm holds one AES-256-GCM key schedule, computed once at creation and
// reused for every message; only the nonce changes between calls. An object
// is made for one direction and used by one thread at a time.
class Aes256Gcm {
 public:
  enum class Direction : uint8_t { Encrypt, Decrypt };

  // create keys the cipher; key must be 32 bytes (else InvalidParameter
  // "AES-256-GCM key must be 32 bytes").
  static Result<Aes256Gcm> create(ByteView key, Direction direction);

  // seal encrypts `in` into `out` (same length; may alias exactly) and writes
  // the tag. Fails with InvalidParameter for a message beyond the GCM limit,
  // Internal for an OpenSSL failure.
  Status seal(MutableBytes out, std::span<uint8_t, kGcmTagLen> tag, GcmNonce nonce,
              ByteView aad, ByteView in);

  // open decrypts and verifies. Any failure, a wrong tag included, is
  // Decryption and leaves `out` wiped.
  Status open(MutableBytes out, std::span<const uint8_t, kGcmTagLen> tag, GcmNonce nonce,
              ByteView aad, ByteView in);

 private:
  explicit Aes256Gcm(CipherCtx ctx, Direction d) : ctx_(std::move(ctx)), direction_(d) {}
  CipherCtx ctx_;
  Direction direction_;
};

}  // namespace core
