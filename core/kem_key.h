// ML-KEM key objects (FIPS 203) that keep their expansion: a key is checked
// and expanded once, and every encapsulation or decapsulation with it then
// starts from the expanded form (A_hat in the NTT domain, t_hat, H(ek), and
// for a decapsulation key s_hat and z). The results are those of
// ml_kem_encaps / ml_kem_decaps on the same key bytes and randomness.
//
// A key object never changes after it is made, so one object may be used
// from many threads at once. The secret parts of a decapsulation key live in
// self-wiping memory. Everything returns a value or a core Error.
#pragma once

#include <memory>
#include <optional>

#include "core/common/bytes.h"
#include "core/common/secret.h"
#include "core/kem.h"
#include "core/mlkem/params.h"
#include "core/result.h"

namespace core {

struct ExpandedPublicKey;  // kem_key.cc
struct ExpandedSecretKey;  // kem_key.cc

// level_for_ek_len / level_for_dk_len map a key length to its level, or
// nullopt when no level has keys of that length.
std::optional<Level> level_for_ek_len(size_t len) noexcept;
std::optional<Level> level_for_dk_len(size_t len) noexcept;

class EncapsulationKey {
 public:
  // from_bytes checks ek once (FIPS 203, Section 7.2) and expands it. The
  // level is the given one, or the one whose keys have ek's length.
  // InvalidParameter "encryption key has incorrect size" for a length that
  // is not the level's (or no level's), then "encryption key is not reduced
  // modulo q" when a 12-bit field of t_hat is q or above (the modulus check).
  static Result<EncapsulationKey> from_bytes(ByteView ek, std::optional<Level> level) noexcept;

  Level level() const noexcept;
  ByteView bytes() const noexcept;  // ek as given

  // encapsulate is ML-KEM.Encaps (FIPS 203, Algorithm 20): m from the
  // operating system, then encapsulate_deterministic. Fails only with Rng.
  Result<EncapsulationResult> encapsulate() const noexcept;

  // encapsulate_deterministic is ML-KEM.Encaps_internal (FIPS 203,
  // Algorithm 17) with the given m. Fails only for lack of memory.
  Result<DeterministicEncapsulationResult> encapsulate_deterministic(Seed m) const noexcept;

 private:
  friend class DecapsulationKey;
  explicit EncapsulationKey(std::shared_ptr<const ExpandedPublicKey> expanded) noexcept;
  std::shared_ptr<const ExpandedPublicKey> pub_;
};

class DecapsulationKey {
 public:
  // from_bytes checks dk once (FIPS 203, Section 7.3) and expands it. The
  // level is the given one, or the one whose keys have dk's length.
  // InvalidParameter "decapsulation key has incorrect size" for a wrong
  // length, "decapsulation key fails the hash check" when its stored H(ek)
  // is not SHA3-256 of its ek, and "decapsulation key holds an encryption
  // key that is not reduced modulo q" when its ek fails the modulus check
  // (the key could not hand out a valid encapsulation key).
  static Result<DecapsulationKey> from_bytes(ByteView dk, std::optional<Level> level) noexcept;

  DecapsulationKey(DecapsulationKey&&) noexcept;
  DecapsulationKey& operator=(DecapsulationKey&&) noexcept;
  ~DecapsulationKey();

  Level level() const noexcept;

  // encapsulation_key returns the key's ek as an EncapsulationKey that
  // shares this key's expansion.
  EncapsulationKey encapsulation_key() const noexcept;

  // decapsulate is ML-KEM.Decaps (FIPS 203, Algorithm 21) with implicit
  // rejection: InvalidParameter "capsule has incorrect size" for a wrong
  // length; a capsule of the right size never fails.
  Result<Key256> decapsulate(ByteView capsule) const noexcept;

 private:
  DecapsulationKey(std::shared_ptr<const ExpandedPublicKey> pub,
                   std::unique_ptr<const ExpandedSecretKey> sec) noexcept;
  std::shared_ptr<const ExpandedPublicKey> pub_;
  std::unique_ptr<const ExpandedSecretKey> sec_;
};

}  // namespace core
