#include "core/hybrid.h"

#include <cstring>

#include "core/common/aes_gcm.h"
#include "core/common/rand.h"
#include "core/common/secret.h"
#include "core/kem.h"

namespace core::hybrid {
namespace {

constexpr const char* kTooLong = "plaintext exceeds the AES-GCM limit of 2^36 - 32 bytes";
constexpr const char* kTooSmall = "Encrypted package too small for the given security level";

Status seal_package(MutableBytes package, ByteView ek, ByteView plaintext, Level level) {
  const size_t c_len = params(level).ct_len();
  CORE_CHECK(package.size() == c_len + kOverhead + plaintext.size(),
             "Transit Package buffer has the wrong size");
  auto enc = ml_kem_encaps(ek, level);  // the shared secret wipes itself
  if (!enc.ok()) return enc.error();
  const EncapsulationResult& e = enc.value();
  CORE_CHECK(e.capsule.size() == c_len, "capsule size differs from the level table");

  const MutableBytes nonce = package.subspan(c_len, kGcmNonceLen);
  if (Status s = fill_random(nonce); !s.ok()) return s.error();
  auto gcm = Aes256Gcm::create(e.shared_secret.view(), Aes256Gcm::Direction::Encrypt);
  if (!gcm.ok()) return gcm.error();

  std::memcpy(package.data(), e.capsule.data(), c_len);
  const std::span<uint8_t, kGcmTagLen> tag(package.data() + c_len + kGcmNonceLen, kGcmTagLen);
  return gcm.value().seal(package.subspan(c_len + kOverhead), tag,
                          GcmNonce(nonce.data(), kGcmNonceLen), {}, plaintext);
}

Status open_package(MutableBytes plaintext, ByteView package, ByteView dk, Level level) {
  const size_t c_len = params(level).ct_len();
  if (package.size() < c_len + kOverhead) return Error{ErrorKind::InvalidParameter, kTooSmall};
  CORE_CHECK(plaintext.size() == package.size() - c_len - kOverhead,
             "plaintext buffer has the wrong size");
  const ByteView capsule = package.first(c_len);
  const GcmNonce nonce(package.data() + c_len, kGcmNonceLen);
  const std::span<const uint8_t, kGcmTagLen> tag(package.data() + c_len + kGcmNonceLen,
                                                 kGcmTagLen);
  const ByteView ciphertext = package.subspan(c_len + kOverhead);

  // Implicit rejection: a damaged capsule yields a pseudo-random key, and the
  // tag check below fails instead.
  auto shared = ml_kem_decaps(capsule, dk, level);
  if (!shared.ok()) return shared.error();
  auto gcm = Aes256Gcm::create(shared.value().view(), Aes256Gcm::Direction::Decrypt);
  if (!gcm.ok()) return gcm.error();
  return gcm.value().open(plaintext, tag, nonce, {}, ciphertext);
}

}  // namespace

Result<size_t> sealed_len(size_t plaintext_len, Level level) noexcept {
  if (uint64_t{plaintext_len} > kGcmMaxPlaintext) return Error{ErrorKind::InvalidParameter, kTooLong};
  return min_package_len(level) + plaintext_len;
}

Result<size_t> opened_len(size_t package_len, Level level) noexcept {
  if (package_len < min_package_len(level)) return Error{ErrorKind::InvalidParameter, kTooSmall};
  return package_len - min_package_len(level);
}

Status encrypt_into(MutableBytes package, ByteView ek, ByteView plaintext, Level level) noexcept {
  Status s = contained<Ok>([&]() -> Status {
    if (uint64_t{plaintext.size()} > kGcmMaxPlaintext)
      return Error{ErrorKind::InvalidParameter, kTooLong};
    return seal_package(package, ek, plaintext, level);
  });
  if (!s.ok()) wipe(package);
  return s;
}

Status decrypt_into(MutableBytes plaintext, ByteView package, ByteView dk, Level level) noexcept {
  Status s = contained<Ok>([&] { return open_package(plaintext, package, dk, level); });
  if (!s.ok()) wipe(plaintext);
  return s;
}

Result<Bytes> encrypt(ByteView ek, ByteView plaintext, Level level) noexcept {
  return contained<Bytes>([&]() -> Result<Bytes> {
    auto len = sealed_len(plaintext.size(), level);
    if (!len.ok()) return len.error();
    Bytes package(len.value());
    if (Status s = encrypt_into(package, ek, plaintext, level); !s.ok()) return s.error();
    return package;
  });
}

Result<Bytes> decrypt(ByteView package, ByteView dk, Level level) noexcept {
  return contained<Bytes>([&]() -> Result<Bytes> {
    auto len = opened_len(package.size(), level);
    if (!len.ok()) return len.error();
    Bytes plaintext(len.value());
    if (Status s = decrypt_into(plaintext, package, dk, level); !s.ok()) return s.error();
    return plaintext;
  });
}

}  // namespace core::hybrid
