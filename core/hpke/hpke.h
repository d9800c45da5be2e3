// HPKE, base mode (RFC 9180, Section 5.1), with the post-quantum KEMs and the
// one-stage SHAKE KDFs of draft-ietf-hpke-pq. KEMs: DHKEM(P-256, HKDF-SHA256),
// DHKEM(P-384, HKDF-SHA384), DHKEM(X25519, HKDF-SHA256) (RFC 9180, Section
// 4.1), ML-KEM-512/768/1024 (private key = the 64-byte seed d || z), X-Wing,
// MLKEM768-P256 and MLKEM1024-P384 (draft-irtf-cfrg-concrete-hybrid-kems).
// KDFs: HKDF-SHA256/384/512 and SHAKE128/256. AEADs: AES-128-GCM, AES-256-GCM,
// ChaCha20-Poly1305 and export-only. Everything returns a value or a core
// Error; nothing throws.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include <memory>

#include "core/common/bytes.h"
#include "core/kem_key.h"
#include "core/result.h"
#include "core/xwing_key.h"

namespace core::hpke {

enum class KemId : uint16_t {
  DhkemP256 = 0x0010,
  DhkemP384 = 0x0011,
  DhkemX25519 = 0x0020,
  MlKem512 = 0x0040,
  MlKem768 = 0x0041,
  MlKem1024 = 0x0042,
  MlKem768P256 = 0x0050,
  MlKem1024P384 = 0x0051,
  XWing = 0x647a,
};
enum class KdfId : uint16_t {
  HkdfSha256 = 0x0001,
  HkdfSha384 = 0x0002,
  HkdfSha512 = 0x0003,
  Shake128 = 0x0010,
  Shake256 = 0x0011,
};
enum class AeadId : uint16_t {
  Aes128Gcm = 0x0001,
  Aes256Gcm = 0x0002,
  ChaCha20Poly1305 = 0x0003,
  ExportOnly = 0xffff,
};

// The registry's constants for each algorithm. n_random is the length of
// the randomness of a deterministic encapsulation (for DHKEM, the least
// length of the ikm given to DeriveKeyPair for the ephemeral key).
struct KemInfo {
  KemId id;
  size_t n_secret, n_enc, n_pk, n_sk, n_random;
};
struct KdfInfo {
  KdfId id;
  size_t n_h;
  bool one_stage;
};
struct AeadInfo {
  AeadId id;
  size_t n_k, n_n, n_t;
};

// Lookups by registry value: InvalidParameter "unknown HPKE KEM identifier"
// (KDF, AEAD likewise) for a value this library does not implement.
Result<const KemInfo*> kem_info(uint16_t id) noexcept;
Result<const KdfInfo*> kdf_info(uint16_t id) noexcept;
Result<const AeadInfo*> aead_info(uint16_t id) noexcept;

struct Suite {
  const KemInfo* kem;
  const KdfInfo* kdf;
  const AeadInfo* aead;
};
Result<Suite> make_suite(uint16_t kem, uint16_t kdf, uint16_t aead) noexcept;

// PublicKey is a serialized public key that passed its KEM's checks (size,
// the ML-KEM modulus check, the point on the curve). A key that
// load_public_key made also keeps its ML-KEM part expanded (core/kem_key.h,
// core/xwing_key.h), so every encapsulation to it starts from the expansion;
// a key without them (null) is encapsulated to from its bytes.
struct PublicKey {
  KemId kem;
  Bytes bytes;
  std::shared_ptr<const EncapsulationKey> ek_pq;      // ML-KEM and the P-curve hybrids
  std::shared_ptr<const XWingEncapsulationKey> xwing;  // X-Wing
};

// PrivateKey holds a serialized private key and what it expands to, computed
// once: the ML-KEM decapsulation key (for the ML-KEM and hybrid KEMs), the
// scalar of the traditional part, and the public key. Secret parts wipe
// themselves.
struct PrivateKey {
  KemId kem;
  SecretBytes bytes;     // SerializePrivateKey
  SecretBytes dk_pq;     // expanded ML-KEM decapsulation key, or empty
  SecretBytes scalar_t;  // X25519 or P-curve scalar, or empty
  Bytes public_key;
  // The ML-KEM decapsulation key checked and expanded once (ML-KEM and the
  // P-curve hybrids), or the X-Wing key object; null for DHKEM.
  std::shared_ptr<const DecapsulationKey> dk_obj;
  std::shared_ptr<const XWingDecapsulationKey> xwing;
};

// load_public_key / load_private_key deserialize and check: InvalidParameter
// "HPKE public key has the wrong size for its KEM" (private key likewise),
// or the check that failed.
Result<PublicKey> load_public_key(KemId kem, ByteView bytes) noexcept;
Result<PrivateKey> load_private_key(KemId kem, ByteView bytes) noexcept;

// generate_key_pair draws the private key (Rng on failure);
// derive_key_pair is DeriveKeyPair (RFC 9180, Section 7.1.3, and the PQ
// draft): InvalidParameter "HPKE ikm must be at least 32 bytes".
Result<PrivateKey> generate_key_pair(KemId kem) noexcept;
Result<PrivateKey> derive_key_pair(KemId kem, ByteView ikm) noexcept;

// Context is an HPKE encryption context of one role (RFC 9180, Section
// 5.2). Seal and open use nonce = base_nonce XOR I2OSP(seq, Nn) and advance
// seq only on success. seq is kept in 64 bits: at 2^64 - 1 every further
// seal or open fails with InvalidParameter "HPKE message limit reached"
// (the 2^96 - 1 limit of a 12-byte nonce is never reached first). An
// object is used by one thread at a time.
class Context {
 public:
  enum class Role : uint8_t { Sender, Recipient };

  // seal (sender only): ciphertext || tag. InvalidParameter "HPKE seal
  // needs a sender context" / "HPKE export-only suite cannot seal or open".
  Result<Bytes> seal(ByteView aad, ByteView plaintext);
  // open (recipient only): Decryption when the tag does not verify; the
  // context is unchanged.
  Result<SecretBytes> open(ByteView aad, ByteView ciphertext);
  // export_secret is Export (RFC 9180, Section 5.3): InvalidParameter "HPKE
  // export length exceeds the KDF's limit" beyond 255 * Nh (two-stage) or
  // 65535 (one-stage).
  Result<SecretBytes> export_secret(ByteView exporter_context, size_t length) const noexcept;

  Role role() const noexcept { return role_; }
  uint64_t sequence() const noexcept { return seq_; }
  const Suite& suite() const noexcept { return suite_; }
  // For tests of the message limit only.
  void set_sequence_for_testing(uint64_t seq) noexcept { seq_ = seq; }

 private:
  friend Result<Context> key_schedule(const Suite&, Role, ByteView, ByteView) noexcept;
  Context(const Suite& suite, Role role) : suite_(suite), role_(role) {}
  void nonce(std::array<uint8_t, 12>& out) const noexcept;

  Suite suite_;
  Role role_;
  SecretBytes key_;
  std::array<uint8_t, 12> base_nonce_{};
  SecretBytes exporter_secret_;
  uint64_t seq_ = 0;
};

// key_schedule is KeySchedule (RFC 9180, Section 5.1, base mode; the
// one-stage form of the PQ draft for SHAKE). InvalidParameter "HPKE info
// longer than 65535 bytes" for a one-stage KDF.
Result<Context> key_schedule(const Suite& suite, Context::Role role, ByteView shared_secret,
                             ByteView info) noexcept;

struct Encapsulation {
  Bytes enc;
  SecretBytes shared_secret;
};

// encap is the KEM's Encap; with `randomness` it is deterministic (for
// DHKEM, the ephemeral key is DeriveKeyPair(randomness); otherwise exactly
// n_random bytes: InvalidParameter "HPKE ikm_e has the wrong size for its
// KEM"). decap is Decap: InvalidParameter "HPKE enc has the wrong size for
// its KEM", or the KEM's own failure (Decapsulation for a DH value that is
// refused).
Result<Encapsulation> encap(const PublicKey& pk, std::optional<ByteView> randomness) noexcept;
Result<SecretBytes> decap(ByteView enc, const PrivateKey& sk) noexcept;

struct SenderSetup {
  Bytes enc;
  Context context;
};

// setup_base_sender / setup_base_recipient are SetupBaseS / SetupBaseR
// (RFC 9180, Section 5.1.1). A key of another KEM than the suite's is
// InvalidParameter "HPKE key belongs to another KEM".
Result<SenderSetup> setup_base_sender(const Suite& suite, const PublicKey& pk, ByteView info,
                                      std::optional<ByteView> ikm_e) noexcept;
Result<Context> setup_base_recipient(const Suite& suite, const PrivateKey& sk, ByteView enc,
                                     ByteView info) noexcept;

}  // namespace core::hpke
