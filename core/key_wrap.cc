#include "core/key_wrap.h"

#include <algorithm>
#include <cstring>

#include "core/common/aes_gcm.h"
#include "core/common/rand.h"

namespace core {

Result<Bytes> wrap_secret_key_blob(ByteView secret_key, Level level, ByteView password) noexcept {
  return contained<Bytes>([&]() -> Result<Bytes> {
    std::array<uint8_t, kKeyWrapSaltLen> salt;
    std::array<uint8_t, kGcmNonceLen> nonce;
    if (Status s = fill_random(salt); !s.ok()) return s.error();
    if (Status s = fill_random(nonce); !s.ok()) return s.error();
    const size_t n = params(level).dk_len();
    if (secret_key.size() != n)
      return Error{ErrorKind::InvalidParameter,
                   "secret key size does not match the specified security level"};

    const Key256 key = hkdf_sha3_256(password, salt);
    Bytes blob(n + kWrapOverhead);
    uint8_t* p = blob.data();
    std::memcpy(p, kWrapMagic.data(), kWrapMagic.size());
    p[kWrapVersionOffset] = kWrapVersion;
    p[kWrapLevelOffset] = static_cast<uint8_t>(level);
    std::memcpy(p + kWrapSaltOffset, salt.data(), salt.size());
    std::memcpy(p + kWrapNonceOffset, nonce.data(), nonce.size());

    const Error encrypt_failed{ErrorKind::KeySerialization, "AES-GCM encrypt failed"};
    auto gcm = Aes256Gcm::create(key.view(), Aes256Gcm::Direction::Encrypt);
    if (!gcm.ok())
      return gcm.error().kind == ErrorKind::OutOfMemory ? gcm.error() : encrypt_failed;
    const MutableBytes ciphertext(p + kWrapHeaderLen, n);
    const std::span<uint8_t, kGcmTagLen> tag(p + kWrapHeaderLen + n, kGcmTagLen);
    if (!gcm.value().seal(ciphertext, tag, nonce, {}, secret_key).ok()) return encrypt_failed;
    return blob;
  });
}

Result<UnwrappedSecretKey> unwrap_secret_key(ByteView blob, ByteView password) noexcept {
  return contained<UnwrappedSecretKey>([&]() -> Result<UnwrappedSecretKey> {
    if (blob.size() < kWrapOverhead)
      return Error{ErrorKind::KeySerialization,
                   "wrapped blob is too short to contain a valid header"};
    if (!std::equal(kWrapMagic.begin(), kWrapMagic.end(), blob.begin()))
      return Error{ErrorKind::KeySerialization, "invalid magic bytes in wrapped blob"};
    if (blob[kWrapVersionOffset] != kWrapVersion)
      return Error{ErrorKind::KeySerialization, "unsupported wrapped blob version"};
    if (blob[kWrapLevelOffset] >= kParams.size())
      return Error{ErrorKind::KeySerialization, "unknown level_id in wrapped blob"};
    const Level level = static_cast<Level>(blob[kWrapLevelOffset]);

    const Key256 key = hkdf_sha3_256(password, blob.subspan<kWrapSaltOffset, kKeyWrapSaltLen>());
    auto gcm = Aes256Gcm::create(key.view(), Aes256Gcm::Direction::Decrypt);
    if (!gcm.ok()) return gcm.error();
    const size_t n = blob.size() - kWrapOverhead;
    SecretBytes secret_key(n);
    if (Status s = gcm.value().open(secret_key, blob.subspan(kWrapHeaderLen + n).first<kGcmTagLen>(),
                                    blob.subspan<kWrapNonceOffset, kGcmNonceLen>(), {},
                                    blob.subspan(kWrapHeaderLen, n));
        !s.ok())
      return Error{ErrorKind::Decryption};
    // The header is not authenticated: a level_id moved to another valid
    // level still decrypts, and is refused here.
    if (n != params(level).dk_len()) return Error{ErrorKind::Decryption};
    return UnwrappedSecretKey{std::move(secret_key), level};
  });
}

}  // namespace core
