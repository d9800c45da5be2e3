#include "core/hpke/hpke.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "core/hpke/aead.h"
#include "core/hpke/labeled.h"

namespace core::hpke {
namespace {

constexpr std::array<KdfInfo, 5> kKdfs{{
    {KdfId::HkdfSha256, 32, false},
    {KdfId::HkdfSha384, 48, false},
    {KdfId::HkdfSha512, 64, false},
    {KdfId::Shake128, 32, true},
    {KdfId::Shake256, 64, true},
}};
constexpr std::array<AeadInfo, 4> kAeads{{
    {AeadId::Aes128Gcm, 16, 12, 16},
    {AeadId::Aes256Gcm, 32, 12, 16},
    {AeadId::ChaCha20Poly1305, 32, 12, 16},
    {AeadId::ExportOnly, 0, 0, 0},
}};

constexpr uint8_t kModeBase = 0x00;
constexpr size_t kMaxLengthPrefixed = 0xffff;

// suite_id = "HPKE" || I2OSP(kem_id, 2) || I2OSP(kdf_id, 2) || I2OSP(aead_id, 2).
std::array<uint8_t, 10> suite_id(const Suite& s) {
  const uint16_t v[3] = {static_cast<uint16_t>(s.kem->id), static_cast<uint16_t>(s.kdf->id),
                         static_cast<uint16_t>(s.aead->id)};
  std::array<uint8_t, 10> out{'H', 'P', 'K', 'E'};
  for (size_t i = 0; i < 3; ++i) {
    out[4 + 2 * i] = static_cast<uint8_t>(v[i] >> 8);
    out[5 + 2 * i] = static_cast<uint8_t>(v[i]);
  }
  return out;
}

// The hashes of a base-mode key schedule that depend on the suite alone
// (RFC 9180, Section 5.1): psk_id_hash, base mode's psk_id being empty, and
// the info_hash of an empty info. Public values, worked out once per suite
// and process on first use and then shared by every thread.
struct SuiteHashes {
  std::once_flag once;
  std::array<uint8_t, 64> psk_id_hash{}, empty_info_hash{};
};

constexpr size_t kKemSlots = 9, kHkdfs = 3;

size_t kem_slot(KemId id) {
  switch (id) {
    case KemId::DhkemP256: return 0;
    case KemId::DhkemP384: return 1;
    case KemId::DhkemX25519: return 2;
    case KemId::MlKem512: return 3;
    case KemId::MlKem768: return 4;
    case KemId::MlKem1024: return 5;
    case KemId::MlKem768P256: return 6;
    case KemId::MlKem1024P384: return 7;
    case KemId::XWing: return 8;
  }
  CORE_CHECK(false, "kem_slot: a KEM without a slot");
  return 0;
}

// suite_hashes gives the hashes for `suite` (an HKDF suite; `sid` its id).
const SuiteHashes& suite_hashes(const Suite& suite, ByteView sid) {
  static std::array<SuiteHashes, kKemSlots * kHkdfs * kAeads.size()> table;
  const auto kdf = static_cast<size_t>(suite.kdf - kKdfs.data());
  const auto aead = static_cast<size_t>(suite.aead - kAeads.data());
  CORE_CHECK(kdf < kHkdfs && aead < kAeads.size(), "suite_hashes: not a suite of the tables");
  SuiteHashes& h = table[(kem_slot(suite.kem->id) * kHkdfs + kdf) * kAeads.size() + aead];
  std::call_once(h.once, [&] {
    const size_t n_h = suite.kdf->n_h;
    labeled_extract(suite.kdf->id, MutableBytes(h.psk_id_hash.data(), n_h), sid, {},
                    "psk_id_hash", {});
    labeled_extract(suite.kdf->id, MutableBytes(h.empty_info_hash.data(), n_h), sid, {},
                    "info_hash", {});
  });
  return h;
}

// length_prefixed: I2OSP(len(x), 2) || x.
void append_length_prefixed(Bytes& out, ByteView x) {
  out.push_back(static_cast<uint8_t>(x.size() >> 8));
  out.push_back(static_cast<uint8_t>(x.size()));
  out.insert(out.end(), x.begin(), x.end());
}

}  // namespace

Result<const KdfInfo*> kdf_info(uint16_t id) noexcept {
  for (const KdfInfo& k : kKdfs)
    if (static_cast<uint16_t>(k.id) == id) return &k;
  return Error{ErrorKind::InvalidParameter, "unknown HPKE KDF identifier"};
}

Result<const AeadInfo*> aead_info(uint16_t id) noexcept {
  for (const AeadInfo& a : kAeads)
    if (static_cast<uint16_t>(a.id) == id) return &a;
  return Error{ErrorKind::InvalidParameter, "unknown HPKE AEAD identifier"};
}

Result<Suite> make_suite(uint16_t kem, uint16_t kdf, uint16_t aead) noexcept {
  Result<const KemInfo*> k = kem_info(kem);
  if (!k.ok()) return k.error();
  Result<const KdfInfo*> h = kdf_info(kdf);
  if (!h.ok()) return h.error();
  Result<const AeadInfo*> a = aead_info(aead);
  if (!a.ok()) return a.error();
  return Suite{k.value(), h.value(), a.value()};
}

Result<Context> key_schedule(const Suite& suite, Context::Role role, ByteView shared_secret,
                             ByteView info) noexcept {
  return contained<Context>([&]() -> Result<Context> {
    const auto sid = suite_id(suite);
    const KdfId kdf = suite.kdf->id;
    const size_t n_k = suite.aead->n_k, n_n = suite.aead->n_n, n_h = suite.kdf->n_h;
    Context ctx(suite, role);
    ctx.key_ = SecretBytes(n_k);
    ctx.exporter_secret_ = SecretBytes(n_h);
    SecretBytes base_nonce(n_n);
    if (suite.kdf->one_stage) {
      // draft-ietf-hpke-pq / the HPKE revision's one-stage schedule:
      // secret = LabeledDerive(lp(psk) || lp(shared_secret), "secret",
      //                        mode || lp(psk_id) || lp(info), Nk + Nn + Nh).
      if (info.size() > kMaxLengthPrefixed)
        return Error{ErrorKind::InvalidParameter, "HPKE info longer than 65535 bytes"};
      if (shared_secret.size() > kMaxLengthPrefixed)
        return Error{ErrorKind::Internal, "shared secret too long"};
      const uint8_t empty_psk[2] = {0, 0};
      const uint8_t ss_len[2] = {static_cast<uint8_t>(shared_secret.size() >> 8),
                                 static_cast<uint8_t>(shared_secret.size())};
      Bytes context{kModeBase, 0, 0};  // mode || lp(psk_id = "")
      append_length_prefixed(context, info);
      SecretBytes secret(n_k + n_n + n_h);
      labeled_derive(kdf, secret, sid, {ByteView(empty_psk, 2), ByteView(ss_len, 2), shared_secret},
                     "secret", context);
      std::copy_n(secret.begin(), n_k, ctx.key_.begin());
      std::copy_n(secret.begin() + n_k, n_n, base_nonce.begin());
      std::copy_n(secret.begin() + n_k + n_n, n_h, ctx.exporter_secret_.begin());
    } else {
      // RFC 9180, Section 5.1, base mode (psk = psk_id = "").
      // key_schedule_context = mode || psk_id_hash || info_hash.
      const SuiteHashes& fixed = suite_hashes(suite, sid);
      Bytes context(1 + 2 * n_h);
      context[0] = kModeBase;
      std::copy_n(fixed.psk_id_hash.begin(), n_h, context.begin() + 1);
      if (info.empty()) {
        std::copy_n(fixed.empty_info_hash.begin(), n_h, context.begin() + 1 + n_h);
      } else {
        labeled_extract(kdf, MutableBytes(context).subspan(1 + n_h, n_h), sid, {}, "info_hash",
                        info);
      }
      SecretBytes secret(n_h);
      labeled_extract(kdf, secret, sid, shared_secret, "secret", {});
      const Prk prk(kdf, secret);
      prk.labeled_expand(ctx.key_, sid, "key", context);
      prk.labeled_expand(base_nonce, sid, "base_nonce", context);
      prk.labeled_expand(ctx.exporter_secret_, sid, "exp", context);
    }
    std::copy_n(base_nonce.begin(), n_n, ctx.base_nonce_.begin());
    return ctx;
  });
}

void Context::nonce(std::array<uint8_t, 12>& out) const noexcept {
  out = base_nonce_;
  for (size_t i = 0; i < 8; ++i) out[11 - i] ^= static_cast<uint8_t>(seq_ >> (8 * i));
}

Result<Bytes> Context::seal(ByteView aad, ByteView plaintext) {
  return contained<Bytes>([&]() -> Result<Bytes> {
    if (role_ != Role::Sender)
      return Error{ErrorKind::InvalidParameter, "HPKE seal needs a sender context"};
    if (suite_.aead->id == AeadId::ExportOnly)
      return Error{ErrorKind::InvalidParameter, "HPKE export-only suite cannot seal or open"};
    if (seq_ == UINT64_MAX) return Error{ErrorKind::InvalidParameter, "HPKE message limit reached"};
    Nonce n;
    nonce(n);
    Bytes out(plaintext.size() + kAeadTagLen);
    if (Status s = aead_seal(suite_.aead->id, key_, n, aad, plaintext, out); !s.ok())
      return s.error();
    ++seq_;
    return out;
  });
}

Result<SecretBytes> Context::open(ByteView aad, ByteView ciphertext) {
  return contained<SecretBytes>([&]() -> Result<SecretBytes> {
    if (role_ != Role::Recipient)
      return Error{ErrorKind::InvalidParameter, "HPKE open needs a recipient context"};
    if (suite_.aead->id == AeadId::ExportOnly)
      return Error{ErrorKind::InvalidParameter, "HPKE export-only suite cannot seal or open"};
    if (seq_ == UINT64_MAX) return Error{ErrorKind::InvalidParameter, "HPKE message limit reached"};
    if (ciphertext.size() < kAeadTagLen) return Error{ErrorKind::Decryption};
    Nonce n;
    nonce(n);
    SecretBytes out(ciphertext.size() - kAeadTagLen);
    if (Status s = aead_open(suite_.aead->id, key_, n, aad, ciphertext, out); !s.ok())
      return s.error();
    ++seq_;
    return out;
  });
}

Result<SecretBytes> Context::export_secret(ByteView exporter_context, size_t length) const noexcept {
  return contained<SecretBytes>([&]() -> Result<SecretBytes> {
    const size_t limit = suite_.kdf->one_stage ? kMaxLengthPrefixed : 255 * suite_.kdf->n_h;
    if (length > limit)
      return Error{ErrorKind::InvalidParameter, "HPKE export length exceeds the KDF's limit"};
    const auto sid = suite_id(suite_);
    SecretBytes out(length);
    if (suite_.kdf->one_stage) {
      labeled_derive(suite_.kdf->id, out, sid, {exporter_secret_}, "sec", exporter_context);
    } else {
      labeled_expand(suite_.kdf->id, out, sid, exporter_secret_, "sec", exporter_context);
    }
    return out;
  });
}

Result<SenderSetup> setup_base_sender(const Suite& suite, const PublicKey& pk, ByteView info,
                                      std::optional<ByteView> ikm_e) noexcept {
  return contained<SenderSetup>([&]() -> Result<SenderSetup> {
    if (pk.kem != suite.kem->id)
      return Error{ErrorKind::InvalidParameter, "HPKE key belongs to another KEM"};
    Result<Encapsulation> e = encap(pk, ikm_e);
    if (!e.ok()) return e.error();
    Result<Context> ctx = key_schedule(suite, Context::Role::Sender, e.value().shared_secret, info);
    if (!ctx.ok()) return ctx.error();
    return SenderSetup{std::move(e.value().enc), std::move(ctx.value())};
  });
}

Result<Context> setup_base_recipient(const Suite& suite, const PrivateKey& sk, ByteView enc,
                                     ByteView info) noexcept {
  return contained<Context>([&]() -> Result<Context> {
    if (sk.kem != suite.kem->id)
      return Error{ErrorKind::InvalidParameter, "HPKE key belongs to another KEM"};
    Result<SecretBytes> shared = decap(enc, sk);
    if (!shared.ok()) return shared.error();
    return key_schedule(suite, Context::Role::Recipient, shared.value(), info);
  });
}

}  // namespace core::hpke
