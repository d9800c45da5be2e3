// The ML-KEM facade of the core (FIPS 203): key generation, encapsulation and
// decapsulation at the three levels, the result records, and the Base64
// public-key text. Everything returns a value or a core Error; nothing throws.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/common/bytes.h"
#include "core/common/secret.h"
#include "core/mlkem/params.h"
#include "core/result.h"

namespace core {


struct KeyPairBytes {
  Bytes ek;  // encapsulation key, params(level).ek_len() bytes
  SecretBytes dk;  // decapsulation key, params(level).dk_len() bytes; wiped when freed
};

struct EncapsulationResult {
  Bytes capsule;
  Key256 shared_secret;  // wiped when the record is destroyed
};

struct DeterministicEncapsulationResult {
  Bytes capsule;
  Key256 shared_secret;
  Secret<32> m;  // the message as given; wiped like the shared secret
};

// ml_kem_keygen draws d then z (32 bytes each) and runs
// ml_kem_keygen_deterministic; d and z are wiped. Fails only with Rng.
Result<KeyPairBytes> ml_kem_keygen(Level level) noexcept;

// ML-KEM.KeyGen_internal (FIPS 203, Algorithm 16). Fails only for lack of memory.
Result<KeyPairBytes> ml_kem_keygen_deterministic(Seed d, Seed z, Level level) noexcept;

// ML-KEM.Encaps (FIPS 203, Algorithm 20): InvalidParameter "encryption key
// has incorrect size" before any draw, then Rng; m is wiped.
Result<EncapsulationResult> ml_kem_encaps(ByteView ek, Level level) noexcept;

// ML-KEM.Encaps_internal (FIPS 203, Algorithm 17): InvalidParameter
// "encryption key publica tiene tamano incorrecto" for a wrong ek length.
Result<DeterministicEncapsulationResult> ml_kem_encaps_deterministic(ByteView ek, Seed m,
                                                                    Level level) noexcept;

// ML-KEM.Decaps (FIPS 203, Algorithm 21) with implicit rejection:
// InvalidParameter "decapsulation key has incorrect size" (checked first),
// then "capsule has incorrect size". A capsule of the right size never fails.
Result<Key256> ml_kem_decaps(ByteView capsule, ByteView dk, Level level) noexcept;

// public_key_to_b64 encodes any byte string as unpadded URL-safe Base64.
std::string public_key_to_b64(ByteView public_key);

// public_key_from_b64 trims White_Space and trailing "=", decodes strictly
// (Base64 "invalid base64 URL-safe string") and checks the level's ek size
// (InvalidParameter "decoded public key has incorrect size for the specified
// security level").
Result<Bytes> public_key_from_b64(std::string_view text, Level level) noexcept;

}  // namespace core
