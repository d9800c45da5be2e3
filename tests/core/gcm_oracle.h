// Test helpers for the symmetric envelopes: one key pair per level and a
// plain AES-256-GCM through OpenSSL's EVP interface, written without the
// core's cipher wrapper, as an oracle for the formats.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <optional>
#include <vector>

#include "core/kem.h"

namespace symtest {

using core::Bytes;
using core::ByteView;
using core::Level;

inline constexpr Level kLevels[] = {Level::MlKem512, Level::MlKem768, Level::MlKem1024};

// key_pair returns one cached key pair per level.
inline const core::KeyPairBytes& key_pair(Level level) {
  static std::array<std::optional<core::KeyPairBytes>, 3> cache;
  auto& slot = cache[static_cast<size_t>(level)];
  if (!slot) {
    auto kp = core::ml_kem_keygen(level);
    EXPECT_TRUE(kp.ok());
    slot = std::move(kp.value());
  }
  return *slot;
}

inline Bytes pattern(size_t n, uint8_t seed = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 131 + (i >> 8));
  return b;
}

// gcm_seal returns ciphertext || tag.
inline Bytes gcm_seal(ByteView key, ByteView nonce, ByteView aad, ByteView pt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(pt.size() + 16);
  int len = 0;
  bool ok = EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, int(nonce.size()), nullptr) == 1 &&
            EVP_EncryptInit_ex(ctx, nullptr, nullptr, key.data(), nonce.data()) == 1 &&
            (aad.empty() ||
             EVP_EncryptUpdate(ctx, nullptr, &len, aad.data(), int(aad.size())) == 1) &&
            (pt.empty() ||
             EVP_EncryptUpdate(ctx, out.data(), &len, pt.data(), int(pt.size())) == 1) &&
            EVP_EncryptFinal_ex(ctx, out.data() + pt.size(), &len) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + pt.size()) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EXPECT_TRUE(ok);
  return out;
}

// gcm_open opens ciphertext || tag; nullopt when the tag does not verify.
inline std::optional<Bytes> gcm_open(ByteView key, ByteView nonce, ByteView aad,
                                     ByteView ct_tag) {
  if (ct_tag.size() < 16) return std::nullopt;
  const size_t n = ct_tag.size() - 16;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(n);
  Bytes tag(ct_tag.end() - 16, ct_tag.end());
  int len = 0;
  bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, int(nonce.size()), nullptr) == 1 &&
            EVP_DecryptInit_ex(ctx, nullptr, nullptr, key.data(), nonce.data()) == 1 &&
            (aad.empty() ||
             EVP_DecryptUpdate(ctx, nullptr, &len, aad.data(), int(aad.size())) == 1) &&
            (n == 0 || EVP_DecryptUpdate(ctx, out.data(), &len, ct_tag.data(), int(n)) == 1) &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag.data()) == 1 &&
            EVP_DecryptFinal_ex(ctx, out.data() + n, &len) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) return std::nullopt;
  return out;
}

inline Bytes concat(std::initializer_list<ByteView> parts) {
  Bytes out;
  for (ByteView p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace symtest
