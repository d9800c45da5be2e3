// OpenSSL's libcrypto, wrapped once: RAII owners, algorithms fetched once per
// process, the Keccak hashes of FIPS 202 and AES-256-GCM (SP 800-38D).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

#include <openssl/evp.h>

#include "core/common/bytes.h"
#include "core/result.h"

namespace core {

template <auto Free>
struct OsslFree {
  template <class T>
  void operator()(T* p) const noexcept { Free(p); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, OsslFree<&EVP_MD_CTX_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, OsslFree<&EVP_CIPHER_CTX_free>>;

namespace ossl {
// Each is fetched on first use and kept for the life of the process; a fetch
// that fails is an internal fault (CORE_CHECK).
const EVP_MD* sha3_256();
const EVP_MD* sha3_512();
const EVP_MD* shake128();
const EVP_MD* shake256();
const EVP_CIPHER* aes_256_gcm();

// thread_md_ctx is a digest context owned by the calling thread, reused by
// the one-shot hashes below instead of allocating one per call.
EVP_MD_CTX* thread_md_ctx();
}  // namespace ossl

// One-shot hashes over the concatenation of `parts`. They cannot fail on
// valid arguments; an OpenSSL failure (out of memory) is an internal fault.
void sha3_256(std::span<uint8_t, 32> out, std::initializer_list<ByteView> parts);
void sha3_512(std::span<uint8_t, 64> out, std::initializer_list<ByteView> parts);
void shake128(MutableBytes out, std::initializer_list<ByteView> parts);
void shake256(MutableBytes out, std::initializer_list<ByteView> parts);

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
