#include "core/xwing_key.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "core/common/aes_gcm.h"
#include "core/common/ecdh.h"
#include "core/common/rand.h"
#include "core/kdf.h"
#include "core/key_wrap.h"

namespace core {
namespace {

constexpr size_t kEkM = 1184;  // ML-KEM-768 encapsulation key
constexpr size_t kCtM = 1088;  // ML-KEM-768 ciphertext
static_assert(kEkM + kX25519Len == kXWingPublicKeyLen && kCtM + kX25519Len == kXWingCiphertextLen);

}  // namespace

// The public half, shared by an encapsulation key and the decapsulation key
// it came from; never changed once built.
struct XWingEncapsulationKey::Parts {
  Bytes public_key;      // pk_M || pk_X
  EncapsulationKey ek_m;  // pk_M, expanded
  X25519Peer pk_x;        // pk_X, loaded into libcrypto
};

// The secret half; wiped when freed.
struct XWingDecapsulationKey::Secrets {
  Key256 seed;
  Key256 sk_x;
  DecapsulationKey dk_m;
  X25519Key key_x;  // sk_x, loaded into libcrypto
};

// ---------------------------------------------------------------- XWingEncapsulationKey

XWingEncapsulationKey::XWingEncapsulationKey(std::shared_ptr<const Parts> parts) noexcept
    : parts_(std::move(parts)) {}

Result<XWingEncapsulationKey> XWingEncapsulationKey::from_bytes(ByteView public_key) noexcept {
  return contained<XWingEncapsulationKey>([&]() -> Result<XWingEncapsulationKey> {
    if (Status s = xwing_check_public_key(public_key); !s.ok()) return s.error();
    Result<EncapsulationKey> ek = EncapsulationKey::from_bytes(public_key.first(kEkM),
                                                               Level::MlKem768);
    if (!ek.ok()) return ek.error();
    Result<X25519Peer> pk_x = X25519Peer::from_point(X25519Bytes(public_key.data() + kEkM, 32));
    if (!pk_x.ok()) return pk_x.error();
    auto parts = std::make_shared<const Parts>(Parts{Bytes(public_key.begin(), public_key.end()),
                                                     std::move(ek).value(),
                                                     std::move(pk_x).value()});
    return XWingEncapsulationKey(std::move(parts));
  });
}

ByteView XWingEncapsulationKey::bytes() const noexcept { return view(parts_->public_key); }

Result<EncapsulationResult> XWingEncapsulationKey::encapsulate() const noexcept {
  return contained<EncapsulationResult>([&]() -> Result<EncapsulationResult> {
    Secret<kXWingEseedLen> eseed;
    if (Status s = fill_random(eseed.span()); !s.ok()) return s.error();
    return encapsulate_deterministic(eseed.view());
  });
}

Result<EncapsulationResult> XWingEncapsulationKey::encapsulate_deterministic(
    ByteView eseed) const noexcept {
  return contained<EncapsulationResult>([&]() -> Result<EncapsulationResult> {
    CORE_CHECK(parts_ != nullptr, "encapsulation with a moved-from key");
    if (eseed.size() != kXWingEseedLen)
      return Error{ErrorKind::InvalidParameter, "X-Wing eseed must be 64 bytes"};
    const X25519Bytes pk_x(parts_->public_key.data() + kEkM, kX25519Len);
    const X25519Bytes ek_x(eseed.data() + 32, kX25519Len);
    EncapsulationResult out{Bytes(kXWingCiphertextLen), Key256{}};
    std::span<uint8_t, 32> ct_x(out.capsule.data() + kCtM, kX25519Len);
    Key256 ss_x;
    if (Status s = parts_->pk_x.ephemeral(ct_x, ss_x.span(), ek_x); !s.ok()) return s.error();
    Result<DeterministicEncapsulationResult> m =
        parts_->ek_m.encapsulate_deterministic(Seed(eseed.data(), 32));
    if (!m.ok()) return m.error();
    std::memcpy(out.capsule.data(), m.value().capsule.data(), kCtM);
    xwing_combiner(out.shared_secret, m.value().shared_secret, ss_x, ct_x, pk_x);
    return out;
  });
}

// ---------------------------------------------------------------- XWingDecapsulationKey

XWingDecapsulationKey::XWingDecapsulationKey(XWingEncapsulationKey pub,
                                             std::unique_ptr<const Secrets> sec) noexcept
    : pub_(std::move(pub)), sec_(std::move(sec)) {}
XWingDecapsulationKey::XWingDecapsulationKey(XWingDecapsulationKey&&) noexcept = default;
XWingDecapsulationKey& XWingDecapsulationKey::operator=(XWingDecapsulationKey&&) noexcept =
    default;
XWingDecapsulationKey::~XWingDecapsulationKey() = default;

Result<XWingDecapsulationKey> XWingDecapsulationKey::from_seed(ByteView seed) noexcept {
  return contained<XWingDecapsulationKey>([&]() -> Result<XWingDecapsulationKey> {
    // expandDecapsulationKey: SHAKE256(seed, 96) = d || z || sk_X, then
    // ML-KEM-768's KeyGen_internal(d, z) and X25519(sk_X, 9).
    Result<XWingPrivateKey> x = xwing_expand(seed);
    if (!x.ok()) return x.error();
    Result<DecapsulationKey> dk = DecapsulationKey::from_bytes(x.value().dk_m, Level::MlKem768);
    if (!dk.ok()) return dk.error();
    const X25519Bytes pk_x(x.value().public_key.data() + kEkM, kX25519Len);
    Result<X25519Peer> peer = X25519Peer::from_point(pk_x);
    if (!peer.ok()) return peer.error();
    Result<X25519Key> key_x = X25519Key::from_scalar(x.value().sk_x.span(), pk_x);
    if (!key_x.ok()) return key_x.error();
    auto parts = std::make_shared<const XWingEncapsulationKey::Parts>(
        XWingEncapsulationKey::Parts{std::move(x.value().public_key),
                                     dk.value().encapsulation_key(), std::move(peer).value()});
    auto sec = std::make_unique<const Secrets>(Secrets{std::move(x.value().seed),
                                                       std::move(x.value().sk_x),
                                                       std::move(dk).value(),
                                                       std::move(key_x).value()});
    return XWingDecapsulationKey(XWingEncapsulationKey(std::move(parts)), std::move(sec));
  });
}

ByteView XWingDecapsulationKey::seed() const noexcept { return sec_->seed.view(); }

XWingEncapsulationKey XWingDecapsulationKey::public_key() const noexcept { return pub_; }

Result<Key256> XWingDecapsulationKey::decapsulate(ByteView ciphertext) const noexcept {
  return contained<Key256>([&]() -> Result<Key256> {
    CORE_CHECK(sec_ != nullptr, "decapsulation with a moved-from key");
    if (ciphertext.size() != kXWingCiphertextLen)
      return Error{ErrorKind::InvalidParameter, "X-Wing ciphertext must be 1120 bytes"};
    const X25519Bytes ct_x(ciphertext.data() + kCtM, kX25519Len);
    const X25519Bytes pk_x(pub_.parts_->public_key.data() + kEkM, kX25519Len);
    Result<Key256> ss_m = sec_->dk_m.decapsulate(ciphertext.first(kCtM));
    if (!ss_m.ok()) return ss_m.error();
    Key256 ss_x, shared;
    if (!sec_->key_x.derive(ss_x.span(), ct_x).ok())
      return Error{ErrorKind::Decapsulation, "X-Wing ciphertext has an X25519 part of small order"};
    xwing_combiner(shared, ss_m.value(), ss_x, ct_x, pk_x);
    return shared;
  });
}

// ---------------------------------------------------------------- wrapped seed

namespace {
constexpr size_t kWrapAadLen = kWrapSaltOffset;  // magic, version, kind
static_assert(kXWingWrappedLen == kWrapOverhead + kXWingSeedLen);
}  // namespace

Result<Bytes> xwing_wrap_seed(ByteView seed, ByteView password) noexcept {
  return contained<Bytes>([&]() -> Result<Bytes> {
    std::array<uint8_t, kKeyWrapSaltLen> salt;
    std::array<uint8_t, kGcmNonceLen> nonce;
    if (Status s = fill_random(salt); !s.ok()) return s.error();
    if (Status s = fill_random(nonce); !s.ok()) return s.error();
    if (seed.size() != kXWingSeedLen)
      return Error{ErrorKind::InvalidParameter, "X-Wing private key must be 32 bytes"};
    const Key256 key = hkdf_sha3_256(password, salt);
    Bytes blob(kXWingWrappedLen);
    uint8_t* p = blob.data();
    std::memcpy(p, kWrapMagic.data(), kWrapMagic.size());
    p[4] = kWrapVersion;
    p[5] = kXWingWrapKind;
    std::memcpy(p + kWrapSaltOffset, salt.data(), salt.size());
    std::memcpy(p + kWrapNonceOffset, nonce.data(), nonce.size());
    const Error encrypt_failed{ErrorKind::KeySerialization, "AES-GCM encrypt failed"};
    auto gcm = Aes256Gcm::create(key.view(), Aes256Gcm::Direction::Encrypt);
    if (!gcm.ok())
      return gcm.error().kind == ErrorKind::OutOfMemory ? gcm.error() : encrypt_failed;
    const MutableBytes ciphertext(p + kWrapHeaderLen, kXWingSeedLen);
    const std::span<uint8_t, kGcmTagLen> tag(p + kWrapHeaderLen + kXWingSeedLen, kGcmTagLen);
    if (!gcm.value().seal(ciphertext, tag, nonce, ByteView(p, kWrapAadLen), seed).ok())
      return encrypt_failed;
    return blob;
  });
}

Result<Key256> xwing_unwrap_seed(ByteView blob, ByteView password) noexcept {
  return contained<Key256>([&]() -> Result<Key256> {
    if (blob.size() != kXWingWrappedLen)
      return Error{ErrorKind::KeySerialization, "wrapped X-Wing key must be 82 bytes"};
    if (!std::equal(kWrapMagic.begin(), kWrapMagic.end(), blob.begin()) ||
        blob[4] != kWrapVersion || blob[5] != kXWingWrapKind)
      return Error{ErrorKind::KeySerialization, "not a wrapped X-Wing key"};
    const Key256 key = hkdf_sha3_256(password, blob.subspan<kWrapSaltOffset, kKeyWrapSaltLen>());
    auto gcm = Aes256Gcm::create(key.view(), Aes256Gcm::Direction::Decrypt);
    if (!gcm.ok()) return gcm.error();
    Key256 seed;
    if (!gcm.value()
             .open(seed.span(), blob.subspan(kWrapHeaderLen + kXWingSeedLen).first<kGcmTagLen>(),
                   blob.subspan<kWrapNonceOffset, kGcmNonceLen>(), blob.first(kWrapAadLen),
                   blob.subspan(kWrapHeaderLen, kXWingSeedLen))
             .ok())
      return Error{ErrorKind::Decryption};
    return seed;
  });
}

}  // namespace core
