#include "core/hpke/labeled.h"

#include <algorithm>
#include <array>
#include <memory>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include "core/common/ossl.h"
#include "core/result.h"

namespace core::hpke {
namespace {

constexpr std::string_view kVersion = "HPKE-v1";

const char* digest_name(KdfId kdf) {
  switch (kdf) {
    case KdfId::HkdfSha256: return "SHA256";
    case KdfId::HkdfSha384: return "SHA384";
    case KdfId::HkdfSha512: return "SHA512";
    default: break;
  }
  CORE_CHECK(false, "not an HKDF");
  return nullptr;
}

// Fetched once per process and never freed; a failed fetch is an internal fault.
EVP_MAC* hmac_algorithm() {
  static EVP_MAC* mac = [] {
    EVP_MAC* m = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    CORE_CHECK(m != nullptr, "OpenSSL could not fetch HMAC");
    return m;
  }();
  return mac;
}

// new_hmac returns a fresh HMAC context for the KDF's hash, copied from a
// template that has its digest set: setting the digest by name on every
// context would fetch it from the provider each time. The templates are
// built once per process, hold no key and are only read afterwards.
MacCtx new_hmac(KdfId kdf) {
  static const std::array<EVP_MAC_CTX*, 3> templates = [] {
    std::array<EVP_MAC_CTX*, 3> t{};
    const KdfId kdfs[] = {KdfId::HkdfSha256, KdfId::HkdfSha384, KdfId::HkdfSha512};
    for (size_t i = 0; i < t.size(); ++i) {
      t[i] = EVP_MAC_CTX_new(hmac_algorithm());
      OSSL_PARAM params[] = {
          OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST,
                                           const_cast<char*>(digest_name(kdfs[i])), 0),
          OSSL_PARAM_construct_end()};
      CORE_CHECK(t[i] != nullptr && EVP_MAC_CTX_set_params(t[i], params) == 1,
                 "OpenSSL could not set up HMAC");
    }
    return t;
  }();
  const size_t index = kdf == KdfId::HkdfSha256 ? 0 : kdf == KdfId::HkdfSha384 ? 1 : 2;
  (void)digest_name(kdf);  // refuses a KDF that is not an HKDF
  MacCtx ctx(EVP_MAC_CTX_dup(templates[index]));
  if (!ctx) throw std::bad_alloc();
  return ctx;
}

const EVP_MD* shake(KdfId kdf) {
  static const std::array<EVP_MD*, 2> mds = [] {
    std::array<EVP_MD*, 2> m{EVP_MD_fetch(nullptr, "SHAKE128", nullptr),
                             EVP_MD_fetch(nullptr, "SHAKE256", nullptr)};
    CORE_CHECK(m[0] != nullptr && m[1] != nullptr, "OpenSSL could not fetch SHAKE");
    return m;
  }();
  return mds[kdf == KdfId::Shake128 ? 0 : 1];
}

// hmac writes HMAC(key, concatenation of parts) to `out` (Nh bytes). The
// context is freed through OpenSSL's wiping free.
void hmac(KdfId kdf, MutableBytes out, ByteView key, std::initializer_list<ByteView> parts) {
  MacCtx ctx = new_hmac(kdf);
  bool ok = EVP_MAC_init(ctx.get(), key.data(), key.size(), nullptr) == 1;
  for (ByteView p : parts) ok = ok && EVP_MAC_update(ctx.get(), p.data(), p.size()) == 1;
  size_t len = 0;
  ok = ok && EVP_MAC_final(ctx.get(), out.data(), &len, out.size()) == 1 && len == out.size();
  if (!ok) {
    ERR_clear_error();
    wipe(out);
    CORE_CHECK(false, "OpenSSL HMAC failed");
  }
}

void store_be16(uint8_t* out, size_t v) {
  out[0] = static_cast<uint8_t>(v >> 8);
  out[1] = static_cast<uint8_t>(v);
}

}  // namespace

size_t hash_len(KdfId kdf) noexcept {
  switch (kdf) {
    case KdfId::HkdfSha256: return 32;
    case KdfId::HkdfSha384: return 48;
    case KdfId::HkdfSha512: return 64;
    case KdfId::Shake128: return 32;
    case KdfId::Shake256: return 64;
  }
  return 0;
}

void hkdf_extract(KdfId kdf, MutableBytes prk, ByteView salt, std::initializer_list<ByteView> ikm) {
  CORE_CHECK(prk.size() == hash_len(kdf), "hkdf_extract: output size");
  const std::array<uint8_t, 64> zeros{};
  hmac(kdf, prk, salt.empty() ? ByteView(zeros.data(), hash_len(kdf)) : salt, ikm);
}

namespace {

// keyed_hmac returns an HMAC context for the KDF's hash keyed with `key`.
MacCtx keyed_hmac(KdfId kdf, ByteView key) {
  MacCtx ctx = new_hmac(kdf);
  if (EVP_MAC_init(ctx.get(), key.data(), key.size(), nullptr) != 1) {
    ERR_clear_error();
    CORE_CHECK(false, "OpenSSL HMAC failed");
  }
  return ctx;
}

// expand_keyed writes HKDF-Expand(prk, info parts) to `out` (RFC 5869,
// Section 2.3), `keyed` being HMAC keyed with prk: each block starts from a
// copy of it, except the last when `spend` (which then uses up `keyed`).
void expand_keyed(KdfId kdf, EVP_MAC_CTX* keyed, bool spend, MutableBytes out,
                  std::initializer_list<ByteView> info) {
  const size_t n_h = hash_len(kdf);
  CORE_CHECK(out.size() <= 255 * n_h, "hkdf_expand: output too long");
  // T(i) = HMAC(prk, T(i-1) || info || i); the output is T(1) || T(2) || ...
  SecretBytes t(n_h);
  size_t t_len = 0;
  for (size_t done = 0, i = 1; done < out.size(); ++i) {
    const uint8_t counter = static_cast<uint8_t>(i);
    const size_t n = std::min(n_h, out.size() - done);
    // One HMAC over T(i-1), every info part and the counter.
    MacCtx copy;
    if (!spend || done + n < out.size()) {
      copy.reset(EVP_MAC_CTX_dup(keyed));
      if (!copy) throw std::bad_alloc();
    }
    EVP_MAC_CTX* ctx = copy ? copy.get() : keyed;
    bool ok = EVP_MAC_update(ctx, t.data(), t_len) == 1;
    for (ByteView p : info) ok = ok && EVP_MAC_update(ctx, p.data(), p.size()) == 1;
    size_t len = 0;
    ok = ok && EVP_MAC_update(ctx, &counter, 1) == 1 &&
         EVP_MAC_final(ctx, t.data(), &len, n_h) == 1 && len == n_h;
    if (!ok) {
      ERR_clear_error();
      wipe(out);
      CORE_CHECK(false, "OpenSSL HMAC failed");
    }
    t_len = n_h;
    std::copy_n(t.data(), n, out.data() + done);
    done += n;
  }
}

// The info parts of LabeledExpand before its own info: I2OSP(L, 2) is
// written to `length`.
void labeled_prefix(uint8_t (&length)[2], size_t out_len) {
  CORE_CHECK(out_len <= 0xffff, "labeled_expand: length beyond two bytes");
  store_be16(length, out_len);
}

}  // namespace

void hkdf_expand(KdfId kdf, MutableBytes out, ByteView prk, std::initializer_list<ByteView> info) {
  MacCtx keyed = keyed_hmac(kdf, prk);
  expand_keyed(kdf, keyed.get(), true, out, info);
}

void labeled_extract(KdfId kdf, MutableBytes prk, ByteView suite_id, ByteView salt,
                     std::string_view label, ByteView ikm) {
  hkdf_extract(kdf, prk, salt, {bytes_of(kVersion), suite_id, bytes_of(label), ikm});
}

void labeled_expand(KdfId kdf, MutableBytes out, ByteView suite_id, ByteView prk,
                    std::string_view label, ByteView info) {
  uint8_t length[2];
  labeled_prefix(length, out.size());
  hkdf_expand(kdf, out, prk,
              {ByteView(length, 2), bytes_of(kVersion), suite_id, bytes_of(label), info});
}

Prk::Prk(KdfId kdf, ByteView prk) : kdf_(kdf), keyed_(keyed_hmac(kdf, prk)) {}

void Prk::labeled_expand(MutableBytes out, ByteView suite_id, std::string_view label,
                         ByteView info) const {
  uint8_t length[2];
  labeled_prefix(length, out.size());
  expand_keyed(kdf_, keyed_.get(), false, out,
               {ByteView(length, 2), bytes_of(kVersion), suite_id, bytes_of(label), info});
}

void labeled_derive(KdfId kdf, MutableBytes out, ByteView suite_id,
                    std::initializer_list<ByteView> ikm, std::string_view label,
                    ByteView context) {
  CORE_CHECK(out.size() <= 0xffff && label.size() <= 0xffff, "labeled_derive: length");
  uint8_t label_len[2], length[2];
  store_be16(label_len, label.size());
  store_be16(length, out.size());
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) throw std::bad_alloc();
  bool ok = EVP_DigestInit_ex2(ctx.get(), shake(kdf), nullptr) == 1;
  for (ByteView p : ikm) ok = ok && EVP_DigestUpdate(ctx.get(), p.data(), p.size()) == 1;
  for (ByteView p : {bytes_of(kVersion), suite_id, ByteView(label_len, 2), bytes_of(label),
                     ByteView(length, 2), context})
    ok = ok && EVP_DigestUpdate(ctx.get(), p.data(), p.size()) == 1;
  // A zero-length output still finishes the sponge; OpenSSL wants a buffer.
  uint8_t none = 0;
  ok = ok && EVP_DigestFinalXOF(ctx.get(), out.empty() ? &none : out.data(), out.size()) == 1;
  if (!ok) {
    ERR_clear_error();
    wipe(out);
    CORE_CHECK(false, "OpenSSL SHAKE failed");
  }
  // EVP_MD_CTX_free cleanses the sponge state.
}

}  // namespace core::hpke
