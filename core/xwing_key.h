// X-Wing key objects (draft-connolly-cfrg-xwing-kem) that keep their
// expansion: a public key is checked once and keeps its ML-KEM-768 part as an
// expanded EncapsulationKey (core/kem_key.h) beside the X25519 point; a
// private key expands its 32-byte seed once into the ML-KEM-768
// DecapsulationKey, the X25519 scalar and the public key. Every operation
// then starts from the expanded form, and the results are those of
// xwing_encaps_deterministic / xwing_decaps on the same bytes and randomness.
//
// The objects never change after they are made, so one may be used from
// many threads at once. Secret parts wipe themselves. Everything returns a
// value or a core Error; nothing throws.
#pragma once

#include <memory>

#include "core/common/bytes.h"
#include "core/common/secret.h"
#include "core/kem.h"
#include "core/kem_key.h"
#include "core/result.h"
#include "core/xwing.h"

namespace core {

// XWingEncapsulationKey is a public key checked and expanded once.
class XWingEncapsulationKey {
 public:
  // from_bytes checks the public key once (xwing_check_public_key: its
  // length, then the FIPS 203 Section 7.2 modulus check of the ML-KEM part,
  // with the same errors) and expands the ML-KEM-768 part.
  static Result<XWingEncapsulationKey> from_bytes(ByteView public_key) noexcept;

  ByteView bytes() const noexcept;  // the 1216-byte public key

  // encapsulate draws the 64-byte eseed from the operating system and calls
  // encapsulate_deterministic; fails with Rng, or as that does.
  Result<EncapsulationResult> encapsulate() const noexcept;

  // encapsulate_deterministic is X-Wing's Encapsulate with eseed = m ||
  // ek_X: InvalidParameter "X-Wing eseed must be 64 bytes", or "X25519
  // shared secret is all zeros" for an X25519 part of small order.
  Result<EncapsulationResult> encapsulate_deterministic(ByteView eseed) const noexcept;

 private:
  struct Parts;
  explicit XWingEncapsulationKey(std::shared_ptr<const Parts> parts) noexcept;
  friend class XWingDecapsulationKey;
  std::shared_ptr<const Parts> parts_;
};

// XWingDecapsulationKey is a private key expanded once. (XWingPrivateKey in
// core/xwing.h is the plain expansion that the byte functions use.)
class XWingDecapsulationKey {
 public:
  // from_seed expands a 32-byte seed: InvalidParameter "X-Wing private key
  // must be 32 bytes" for another length.
  static Result<XWingDecapsulationKey> from_seed(ByteView seed) noexcept;

  XWingDecapsulationKey(XWingDecapsulationKey&&) noexcept;
  XWingDecapsulationKey& operator=(XWingDecapsulationKey&&) noexcept;
  ~XWingDecapsulationKey();

  ByteView seed() const noexcept;  // secret: the private key itself

  // public_key shares this key's expansion of its public half.
  XWingEncapsulationKey public_key() const noexcept;

  // decapsulate is X-Wing's Decapsulate: InvalidParameter "X-Wing ciphertext
  // must be 1120 bytes"; Decapsulation "X-Wing ciphertext has an X25519 part
  // of small order". A ciphertext whose ML-KEM part is damaged yields the
  // implicit-rejection secret combined as usual.
  Result<Key256> decapsulate(ByteView ciphertext) const noexcept;

 private:
  struct Secrets;
  XWingDecapsulationKey(XWingEncapsulationKey pub, std::unique_ptr<const Secrets> sec) noexcept;
  XWingEncapsulationKey pub_;
  std::unique_ptr<const Secrets> sec_;
};

// An X-Wing seed wrapped under a password, the layout of the wrapped ML-KEM
// secret key (core/key_wrap.h) with its own kind byte:
//
//   offset 0   4 bytes  magic "TRPK"
//          4   1        version 0x01
//          5   1        kind 0x10 (an X-Wing seed)
//          6  16        salt  (HKDF salt)
//         22  12        nonce (AES-256-GCM IV)
//         34  32        ciphertext of the seed
//         66  16        tag
//
// The key is hkdf_sha3_256(password, salt); the six header bytes before the
// salt are the associated data, so the kind is authenticated.
inline constexpr uint8_t kXWingWrapKind = 0x10;
inline constexpr size_t kXWingWrappedLen = 82;

// xwing_wrap_seed draws the salt and nonce (Rng on failure) and wraps a
// 32-byte seed: InvalidParameter "X-Wing private key must be 32 bytes".
Result<Bytes> xwing_wrap_seed(ByteView seed, ByteView password) noexcept;

// xwing_unwrap_seed checks the length ("wrapped X-Wing key must be 82
// bytes"), the magic, version and kind ("not a wrapped X-Wing key"), all
// KeySerialization; then the tag: Decryption for a wrong password or a
// damaged blob, which cannot be told apart.
Result<Key256> xwing_unwrap_seed(ByteView blob, ByteView password) noexcept;

}  // namespace core
