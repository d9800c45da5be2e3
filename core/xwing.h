// X-Wing, the hybrid KEM of ML-KEM-768 and X25519 (draft-connolly-cfrg-xwing-kem):
// a 32-byte seed is the private key; SHAKE256 expands it into ML-KEM-768's
// seeds (d, z) and an X25519 scalar; SHA3-256 combines both shared secrets
// with the X25519 ciphertext, the X25519 public key and the label "\.//^\".
// Everything returns a value or a core Error; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/common/bytes.h"
#include "core/common/secret.h"
#include "core/kem.h"
#include "core/result.h"

namespace core {

inline constexpr size_t kXWingSeedLen = 32;
inline constexpr size_t kXWingPublicKeyLen = 1216;  // ML-KEM-768 ek || X25519 point
inline constexpr size_t kXWingCiphertextLen = 1120;  // ML-KEM-768 c || X25519 point
inline constexpr size_t kXWingEseedLen = 64;         // ML-KEM m || X25519 ephemeral scalar
inline constexpr size_t kXWingSharedSecretLen = 32;

struct XWingKeyPair {
  Key256 seed;  // the private key
  Bytes public_key;
};

// XWingPrivateKey is a seed expanded once: the ML-KEM-768 decapsulation key,
// the X25519 scalar and the public key. The secret parts wipe themselves.
struct XWingPrivateKey {
  Key256 seed;
  SecretBytes dk_m;  // 2400 bytes
  Key256 sk_x;
  Bytes public_key;  // pk_M || pk_X
};

// xwing_combiner is the X-Wing combiner: SHA3-256(ss_M || ss_X || ct_X ||
// pk_X || XWingLabel). ct_X and pk_X are 32 bytes each. For use inside a
// caller's `contained` (a failed hash is an InternalFault).
void xwing_combiner(Key256& out, const Key256& ss_m, const Key256& ss_x, ByteView ct_x,
                    ByteView pk_x);

// xwing_expand runs expandDecapsulationKey: InvalidParameter "X-Wing private
// key must be 32 bytes" for another length.
Result<XWingPrivateKey> xwing_expand(ByteView seed) noexcept;

// xwing_keygen draws a 32-byte seed and calls xwing_keygen_deterministic;
// fails only with Rng.
Result<XWingKeyPair> xwing_keygen() noexcept;
Result<XWingKeyPair> xwing_keygen_deterministic(ByteView seed) noexcept;

// xwing_check_public_key checks the length (InvalidParameter "X-Wing public
// key must be 1216 bytes") and the ML-KEM-768 part's modulus check (FIPS 203,
// Section 7.2; InvalidParameter "X-Wing public key fails the ML-KEM
// encapsulation key check").
Status xwing_check_public_key(ByteView public_key) noexcept;

// xwing_encaps checks the public key, draws the 64-byte eseed and calls
// xwing_encaps_deterministic. The deterministic form takes eseed = m || ek_X
// (InvalidParameter "X-Wing eseed must be 64 bytes"). A public X25519 part of
// small order gives InvalidParameter "X25519 shared secret is all zeros".
Result<EncapsulationResult> xwing_encaps(ByteView public_key) noexcept;
Result<EncapsulationResult> xwing_encaps_deterministic(ByteView public_key,
                                                       ByteView eseed) noexcept;

// xwing_decaps expands the seed and decapsulates: InvalidParameter "X-Wing
// ciphertext must be 1120 bytes" or "X-Wing private key must be 32 bytes";
// an X25519 part of small order is Decapsulation "X-Wing ciphertext has an
// X25519 part of small order" (libcrypto refuses the all-zero result).
Result<Key256> xwing_decaps(ByteView ciphertext, ByteView seed) noexcept;
Result<Key256> xwing_decaps_expanded(ByteView ciphertext, const XWingPrivateKey& key) noexcept;

// xwing_decaps_parts decapsulates with the parts of an expanded key held
// elsewhere: dk_m (2400 bytes), sk_x (32) and the public key (1216). The
// caller has checked those sizes; the ciphertext is checked here.
Result<Key256> xwing_decaps_parts(ByteView ciphertext, ByteView dk_m, ByteView sk_x,
                                  ByteView public_key) noexcept;

}  // namespace core
