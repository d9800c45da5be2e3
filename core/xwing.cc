#include "core/xwing.h"

#include <cstring>

#include "core/common/ct.h"
#include "core/common/ecdh.h"
#include "core/common/hash.h"
#include "core/common/rand.h"
#include "core/mlkem/ek_check.h"
#include "core/mlkem/mlkem.h"

namespace core {
namespace {

const Params& mlkem768() { return params(Level::MlKem768); }
constexpr size_t kEkM = kParams[1].ek_len();  // 1184
constexpr size_t kCtM = kParams[1].ct_len();  // 1088
static_assert(kEkM + kX25519Len == kXWingPublicKeyLen && kCtM + kX25519Len == kXWingCiphertextLen);

// XWingLabel: the six bytes "\.//^\".
constexpr uint8_t kLabel[] = {0x5c, 0x2e, 0x2f, 0x2f, 0x5e, 0x5c};

constexpr const char* kSeedSize = "X-Wing private key must be 32 bytes";
constexpr const char* kPublicKeySize = "X-Wing public key must be 1216 bytes";
constexpr const char* kCiphertextSize = "X-Wing ciphertext must be 1120 bytes";
constexpr const char* kEseedSize = "X-Wing eseed must be 64 bytes";

XWingPrivateKey expand(Seed seed) {
  // expanded = SHAKE256(sk, 96) = d || z || sk_X.
  Secret<96> expanded;
  shake256(expanded.span(), {seed});
  XWingPrivateKey key{Key256(seed), SecretBytes(mlkem768().dk_len()), Key256{},
                      Bytes(kXWingPublicKeyLen)};
  mlkem::ml_kem_keygen_internal(MutableBytes(key.public_key.data(), kEkM), key.dk_m,
                                Seed(expanded.data(), 32), Seed(expanded.data() + 32, 32),
                                mlkem768());
  std::memcpy(key.sk_x.data(), expanded.data() + 64, 32);
  Status s = x25519_public(std::span<uint8_t, 32>(key.public_key.data() + kEkM, 32),
                           key.sk_x.span());
  CORE_CHECK(s.ok(), "X25519 public key computation failed");
  return key;
}

}  // namespace

void xwing_combiner(Key256& out, const Key256& ss_m, const Key256& ss_x, ByteView ct_x,
                    ByteView pk_x) {
  sha3_256(out.span(), {ss_m.view(), ss_x.view(), ct_x, pk_x, ByteView(kLabel, sizeof kLabel)});
  // The shared secret is the caller's from here: the constant-time check
  // under valgrind follows secrets up to it, not into the caller's use.
  CT_PUBLIC(out.data(), out.size());
}

Result<XWingPrivateKey> xwing_expand(ByteView seed) noexcept {
  return contained<XWingPrivateKey>([&]() -> Result<XWingPrivateKey> {
    if (seed.size() != kXWingSeedLen) return Error{ErrorKind::InvalidParameter, kSeedSize};
    return expand(Seed(seed.data(), kXWingSeedLen));
  });
}

Result<XWingKeyPair> xwing_keygen() noexcept {
  return contained<XWingKeyPair>([&]() -> Result<XWingKeyPair> {
    Key256 seed;
    if (Status s = fill_random(seed.span()); !s.ok()) return s.error();
    return xwing_keygen_deterministic(seed.view());
  });
}

Result<XWingKeyPair> xwing_keygen_deterministic(ByteView seed) noexcept {
  return contained<XWingKeyPair>([&]() -> Result<XWingKeyPair> {
    if (seed.size() != kXWingSeedLen) return Error{ErrorKind::InvalidParameter, kSeedSize};
    XWingPrivateKey key = expand(Seed(seed.data(), kXWingSeedLen));
    return XWingKeyPair{std::move(key.seed), std::move(key.public_key)};
  });
}

Status xwing_check_public_key(ByteView public_key) noexcept {
  if (public_key.size() != kXWingPublicKeyLen)
    return Error{ErrorKind::InvalidParameter, kPublicKeySize};
  if (!mlkem::ek_passes_modulus_check(public_key.first(kEkM), mlkem768()))
    return Error{ErrorKind::InvalidParameter,
                 "X-Wing public key fails the ML-KEM encapsulation key check"};
  return Ok{};
}

Result<EncapsulationResult> xwing_encaps(ByteView public_key) noexcept {
  return contained<EncapsulationResult>([&]() -> Result<EncapsulationResult> {
    if (Status s = xwing_check_public_key(public_key); !s.ok()) return s.error();
    Secret<kXWingEseedLen> eseed;
    if (Status s = fill_random(eseed.span()); !s.ok()) return s.error();
    return xwing_encaps_deterministic(public_key, eseed.view());
  });
}

Result<EncapsulationResult> xwing_encaps_deterministic(ByteView public_key,
                                                       ByteView eseed) noexcept {
  return contained<EncapsulationResult>([&]() -> Result<EncapsulationResult> {
    if (Status s = xwing_check_public_key(public_key); !s.ok()) return s.error();
    if (eseed.size() != kXWingEseedLen) return Error{ErrorKind::InvalidParameter, kEseedSize};
    const ByteView pk_m = public_key.first(kEkM);
    const X25519Bytes pk_x(public_key.data() + kEkM, kX25519Len);
    const X25519Bytes ek_x(eseed.data() + 32, kX25519Len);
    EncapsulationResult out{Bytes(kXWingCiphertextLen), Key256{}};
    std::span<uint8_t, 32> ct_x(out.capsule.data() + kCtM, kX25519Len);
    Key256 ss_x, ss_m;
    if (Status s = x25519_public(ct_x, ek_x); !s.ok()) return s.error();
    if (Status s = x25519(ss_x.span(), ek_x, ct_x, pk_x); !s.ok()) return s.error();
    mlkem::ml_kem_encaps_internal(MutableBytes(out.capsule.data(), kCtM), ss_m.span(), pk_m,
                                  Seed(eseed.data(), 32), mlkem768());
    xwing_combiner(out.shared_secret, ss_m, ss_x, ct_x, pk_x);
    return out;
  });
}

Result<Key256> xwing_decaps_parts(ByteView ciphertext, ByteView dk_m, ByteView sk_x,
                                  ByteView public_key) noexcept {
  return contained<Key256>([&]() -> Result<Key256> {
    CORE_CHECK(dk_m.size() == mlkem768().dk_len() && sk_x.size() == kX25519Len &&
                   public_key.size() == kXWingPublicKeyLen,
               "xwing_decaps_parts: key part sizes");
    if (ciphertext.size() != kXWingCiphertextLen)
      return Error{ErrorKind::InvalidParameter, kCiphertextSize};
    const X25519Bytes ct_x(ciphertext.data() + kCtM, kX25519Len);
    const ByteView pk_x = public_key.subspan(kEkM);
    Key256 ss_m, ss_x, shared;
    mlkem::ml_kem_decaps_internal(ss_m.span(), dk_m, ciphertext.first(kCtM), mlkem768());
    if (!x25519(ss_x.span(), X25519Bytes(sk_x.data(), kX25519Len),
                X25519Bytes(pk_x.data(), kX25519Len), ct_x)
             .ok())
      return Error{ErrorKind::Decapsulation, "X-Wing ciphertext has an X25519 part of small order"};
    xwing_combiner(shared, ss_m, ss_x, ct_x, pk_x);
    return shared;
  });
}

Result<Key256> xwing_decaps_expanded(ByteView ciphertext, const XWingPrivateKey& key) noexcept {
  return xwing_decaps_parts(ciphertext, key.dk_m, key.sk_x.view(), key.public_key);
}

Result<Key256> xwing_decaps(ByteView ciphertext, ByteView seed) noexcept {
  return contained<Key256>([&]() -> Result<Key256> {
    if (ciphertext.size() != kXWingCiphertextLen)
      return Error{ErrorKind::InvalidParameter, kCiphertextSize};
    Result<XWingPrivateKey> key = xwing_expand(seed);
    if (!key.ok()) return key.error();
    return xwing_decaps_expanded(ciphertext, key.value());
  });
}

}  // namespace core
