#include "core/hpke/aead.h"

#include <algorithm>
#include <memory>

#include <openssl/err.h>
#include <openssl/evp.h>

#include "core/common/ossl.h"

namespace core::hpke {
namespace {

// Fetched once per process and never freed; a failed fetch is an internal fault.
const EVP_CIPHER* cipher_of(AeadId aead) {
  static const std::array<EVP_CIPHER*, 3> ciphers = [] {
    std::array<EVP_CIPHER*, 3> c{EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr),
                                 EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr),
                                 EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr)};
    CORE_CHECK(c[0] && c[1] && c[2], "OpenSSL could not fetch an AEAD");
    return c;
  }();
  CORE_CHECK(aead != AeadId::ExportOnly, "export-only suite has no cipher");
  return ciphers[static_cast<size_t>(aead) - 1];
}

// The message limits: SP 800-38D (2^39 - 256 bits) and RFC 8439, Section 2.8
// (2^32 - 1 blocks of 64 bytes, the first one for the Poly1305 key).
uint64_t max_plaintext(AeadId aead) {
  return aead == AeadId::ChaCha20Poly1305 ? ((uint64_t{1} << 32) - 2) * 64
                                          : (uint64_t{1} << 36) - 32;
}

// update runs `in` through the cipher into `out` (same length), in slices
// because OpenSSL takes lengths as int.
bool update(EVP_CIPHER_CTX* ctx, uint8_t* out, ByteView in) {
  constexpr size_t kSlice = size_t{1} << 30;
  int len = 0;
  for (size_t off = 0; off < in.size(); off += kSlice) {
    const size_t n = std::min(kSlice, in.size() - off);
    if (EVP_CipherUpdate(ctx, out + off, &len, in.data() + off, static_cast<int>(n)) != 1)
      return false;
  }
  return true;
}

bool add_aad(EVP_CIPHER_CTX* ctx, ByteView aad) {
  constexpr size_t kSlice = size_t{1} << 30;
  int len = 0;
  for (size_t off = 0; off < aad.size(); off += kSlice) {
    const size_t n = std::min(kSlice, aad.size() - off);
    if (EVP_CipherUpdate(ctx, nullptr, &len, aad.data() + off, static_cast<int>(n)) != 1)
      return false;
  }
  return true;
}

}  // namespace

Status aead_seal(AeadId aead, ByteView key, const Nonce& nonce, ByteView aad, ByteView pt,
                 MutableBytes out) {
  CORE_CHECK(out.size() == pt.size() + kAeadTagLen, "aead_seal: output size");
  if (uint64_t{pt.size()} > max_plaintext(aead))
    return Error{ErrorKind::InvalidParameter, "HPKE plaintext exceeds the AEAD's limit"};
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return Error{ErrorKind::OutOfMemory};
  int len = 0;
  bool ok = EVP_CipherInit_ex2(ctx.get(), cipher_of(aead), key.data(), nonce.data(), 1,
                               nullptr) == 1 &&
            add_aad(ctx.get(), aad) && update(ctx.get(), out.data(), pt) &&
            EVP_CipherFinal_ex(ctx.get(), nullptr, &len) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, kAeadTagLen,
                                out.data() + pt.size()) == 1;
  if (!ok) {
    ERR_clear_error();
    wipe(out);
    return Error{ErrorKind::Internal, "OpenSSL AEAD encryption failed"};
  }
  return Ok{};
}

Status aead_open(AeadId aead, ByteView key, const Nonce& nonce, ByteView aad, ByteView ct,
                 MutableBytes out) {
  if (ct.size() < kAeadTagLen) return Error{ErrorKind::Decryption};
  CORE_CHECK(out.size() == ct.size() - kAeadTagLen, "aead_open: output size");
  const ByteView body = ct.first(out.size());
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return Error{ErrorKind::OutOfMemory};
  int len = 0;
  bool ok = uint64_t{body.size()} <= max_plaintext(aead) &&
            EVP_CipherInit_ex2(ctx.get(), cipher_of(aead), key.data(), nonce.data(), 0,
                               nullptr) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, kAeadTagLen,
                                const_cast<uint8_t*>(ct.data() + body.size())) == 1 &&
            add_aad(ctx.get(), aad) && update(ctx.get(), out.data(), body) &&
            EVP_CipherFinal_ex(ctx.get(), nullptr, &len) == 1;
  if (!ok) {
    ERR_clear_error();
    wipe(out);
    return Error{ErrorKind::Decryption};
  }
  return Ok{};
}

}  // namespace core::hpke
