#include "core/common/ossl.h"

#include <climits>
#include <cstring>

#include <openssl/err.h>

namespace core {
namespace ossl {
namespace {

struct MdFree {
  void operator()(EVP_MD* p) const noexcept { EVP_MD_free(p); }
};
struct CipherFree {
  void operator()(EVP_CIPHER* p) const noexcept { EVP_CIPHER_free(p); }
};

const EVP_MD* fetch_md(const char* name) {
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  CORE_CHECK(md != nullptr, "OpenSSL could not fetch a SHA-3 algorithm");
  return md;
}

}  // namespace

// Function-local statics: initialised once, thread-safely, and never freed
// (they live as long as the process, like the library's own tables).
const EVP_MD* sha3_256() {
  static const EVP_MD* md = fetch_md("SHA3-256");
  return md;
}
const EVP_MD* sha3_512() {
  static const EVP_MD* md = fetch_md("SHA3-512");
  return md;
}
const EVP_MD* shake128() {
  static const EVP_MD* md = fetch_md("SHAKE128");
  return md;
}
const EVP_MD* shake256() {
  static const EVP_MD* md = fetch_md("SHAKE256");
  return md;
}
const EVP_CIPHER* aes_256_gcm() {
  static const EVP_CIPHER* c = [] {
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    CORE_CHECK(cipher != nullptr, "OpenSSL could not fetch AES-256-GCM");
    return cipher;
  }();
  return c;
}

EVP_MD_CTX* thread_md_ctx() {
  thread_local MdCtx ctx(EVP_MD_CTX_new());
  CORE_CHECK(ctx != nullptr, "OpenSSL could not allocate a digest context");
  return ctx.get();
}

}  // namespace ossl

namespace {

void digest(const EVP_MD* md, MutableBytes out, std::initializer_list<ByteView> parts,
            bool xof) {
  EVP_MD_CTX* ctx = ossl::thread_md_ctx();
  bool ok = EVP_DigestInit_ex2(ctx, md, nullptr) == 1;
  for (ByteView p : parts) ok = ok && EVP_DigestUpdate(ctx, p.data(), p.size()) == 1;
  if (xof) {
    ok = ok && EVP_DigestFinalXOF(ctx, out.data(), out.size()) == 1;
  } else {
    unsigned int len = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, out.data(), &len) == 1 && len == out.size();
  }
  if (!ok) ERR_clear_error();
  CORE_CHECK(ok, "OpenSSL digest failed");
}

// OpenSSL takes lengths as int; long messages go through in slices.
constexpr size_t kSlice = size_t{1} << 30;

}  // namespace

void sha3_256(std::span<uint8_t, 32> out, std::initializer_list<ByteView> parts) {
  digest(ossl::sha3_256(), out, parts, false);
}
void sha3_512(std::span<uint8_t, 64> out, std::initializer_list<ByteView> parts) {
  digest(ossl::sha3_512(), out, parts, false);
}
void shake128(MutableBytes out, std::initializer_list<ByteView> parts) {
  digest(ossl::shake128(), out, parts, true);
}
void shake256(MutableBytes out, std::initializer_list<ByteView> parts) {
  digest(ossl::shake256(), out, parts, true);
}

Result<Aes256Gcm> Aes256Gcm::create(ByteView key, Direction direction) {
  if (key.size() != 32) return Error{ErrorKind::InvalidParameter, "AES-256-GCM key must be 32 bytes"};
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return Error{ErrorKind::OutOfMemory};
  const int enc = direction == Direction::Encrypt ? 1 : 0;
  if (EVP_CipherInit_ex2(ctx.get(), ossl::aes_256_gcm(), key.data(), nullptr, enc, nullptr) != 1) {
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
  for (size_t off = 0; ok && off < in.size(); off += kSlice) {
    const size_t n = std::min(kSlice, in.size() - off);
    ok = EVP_CipherUpdate(ctx, out.data() + off, &len, in.data() + off, static_cast<int>(n)) == 1;
  }
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
  for (size_t off = 0; ok && off < in.size(); off += kSlice) {
    const size_t n = std::min(kSlice, in.size() - off);
    ok = EVP_CipherUpdate(ctx, out.data() + off, &len, in.data() + off, static_cast<int>(n)) == 1;
  }
  ok = ok && EVP_CipherFinal_ex(ctx, nullptr, &len) == 1;
  if (!ok) {
    ERR_clear_error();  // leave no stale entry for the next OpenSSL caller
    wipe(out);
    return Error{ErrorKind::Decryption};
  }
  return Ok{};
}

}  // namespace core
