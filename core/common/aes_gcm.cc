#include "core/common/aes_gcm.h"

#include <algorithm>

#include <openssl/err.h>

namespace core {
namespace {

// Fetched once per process and never freed; a failed fetch is an internal fault.
const EVP_CIPHER* aes_256_gcm() {
  static const EVP_CIPHER* cipher = [] {
    EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    CORE_CHECK(c != nullptr, "OpenSSL could not fetch AES-256-GCM");
    return c;
  }();
  return cipher;
}

// update_sliced runs `in` through the cipher into `out` (same length).
// OpenSSL takes lengths as int, so long messages go through in slices.
bool update_sliced(EVP_CIPHER_CTX* ctx, MutableBytes out, ByteView in) {
  constexpr size_t kSlice = size_t{1} << 30;
  int len = 0;
  for (size_t off = 0; off < in.size(); off += kSlice) {
    const size_t n = std::min(kSlice, in.size() - off);
    if (EVP_CipherUpdate(ctx, out.data() + off, &len, in.data() + off, static_cast<int>(n)) != 1)
      return false;
  }
  return true;
}

}  // namespace

Result<Aes256Gcm> Aes256Gcm::create(ByteView key, Direction direction) {
  if (key.size() != 32) return Error{ErrorKind::InvalidParameter, "AES-256-GCM key must be 32 bytes"};
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return Error{ErrorKind::OutOfMemory};
  const int enc = direction == Direction::Encrypt ? 1 : 0;
  if (EVP_CipherInit_ex2(ctx.get(), aes_256_gcm(), key.data(), nullptr, enc, nullptr) != 1) {
    ERR_clear_error();
    return Error{ErrorKind::Internal, "OpenSSL could not key AES-256-GCM"};
  }
  return Aes256Gcm(std::move(ctx), direction);
}

Status Aes256Gcm::seal(MutableBytes out, std::span<uint8_t, kGcmTagLen> tag, GcmNonce nonce,
                       ByteView aad, ByteView in) {
  if (uint64_t{in.size()} > kGcmMaxPlaintext)
    return Error{ErrorKind::InvalidParameter, "plaintext exceeds the AES-GCM limit of 2^36 - 32 bytes"};
  CORE_CHECK(direction_ == Direction::Encrypt && out.size() == in.size(),
             "Aes256Gcm::seal misused");
  EVP_CIPHER_CTX* ctx = ctx_.get();
  int len = 0;
  // A null key keeps the key schedule; only the IV is set.
  bool ok = EVP_CipherInit_ex2(ctx, nullptr, nullptr, nonce.data(), 1, nullptr) == 1;
  if (ok && !aad.empty())
    ok = EVP_CipherUpdate(ctx, nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1;
  ok = ok && update_sliced(ctx, out, in);
  ok = ok && EVP_CipherFinal_ex(ctx, nullptr, &len) == 1;
  ok = ok && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, kGcmTagLen, tag.data()) == 1;
  if (!ok) {
    ERR_clear_error();
    wipe(out);
    return Error{ErrorKind::Internal, "OpenSSL AES-GCM encryption failed"};
  }
  return Ok{};
}

Status Aes256Gcm::open(MutableBytes out, std::span<const uint8_t, kGcmTagLen> tag,
                       GcmNonce nonce, ByteView aad, ByteView in) {
  CORE_CHECK(direction_ == Direction::Decrypt && out.size() == in.size(),
             "Aes256Gcm::open misused");
  EVP_CIPHER_CTX* ctx = ctx_.get();
  int len = 0;
  bool ok = uint64_t{in.size()} <= kGcmMaxPlaintext &&
            EVP_CipherInit_ex2(ctx, nullptr, nullptr, nonce.data(), 0, nullptr) == 1;
  ok = ok && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, kGcmTagLen,
                                 const_cast<uint8_t*>(tag.data())) == 1;
  if (ok && !aad.empty())
    ok = EVP_CipherUpdate(ctx, nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1;
  ok = ok && update_sliced(ctx, out, in);
  ok = ok && EVP_CipherFinal_ex(ctx, nullptr, &len) == 1;
  if (!ok) {
    ERR_clear_error();  // leave no stale entry for the next OpenSSL caller
    wipe(out);
    return Error{ErrorKind::Decryption};
  }
  return Ok{};
}

}  // namespace core
