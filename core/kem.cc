#include "core/kem.h"

#include <cstring>

#include "core/common/rand.h"
#include "core/mlkem/mlkem.h"

namespace core {

namespace {

// checked_params refuses a level index outside the table (a caller bug).
const Params& checked_params(Level level) {
  CORE_CHECK(static_cast<size_t>(level) < kParams.size(), "ML-KEM level index out of range");
  return params(level);
}

// The texts are part of the module's contract and are kept byte for byte,
// the deterministic form's half-Spanish, accent-free wording included: it is
// deliberate, not a typo to correct.
constexpr const char* kEncapsKeySize = "encryption key has incorrect size";
constexpr const char* kEncapsKeySizeDeterministic =
    "encryption key publica tiene tamano incorrecto";
constexpr const char* kDecapsKeySize = "decapsulation key has incorrect size";
constexpr const char* kCapsuleSize = "capsule has incorrect size";

KeyPairBytes keygen_from_seeds(Seed d, Seed z, const Params& p) {
  KeyPairBytes kp{Bytes(p.ek_len()), SecretBytes(p.dk_len())};
  mlkem::ml_kem_keygen_internal(kp.ek, kp.dk, d, z, p);
  return kp;
}

}  // namespace

Result<KeyPairBytes> ml_kem_keygen(Level level) noexcept {
  return contained<KeyPairBytes>([&]() -> Result<KeyPairBytes> {
    const Params& p = checked_params(level);
    Secret<32> d, z;  // wiped on every exit
    if (Status s = fill_random(d.bytes); !s.ok()) return s.error();
    if (Status s = fill_random(z.bytes); !s.ok()) return s.error();
    return keygen_from_seeds(d.span(), z.span(), p);
  });
}

Result<KeyPairBytes> ml_kem_keygen_deterministic(Seed d, Seed z, Level level) noexcept {
  return contained<KeyPairBytes>([&]() -> Result<KeyPairBytes> {
    return keygen_from_seeds(d, z, checked_params(level));
  });
}

Result<EncapsulationResult> ml_kem_encaps(ByteView ek, Level level) noexcept {
  return contained<EncapsulationResult>([&]() -> Result<EncapsulationResult> {
    const Params& p = checked_params(level);
    // The size is checked before any randomness is drawn. No modulus check
    // (FIPS 203, Section 7.2): 12-bit fields of q and above are reduced.
    if (ek.size() != p.ek_len()) return Error{ErrorKind::InvalidParameter, kEncapsKeySize};
    Secret<32> m;  // wiped on every exit
    if (Status s = fill_random(m.bytes); !s.ok()) return s.error();
    EncapsulationResult out{Bytes(p.ct_len()), Key256{}};
    mlkem::ml_kem_encaps_internal(out.capsule, out.shared_secret.span(), ek, m.span(), p);
    return out;
  });
}

Result<DeterministicEncapsulationResult> ml_kem_encaps_deterministic(ByteView ek, Seed m,
                                                                    Level level) noexcept {
  return contained<DeterministicEncapsulationResult>(
      [&]() -> Result<DeterministicEncapsulationResult> {
        const Params& p = checked_params(level);
        if (ek.size() != p.ek_len())
          return Error{ErrorKind::InvalidParameter, kEncapsKeySizeDeterministic};
        DeterministicEncapsulationResult out{Bytes(p.ct_len()), Key256{}, Secret<32>(m)};
        mlkem::ml_kem_encaps_internal(out.capsule, out.shared_secret.span(), ek, m, p);
        return out;
      });
}

Result<Key256> ml_kem_decaps(ByteView capsule, ByteView dk, Level level) noexcept {
  return contained<Key256>([&]() -> Result<Key256> {
    const Params& p = checked_params(level);
    // dk is checked first, then the capsule. No hash check of dk
    // (FIPS 203, Section 7.3): the stored H(ek) is used unchanged.
    if (dk.size() != p.dk_len()) return Error{ErrorKind::InvalidParameter, kDecapsKeySize};
    if (capsule.size() != p.ct_len()) return Error{ErrorKind::InvalidParameter, kCapsuleSize};
    Key256 shared_secret;
    mlkem::ml_kem_decaps_internal(shared_secret.span(), dk, capsule, p);
    return shared_secret;
  });
}

}  // namespace core
