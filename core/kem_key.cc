#include "core/kem_key.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "core/common/ct.h"
#include "core/common/hash.h"
#include "core/common/rand.h"
#include "core/mlkem/kpke.h"
#include "core/mlkem/math/field.h"
#include "core/mlkem/mlkem.h"

namespace core {

// The public half, shared by an EncapsulationKey and the DecapsulationKey it
// came from; never changed once built.
struct ExpandedPublicKey {
  Level level;
  Bytes ek;
  std::array<uint8_t, 32> h;  // H(ek) = SHA3-256(ek)
  mlkem::ExpandedEkPke expanded;
};

// The secret half of a decapsulation key; wiped when freed.
struct ExpandedSecretKey {
  mlkem::SecretPolyVec s_hat;  // ByteDecode_12(dk_pke), every field reduced mod q
  Secret<32> z;
};

namespace {

// The size texts are those of ml_kem_encaps / ml_kem_decaps.
constexpr const char* kEncapsKeySize = "encryption key has incorrect size";
constexpr const char* kEncapsKeyModulus = "encryption key is not reduced modulo q";
constexpr const char* kDecapsKeySize = "decapsulation key has incorrect size";
constexpr const char* kDecapsKeyHash = "decapsulation key fails the hash check";
constexpr const char* kDecapsKeyModulus =
    "decapsulation key holds an encryption key that is not reduced modulo q";
constexpr const char* kCapsuleSize = "capsule has incorrect size";

// resolve_level returns the given level when `len` is its length, the level
// whose length `len` is when none is given, or nullopt.
template <class LenOf>
std::optional<Level> resolve_level(size_t len, std::optional<Level> level, LenOf len_of) {
  if (level) {
    CORE_CHECK(static_cast<size_t>(*level) < kParams.size(), "ML-KEM level index out of range");
    if (len_of(params(*level)) != len) return std::nullopt;
    return level;
  }
  for (size_t i = 0; i < kParams.size(); ++i)
    if (len_of(kParams[i]) == len) return static_cast<Level>(i);
  return std::nullopt;
}

// t_hat_reduced is the modulus check of FIPS 203, Section 7.2: every 12-bit
// field of ByteEncode_12(t_hat) (384k bytes, two fields per three bytes) is
// below q, i.e. ByteEncode_12(ByteDecode_12(t)) == t. The data is public.
bool t_hat_reduced(ByteView t) noexcept {
  for (size_t i = 0; i + 3 <= t.size(); i += 3) {
    const unsigned d1 = t[i] | (unsigned{t[i + 1]} & 0x0F) << 8;
    const unsigned d2 = t[i + 1] >> 4 | unsigned{t[i + 2]} << 4;
    if (d1 >= mlkem::kQ || d2 >= mlkem::kQ) return false;
  }
  return true;
}

// public_half copies ek (whose length is the level's) and hashes it; the
// expansion is left to expand.
std::shared_ptr<ExpandedPublicKey> public_half(ByteView ek, Level level) {
  auto pub = std::make_shared<ExpandedPublicKey>();
  pub->level = level;
  pub->ek.assign(ek.begin(), ek.end());
  CT_PUBLIC(pub->ek.data(), pub->ek.size());  // the encapsulation key is public
  sha3_256(pub->h, {view(pub->ek)});
  return pub;
}

// expand fills in t_hat and A_hat^T (FIPS 203, Algorithm 14, steps 2-8).
std::shared_ptr<const ExpandedPublicKey> expand(std::shared_ptr<ExpandedPublicKey> pub) {
  mlkem::k_pke_expand_ek(pub->expanded, pub->ek, params(pub->level));
  return pub;
}

}  // namespace

std::optional<Level> level_for_ek_len(size_t len) noexcept {
  for (size_t i = 0; i < kParams.size(); ++i)
    if (kParams[i].ek_len() == len) return static_cast<Level>(i);
  return std::nullopt;
}

std::optional<Level> level_for_dk_len(size_t len) noexcept {
  for (size_t i = 0; i < kParams.size(); ++i)
    if (kParams[i].dk_len() == len) return static_cast<Level>(i);
  return std::nullopt;
}

// ---------------------------------------------------------------- EncapsulationKey

EncapsulationKey::EncapsulationKey(std::shared_ptr<const ExpandedPublicKey> expanded) noexcept
    : pub_(std::move(expanded)) {}

Result<EncapsulationKey> EncapsulationKey::from_bytes(ByteView ek,
                                                      std::optional<Level> level) noexcept {
  return contained<EncapsulationKey>([&]() -> Result<EncapsulationKey> {
    const std::optional<Level> resolved =
        resolve_level(ek.size(), level, [](const Params& p) { return p.ek_len(); });
    if (!resolved) return Error{ErrorKind::InvalidParameter, kEncapsKeySize};
    if (!t_hat_reduced(ek.first(params(*resolved).dk_pke_len())))
      return Error{ErrorKind::InvalidParameter, kEncapsKeyModulus};
    return EncapsulationKey(expand(public_half(ek, *resolved)));
  });
}

Level EncapsulationKey::level() const noexcept { return pub_->level; }

ByteView EncapsulationKey::bytes() const noexcept { return view(pub_->ek); }

Result<EncapsulationResult> EncapsulationKey::encapsulate() const noexcept {
  return contained<EncapsulationResult>([&]() -> Result<EncapsulationResult> {
    CORE_CHECK(pub_ != nullptr, "encapsulation with a moved-from key");
    Secret<32> m;  // wiped on every exit
    if (Status s = fill_random(m.bytes); !s.ok()) return s.error();
    const Params& p = params(pub_->level);
    EncapsulationResult out{Bytes(p.ct_len()), Key256{}};
    mlkem::ml_kem_encaps_expanded(out.capsule, out.shared_secret.span(), pub_->expanded,
                                  pub_->h, m.span(), p);
    return out;
  });
}

Result<DeterministicEncapsulationResult> EncapsulationKey::encapsulate_deterministic(
    Seed m) const noexcept {
  return contained<DeterministicEncapsulationResult>(
      [&]() -> Result<DeterministicEncapsulationResult> {
        CORE_CHECK(pub_ != nullptr, "encapsulation with a moved-from key");
        const Params& p = params(pub_->level);
        DeterministicEncapsulationResult out{Bytes(p.ct_len()), Key256{}, Secret<32>(m)};
        mlkem::ml_kem_encaps_expanded(out.capsule, out.shared_secret.span(), pub_->expanded,
                                      pub_->h, m, p);
        return out;
      });
}

// ---------------------------------------------------------------- DecapsulationKey

DecapsulationKey::DecapsulationKey(std::shared_ptr<const ExpandedPublicKey> pub,
                                   std::unique_ptr<const ExpandedSecretKey> sec) noexcept
    : pub_(std::move(pub)), sec_(std::move(sec)) {}
DecapsulationKey::DecapsulationKey(DecapsulationKey&&) noexcept = default;
DecapsulationKey& DecapsulationKey::operator=(DecapsulationKey&&) noexcept = default;
DecapsulationKey::~DecapsulationKey() = default;

Result<DecapsulationKey> DecapsulationKey::from_bytes(ByteView dk,
                                                      std::optional<Level> level) noexcept {
  return contained<DecapsulationKey>([&]() -> Result<DecapsulationKey> {
    const std::optional<Level> resolved =
        resolve_level(dk.size(), level, [](const Params& p) { return p.dk_len(); });
    if (!resolved) return Error{ErrorKind::InvalidParameter, kDecapsKeySize};
    const Params& p = params(*resolved);
    // dk = dk_pke || ek || h || z (FIPS 203, Algorithm 16). ek and h are
    // public; dk_pke and z are secret.
    const size_t pke_len = p.dk_pke_len();
    const ByteView dk_pke = dk.first(pke_len);
    const ByteView ek = dk.subspan(pke_len, p.ek_len());
    std::array<uint8_t, 32> h;
    std::memcpy(h.data(), dk.data() + pke_len + p.ek_len(), 32);
    CT_PUBLIC(h.data(), h.size());

    // Hash check (FIPS 203, Section 7.3), then the modulus check of ek.
    auto pub = public_half(ek, *resolved);
    if (pub->h != h) return Error{ErrorKind::InvalidParameter, kDecapsKeyHash};
    if (!t_hat_reduced(view(pub->ek).first(pke_len)))
      return Error{ErrorKind::InvalidParameter, kDecapsKeyModulus};

    auto sec = std::make_unique<ExpandedSecretKey>();
    sec->s_hat.decode(dk_pke, p.k);
    std::memcpy(sec->z.data(), dk.data() + pke_len + p.ek_len() + 32, 32);
    return DecapsulationKey(expand(std::move(pub)), std::move(sec));
  });
}

Level DecapsulationKey::level() const noexcept { return pub_->level; }

EncapsulationKey DecapsulationKey::encapsulation_key() const noexcept {
  return EncapsulationKey(pub_);
}

Result<Key256> DecapsulationKey::decapsulate(ByteView capsule) const noexcept {
  return contained<Key256>([&]() -> Result<Key256> {
    CORE_CHECK(pub_ != nullptr && sec_ != nullptr, "decapsulation with a moved-from key");
    const Params& p = params(pub_->level);
    if (capsule.size() != p.ct_len()) return Error{ErrorKind::InvalidParameter, kCapsuleSize};
    Key256 shared_secret;
    mlkem::ml_kem_decaps_expanded(shared_secret.span(), sec_->s_hat, pub_->expanded, pub_->h,
                                  sec_->z.span(), capsule, p);
    return shared_secret;
  });
}

}  // namespace core
