// The KEMs of HPKE: DHKEM (RFC 9180, Section 4.1), ML-KEM and the hybrids
// (draft-ietf-hpke-pq; draft-irtf-cfrg-concrete-hybrid-kems). Secret data:
// private keys, scalars, seeds, DH values and shared secrets.
#include <algorithm>
#include <array>
#include <cstring>

#include "core/common/ct.h"
#include "core/common/ecdh.h"
#include "core/common/hash.h"
#include "core/common/rand.h"
#include "core/common/secret.h"
#include "core/hpke/hpke.h"
#include "core/hpke/labeled.h"
#include "core/mlkem/ek_check.h"
#include "core/mlkem/mlkem.h"
#include "core/xwing.h"

namespace core::hpke {
namespace {

constexpr const char* kPkSize = "HPKE public key has the wrong size for its KEM";
constexpr const char* kSkSize = "HPKE private key has the wrong size for its KEM";
constexpr const char* kEncSize = "HPKE enc has the wrong size for its KEM";
constexpr const char* kIkmShort = "HPKE ikm must be at least 32 bytes";
constexpr const char* kRandomSize = "HPKE ikm_e has the wrong size for its KEM";
constexpr const char* kModulus = "HPKE public key fails the ML-KEM encapsulation key check";
constexpr size_t kMinIkm = 32;

enum class Family : uint8_t { Dhkem, MlKem, Hybrid, XWing };

// How each KEM is built: its family, the ML-KEM level, the curve, the
// combiner's label and the length of the traditional part's seed.
struct KemSpec {
  KemInfo info;
  Family family;
  Level level;
  Curve curve;
  bool x25519;
  const char* label;
  size_t n_seed_t;
};

// Sizes: RFC 9180, Section 7.1; draft-ietf-hpke-pq, the IANA tables;
// draft-irtf-cfrg-concrete-hybrid-kems, Section 3.1 (the traditional part's
// seed for key derivation: 128 bytes for P-256, 48 for P-384). A hybrid's
// deterministic encapsulation takes ML-KEM's m (32 bytes), then the bytes
// RandomScalar samples the ephemeral scalar from: 96 for P-256 (three
// candidates), 48 for P-384, 32 for X25519, as in the PQ draft's vectors
// (ikmE of 128, 80 and 64 bytes).
constexpr std::array<KemSpec, 9> kKems{{
    {{KemId::DhkemP256, 32, 65, 65, 32, 32}, Family::Dhkem, Level::MlKem768, Curve::P256, false,
     nullptr, 0},
    {{KemId::DhkemP384, 48, 97, 97, 48, 48}, Family::Dhkem, Level::MlKem768, Curve::P384, false,
     nullptr, 0},
    {{KemId::DhkemX25519, 32, 32, 32, 32, 32}, Family::Dhkem, Level::MlKem768, Curve::P256, true,
     nullptr, 0},
    {{KemId::MlKem512, 32, 768, 800, 64, 32}, Family::MlKem, Level::MlKem512, Curve::P256, false,
     nullptr, 0},
    {{KemId::MlKem768, 32, 1088, 1184, 64, 32}, Family::MlKem, Level::MlKem768, Curve::P256, false,
     nullptr, 0},
    {{KemId::MlKem1024, 32, 1568, 1568, 64, 32}, Family::MlKem, Level::MlKem1024, Curve::P256,
     false, nullptr, 0},
    {{KemId::MlKem768P256, 32, 1153, 1249, 32, 128}, Family::Hybrid, Level::MlKem768, Curve::P256,
     false, "MLKEM768-P256", 128},
    {{KemId::MlKem1024P384, 32, 1665, 1665, 32, 80}, Family::Hybrid, Level::MlKem1024,
     Curve::P384, false, "MLKEM1024-P384", 48},
    {{KemId::XWing, 32, 1120, 1216, 32, 64}, Family::XWing, Level::MlKem768, Curve::P256, true,
     nullptr, 0},
}};

const KemSpec& spec_of(KemId id) {
  for (const KemSpec& s : kKems)
    if (s.info.id == id) return s;
  CORE_CHECK(false, "unknown KEM");
  return kKems[0];
}

// suite_id of a KEM: "KEM" || I2OSP(kem_id, 2).
std::array<uint8_t, 5> kem_suite_id(KemId id) {
  const auto v = static_cast<uint16_t>(id);
  return {'K', 'E', 'M', static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

KdfId dhkem_kdf(const KemSpec& s) {
  return s.info.id == KemId::DhkemP384 ? KdfId::HkdfSha384 : KdfId::HkdfSha256;
}

// ---- DHKEM (RFC 9180, Section 4.1) ----

// dh_public writes pk(sk) for a DHKEM or a hybrid's traditional part.
Status dh_public(const KemSpec& s, MutableBytes pk, ByteView sk) {
  if (s.x25519)
    return x25519_public(std::span<uint8_t, 32>(pk.data(), 32), X25519Bytes(sk.data(), 32));
  return ec_public(s.curve, pk, sk);
}

// dh writes DH(sk, pk), sk's own public key being own_pk; `refused` is the
// error for a peer value refused.
Status dh(const KemSpec& s, MutableBytes out, ByteView sk, ByteView own_pk, ByteView pk,
          ErrorKind refused, const char* message) {
  Status st = s.x25519 ? x25519(std::span<uint8_t, 32>(out.data(), 32), X25519Bytes(sk.data(), 32),
                                X25519Bytes(own_pk.data(), 32), X25519Bytes(pk.data(), 32))
                       : ec_dh(s.curve, out, sk, pk);
  if (!st.ok() && st.error().kind == ErrorKind::InvalidParameter)
    return Error{refused, message};
  return st;
}

size_t dh_len(const KemSpec& s) { return s.x25519 ? 32 : scalar_len(s.curve); }

// dhkem_derive_scalar is DeriveKeyPair's private half (RFC 9180, Section
// 7.1.3): X25519 takes LabeledExpand(dkp_prk, "sk", "", 32); the P-curves
// take the first candidate LabeledExpand(dkp_prk, "candidate", counter, Nsk)
// in [1, n-1] (bitmask 0xff), failing after 256 candidates.
Status dhkem_derive_scalar(const KemSpec& s, MutableBytes sk, ByteView ikm) {
  const auto suite = kem_suite_id(s.info.id);
  const KdfId kdf = dhkem_kdf(s);
  SecretBytes dkp_prk(hash_len(kdf));
  labeled_extract(kdf, dkp_prk, suite, {}, "dkp_prk", ikm);
  if (s.x25519) {
    labeled_expand(kdf, sk, suite, dkp_prk, "sk", {});
    return Ok{};
  }
  for (unsigned counter = 0; counter < 256; ++counter) {
    const uint8_t c = static_cast<uint8_t>(counter);
    labeled_expand(kdf, sk, suite, dkp_prk, "candidate", ByteView(&c, 1));
    if (ec_scalar_in_range(s.curve, sk)) return Ok{};
  }
  wipe(sk);
  return Error{ErrorKind::InvalidParameter, "HPKE DeriveKeyPair found no valid scalar"};
}

// extract_and_expand: LabeledExpand(LabeledExtract("", "eae_prk", dh),
// "shared_secret", kem_context, Nsecret).
SecretBytes extract_and_expand(const KemSpec& s, ByteView dh_value, ByteView enc, ByteView pk_r) {
  const auto suite = kem_suite_id(s.info.id);
  const KdfId kdf = dhkem_kdf(s);
  SecretBytes prk(hash_len(kdf));
  labeled_extract(kdf, prk, suite, {}, "eae_prk", dh_value);
  Bytes kem_context(enc.begin(), enc.end());
  kem_context.insert(kem_context.end(), pk_r.begin(), pk_r.end());
  SecretBytes shared(s.info.n_secret);
  labeled_expand(kdf, shared, suite, prk, "shared_secret", kem_context);
  return shared;
}

// ---- the traditional part of a hybrid (concrete hybrid KEMs, Section 3.1) ----

// random_scalar is RandomScalar(seed): the first Nscalar-byte chunk of the
// seed that is a scalar in [1, n-1]. Chunks are tried in order, so the
// rejection reveals only that a candidate (independent of the others) failed.
Status random_scalar(const KemSpec& s, MutableBytes sk, ByteView seed) {
  const size_t n = scalar_len(s.curve);
  for (size_t off = 0; off + n <= seed.size(); off += n) {
    if (ec_scalar_in_range(s.curve, seed.subspan(off, n))) {
      std::memcpy(sk.data(), seed.data() + off, n);
      return Ok{};
    }
  }
  return Error{ErrorKind::InvalidParameter, "HPKE hybrid seed gives no valid scalar"};
}

// ---- key expansion ----

// expand_private fills the expanded parts of `key` from key.bytes.
Status expand_private(const KemSpec& s, PrivateKey& key) {
  switch (s.family) {
    case Family::Dhkem: {
      key.scalar_t = SecretBytes(key.bytes.begin(), key.bytes.end());
      key.public_key = Bytes(s.info.n_pk);
      return dh_public(s, key.public_key, key.scalar_t);
    }
    case Family::MlKem: {
      const Params& p = params(s.level);
      key.dk_pq = SecretBytes(p.dk_len());
      key.public_key = Bytes(p.ek_len());
      mlkem::ml_kem_keygen_internal(key.public_key, key.dk_pq, Seed(key.bytes.data(), 32),
                                    Seed(key.bytes.data() + 32, 32), p);
      return Ok{};
    }
    case Family::XWing: {
      Result<XWingPrivateKey> x = xwing_expand(key.bytes);
      if (!x.ok()) return x.error();
      key.dk_pq = std::move(x.value().dk_m);
      key.scalar_t = SecretBytes(x.value().sk_x.data(), x.value().sk_x.data() + 32);
      key.public_key = std::move(x.value().public_key);
      return Ok{};
    }
    case Family::Hybrid: {
      // DeriveKeyPair(seed): SHAKE256(seed, 64 + Nseed_T) = d || z || seed_T.
      const Params& p = params(s.level);
      SecretBytes full(64 + s.n_seed_t);
      shake256(full, {key.bytes});
      key.dk_pq = SecretBytes(p.dk_len());
      key.public_key = Bytes(s.info.n_pk);
      mlkem::ml_kem_keygen_internal(MutableBytes(key.public_key.data(), p.ek_len()), key.dk_pq,
                                    Seed(full.data(), 32), Seed(full.data() + 32, 32), p);
      key.scalar_t = SecretBytes(scalar_len(s.curve));
      if (Status st = random_scalar(s, key.scalar_t, ByteView(full).subspan(64)); !st.ok())
        return st;
      return ec_public(s.curve, MutableBytes(key.public_key).subspan(p.ek_len()), key.scalar_t);
    }
  }
  return Error{ErrorKind::Internal, "unknown KEM family"};
}

Result<PrivateKey> private_from(const KemSpec& s, ByteView bytes) {
  PrivateKey key{s.info.id, SecretBytes(bytes.begin(), bytes.end()), {}, {}, {}, nullptr, nullptr};
  if (Status st = expand_private(s, key); !st.ok()) return st.error();
  // The key objects, so that every decapsulation starts from the expansion.
  if (s.family == Family::XWing) {
    Result<XWingDecapsulationKey> x = XWingDecapsulationKey::from_seed(key.bytes);
    if (!x.ok()) return x.error();
    key.xwing = std::make_shared<const XWingDecapsulationKey>(std::move(x).value());
  } else if (s.family != Family::Dhkem) {
    Result<DecapsulationKey> dk = DecapsulationKey::from_bytes(key.dk_pq, s.level);
    if (!dk.ok()) return dk.error();
    key.dk_obj = std::make_shared<const DecapsulationKey>(std::move(dk).value());
  }
  return key;
}

// check_public applies the KEM's public-key checks.
Status check_public(const KemSpec& s, ByteView pk) {
  if (pk.size() != s.info.n_pk) return Error{ErrorKind::InvalidParameter, kPkSize};
  switch (s.family) {
    case Family::Dhkem:
      return s.x25519 ? Status(Ok{}) : ec_check_point(s.curve, pk);
    case Family::MlKem:
      if (!mlkem::ek_passes_modulus_check(pk, params(s.level)))
        return Error{ErrorKind::InvalidParameter, kModulus};
      return Ok{};
    case Family::XWing:
      if (!mlkem::ek_passes_modulus_check(pk, params(s.level)))
        return Error{ErrorKind::InvalidParameter, kModulus};
      return Ok{};
    case Family::Hybrid: {
      const Params& p = params(s.level);
      if (!mlkem::ek_passes_modulus_check(pk.first(p.ek_len()), p))
        return Error{ErrorKind::InvalidParameter, kModulus};
      return ec_check_point(s.curve, pk.subspan(p.ek_len()));
    }
  }
  return Error{ErrorKind::Internal, "unknown KEM family"};
}

// combine is the hybrids' KDF: SHA3-256(ss_PQ || ss_T || ct_T || ek_T || label).
void combine(MutableBytes out, const KemSpec& s, ByteView ss_pq, ByteView ss_t, ByteView ct_t,
             ByteView ek_t) {
  const std::string_view label(s.label);
  hash(HashFn::Sha3_256, out, {}, {ss_pq, ss_t, ct_t, ek_t, bytes_of(label)});
}

}  // namespace

Result<const KemInfo*> kem_info(uint16_t id) noexcept {
  for (const KemSpec& s : kKems)
    if (static_cast<uint16_t>(s.info.id) == id) return &s.info;
  return Error{ErrorKind::InvalidParameter, "unknown HPKE KEM identifier"};
}

Result<PublicKey> load_public_key(KemId kem, ByteView bytes) noexcept {
  return contained<PublicKey>([&]() -> Result<PublicKey> {
    const KemSpec& s = spec_of(kem);
    if (Status st = check_public(s, bytes); !st.ok()) return st.error();
    PublicKey key{kem, Bytes(bytes.begin(), bytes.end()), nullptr, nullptr};
    if (s.family == Family::XWing) {
      Result<XWingEncapsulationKey> x = XWingEncapsulationKey::from_bytes(bytes);
      if (!x.ok()) return x.error();
      key.xwing = std::make_shared<const XWingEncapsulationKey>(std::move(x).value());
    } else if (s.family != Family::Dhkem) {
      const Params& p = params(s.level);
      Result<EncapsulationKey> ek = EncapsulationKey::from_bytes(bytes.first(p.ek_len()), s.level);
      if (!ek.ok()) return ek.error();
      key.ek_pq = std::make_shared<const EncapsulationKey>(std::move(ek).value());
    }
    return key;
  });
}

Result<PrivateKey> load_private_key(KemId kem, ByteView bytes) noexcept {
  return contained<PrivateKey>([&]() -> Result<PrivateKey> {
    const KemSpec& s = spec_of(kem);
    if (bytes.size() != s.info.n_sk) return Error{ErrorKind::InvalidParameter, kSkSize};
    return private_from(s, bytes);
  });
}

Result<PrivateKey> generate_key_pair(KemId kem) noexcept {
  return contained<PrivateKey>([&]() -> Result<PrivateKey> {
    const KemSpec& s = spec_of(kem);
    if (s.family == Family::Dhkem && !s.x25519) {
      // A P-curve scalar: DeriveKeyPair over fresh randomness.
      SecretBytes ikm(s.info.n_sk);
      if (Status st = fill_random(ikm); !st.ok()) return st.error();
      return derive_key_pair(kem, ikm);
    }
    SecretBytes sk(s.info.n_sk);
    if (Status st = fill_random(sk); !st.ok()) return st.error();
    return private_from(s, sk);
  });
}

Result<PrivateKey> derive_key_pair(KemId kem, ByteView ikm) noexcept {
  return contained<PrivateKey>([&]() -> Result<PrivateKey> {
    const KemSpec& s = spec_of(kem);
    if (ikm.size() < kMinIkm) return Error{ErrorKind::InvalidParameter, kIkmShort};
    SecretBytes sk(s.info.n_sk);
    if (s.family == Family::Dhkem) {
      if (Status st = dhkem_derive_scalar(s, sk, ikm); !st.ok()) return st.error();
    } else {
      // SHAKE256.LabeledDerive(ikm, "DeriveKeyPair", "", Nsk).
      const auto suite = kem_suite_id(kem);
      labeled_derive(KdfId::Shake256, sk, suite, {ikm}, "DeriveKeyPair", {});
    }
    return private_from(s, sk);
  });
}

Result<Encapsulation> encap(const PublicKey& pk, std::optional<ByteView> randomness) noexcept {
  Result<Encapsulation> r = contained<Encapsulation>([&]() -> Result<Encapsulation> {
    const KemSpec& s = spec_of(pk.kem);
    if (randomness && s.family != Family::Dhkem && randomness->size() != s.info.n_random)
      return Error{ErrorKind::InvalidParameter, kRandomSize};
    if (randomness && s.family == Family::Dhkem && randomness->size() < s.info.n_random)
      return Error{ErrorKind::InvalidParameter, kRandomSize};
    SecretBytes drawn;
    if (!randomness && s.family != Family::Dhkem) {
      drawn = SecretBytes(s.info.n_random);
      if (Status st = fill_random(drawn); !st.ok()) return st.error();
      randomness = ByteView(drawn);
    }
    Encapsulation out{Bytes(s.info.n_enc), SecretBytes(s.info.n_secret)};
    switch (s.family) {
      case Family::Dhkem: {
        Result<PrivateKey> eph =
            randomness ? derive_key_pair(pk.kem, *randomness) : generate_key_pair(pk.kem);
        if (!eph.ok()) return eph.error();
        SecretBytes dh_value(dh_len(s));
        if (Status st = dh(s, dh_value, eph.value().scalar_t, eph.value().public_key, pk.bytes,
                           ErrorKind::InvalidParameter, "HPKE public key gives a DH value of zero");
            !st.ok())
          return st.error();
        out.enc = std::move(eph.value().public_key);
        out.shared_secret = extract_and_expand(s, dh_value, out.enc, pk.bytes);
        return out;
      }
      case Family::MlKem: {
        const Params& p = params(s.level);
        if (pk.ek_pq != nullptr) {
          Result<DeterministicEncapsulationResult> r =
              pk.ek_pq->encapsulate_deterministic(Seed(randomness->data(), 32));
          if (!r.ok()) return r.error();
          out.enc = std::move(r.value().capsule);
          std::memcpy(out.shared_secret.data(), r.value().shared_secret.data(), 32);
          return out;
        }
        mlkem::ml_kem_encaps_internal(out.enc, std::span<uint8_t, 32>(out.shared_secret.data(), 32),
                                      pk.bytes, Seed(randomness->data(), 32), p);
        return out;
      }
      case Family::XWing: {
        Result<EncapsulationResult> x =
            pk.xwing != nullptr ? pk.xwing->encapsulate_deterministic(*randomness)
                                : xwing_encaps_deterministic(pk.bytes, *randomness);
        if (!x.ok()) return x.error();
        out.enc = std::move(x.value().capsule);
        std::memcpy(out.shared_secret.data(), x.value().shared_secret.data(), 32);
        return out;
      }
      case Family::Hybrid: {
        const Params& p = params(s.level);
        const size_t n = scalar_len(s.curve);
        const ByteView ek_pq = ByteView(pk.bytes).first(p.ek_len());
        const ByteView ek_t = ByteView(pk.bytes).subspan(p.ek_len());
        const MutableBytes ct_t = MutableBytes(out.enc).subspan(p.ct_len());
        Key256 ss_pq;
        if (pk.ek_pq != nullptr) {
          Result<DeterministicEncapsulationResult> r =
              pk.ek_pq->encapsulate_deterministic(Seed(randomness->data(), 32));
          if (!r.ok()) return r.error();
          std::memcpy(out.enc.data(), r.value().capsule.data(), p.ct_len());
          std::memcpy(ss_pq.data(), r.value().shared_secret.data(), 32);
        } else {
          mlkem::ml_kem_encaps_internal(MutableBytes(out.enc).first(p.ct_len()), ss_pq.span(),
                                        ek_pq, Seed(randomness->data(), 32), p);
        }
        SecretBytes sk_e(n), ss_t(n);
        if (Status st = random_scalar(s, sk_e, randomness->subspan(32)); !st.ok())
          return st.error();
        if (Status st = ec_public(s.curve, ct_t, sk_e); !st.ok()) return st.error();
        if (Status st = ec_dh(s.curve, ss_t, sk_e, ek_t); !st.ok()) return st.error();
        combine(out.shared_secret, s, ss_pq.view(), ss_t, ct_t, ek_t);
        return out;
      }
    }
    return Error{ErrorKind::Internal, "unknown KEM family"};
  });
  // What the KEM returns is the caller's: the constant-time check under
  // valgrind follows secrets up to here, not into the caller's use of them.
  if (r.ok()) {
    CT_PUBLIC(r.value().enc.data(), r.value().enc.size());
    CT_PUBLIC(r.value().shared_secret.data(), r.value().shared_secret.size());
  }
  return r;
}

Result<SecretBytes> decap(ByteView enc, const PrivateKey& sk) noexcept {
  Result<SecretBytes> r = contained<SecretBytes>([&]() -> Result<SecretBytes> {
    const KemSpec& s = spec_of(sk.kem);
    if (enc.size() != s.info.n_enc) return Error{ErrorKind::InvalidParameter, kEncSize};
    SecretBytes shared(s.info.n_secret);
    switch (s.family) {
      case Family::Dhkem: {
        SecretBytes dh_value(dh_len(s));
        if (Status st = dh(s, dh_value, sk.scalar_t, sk.public_key, enc, ErrorKind::Decapsulation,
                           "HPKE enc is not a usable public value");
            !st.ok())
          return st.error();
        return extract_and_expand(s, dh_value, enc, sk.public_key);
      }
      case Family::MlKem: {
        if (sk.dk_obj != nullptr) {
          Result<Key256> k = sk.dk_obj->decapsulate(enc);
          if (!k.ok()) return k.error();
          std::memcpy(shared.data(), k.value().data(), 32);
          return shared;
        }
        mlkem::ml_kem_decaps_internal(std::span<uint8_t, 32>(shared.data(), 32), sk.dk_pq, enc,
                                      params(s.level));
        return shared;
      }
      case Family::XWing: {
        Result<Key256> k = sk.xwing != nullptr
                               ? sk.xwing->decapsulate(enc)
                               : xwing_decaps_parts(enc, sk.dk_pq, sk.scalar_t, sk.public_key);
        if (!k.ok()) return k.error();
        std::memcpy(shared.data(), k.value().data(), 32);
        return shared;
      }
      case Family::Hybrid: {
        const Params& p = params(s.level);
        const ByteView ct_t = enc.subspan(p.ct_len());
        const ByteView ek_t = ByteView(sk.public_key).subspan(p.ek_len());
        Key256 ss_pq;
        if (sk.dk_obj != nullptr) {
          Result<Key256> k = sk.dk_obj->decapsulate(enc.first(p.ct_len()));
          if (!k.ok()) return k.error();
          ss_pq = std::move(k).value();
        } else {
          mlkem::ml_kem_decaps_internal(ss_pq.span(), sk.dk_pq, enc.first(p.ct_len()), p);
        }
        SecretBytes ss_t(scalar_len(s.curve));
        if (Status st = ec_dh(s.curve, ss_t, sk.scalar_t, ct_t); !st.ok()) {
          if (st.error().kind != ErrorKind::InvalidParameter) return st.error();
          return Error{ErrorKind::Decapsulation, "HPKE enc is not a usable public value"};
        }
        combine(shared, s, ss_pq.view(), ss_t, ct_t, ek_t);
        return shared;
      }
    }
    return Error{ErrorKind::Internal, "unknown KEM family"};
  });
  if (r.ok()) CT_PUBLIC(r.value().data(), r.value().size());  // the caller's, as in encap
  return r;
}

}  // namespace core::hpke
