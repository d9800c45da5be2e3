// HPKE with arbitrary messages and keys. Input: one byte choosing the suite
// (mod the table below), one byte choosing the mode (mod 3), then the material.
//   mode 0: enc || ciphertext opened under the fixed recipient key
//           (DeriveKeyPair(00 01 .. 3f)): setup fails only with
//           Decapsulation (a refused DH value); open fails only with
//           Decryption and then leaves the sequence number at 0.
//   mode 1: one byte n, then a public key of 8n bytes and a private key of
//           the rest: each loads exactly when its size is right; a loaded
//           private key's public key loads, and a message sealed to it opens.
//   mode 2: the rest as DeriveKeyPair's ikm: deterministic, refused below 32
//           bytes.
#include <algorithm>
#include <array>

#include "core/hpke/hpke.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace core::hpke;

struct SuiteIds {
  uint16_t kem, kdf, aead;
};
// Every KEM once, and every KDF and AEAD among them; make_corpus.py uses the
// same table.
constexpr std::array<SuiteIds, 10> kSuites{{
    {0x0010, 0x0001, 0x0001},
    {0x0011, 0x0002, 0x0002},
    {0x0020, 0x0003, 0x0003},
    {0x0040, 0x0010, 0x0001},
    {0x0041, 0x0011, 0x0002},
    {0x0042, 0x0001, 0x0003},
    {0x0050, 0x0010, 0x0001},
    {0x0051, 0x0011, 0x0002},
    {0x647a, 0x0001, 0x0003},
    {0x647a, 0x0011, 0xffff},
}};

core::Bytes padded(core::ByteView b, size_t n) {
  core::Bytes out(n, 0);
  std::copy_n(b.begin(), std::min(n, b.size()), out.begin());
  return out;
}

const PrivateKey& fixed_key(KemId kem) {
  static std::array<std::optional<PrivateKey>, kSuites.size()> keys;
  for (size_t i = 0; i < kSuites.size(); ++i) {
    if (static_cast<KemId>(kSuites[i].kem) != kem) continue;
    if (!keys[i]) {
      core::Bytes ikm(64);
      for (size_t j = 0; j < ikm.size(); ++j) ikm[j] = static_cast<uint8_t>(j);
      auto k = derive_key_pair(kem, ikm);
      FUZZ_CHECK(k.ok());
      keys[i] = std::move(k.value());
    }
    return *keys[i];
  }
  std::abort();
}

bool is(const core::Error& e, core::ErrorKind kind) { return e.kind == kind; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const SuiteIds ids = kSuites[in.byte() % kSuites.size()];
  auto made = make_suite(ids.kem, ids.kdf, ids.aead);
  FUZZ_CHECK(made.ok());
  const Suite suite = made.value();
  const KemInfo& kem = *suite.kem;
  const bool export_only = suite.aead->id == AeadId::ExportOnly;

  switch (in.byte() % 3) {
    case 0: {
      const core::Bytes enc = padded(in.take(kem.n_enc), kem.n_enc);
      const core::ByteView ct = in.rest();
      auto r = setup_base_recipient(suite, fixed_key(kem.id), enc, {});
      if (!r.ok()) {
        FUZZ_CHECK(is(r.error(), core::ErrorKind::Decapsulation));
        break;
      }
      Context& ctx = r.value();
      auto pt = ctx.open({}, ct);
      if (pt.ok()) {
        FUZZ_CHECK(!export_only && pt.value().size() + 16 == ct.size() && ctx.sequence() == 1);
      } else {
        FUZZ_CHECK(is(pt.error(), export_only ? core::ErrorKind::InvalidParameter
                                              : core::ErrorKind::Decryption));
        FUZZ_CHECK(ctx.sequence() == 0);
      }
      auto x1 = ctx.export_secret(ct, 32), x2 = ctx.export_secret(ct, 32);
      FUZZ_CHECK(x1.ok() && x2.ok() && x1.value() == x2.value());
      break;
    }
    case 1: {
      const core::ByteView pk = in.take(in.byte() * 8u);
      const core::ByteView sk = in.rest();
      auto pub = load_public_key(kem.id, pk);
      if (pk.size() != kem.n_pk) FUZZ_CHECK(!pub.ok());
      if (!pub.ok()) {
        FUZZ_CHECK(is(pub.error(), core::ErrorKind::InvalidParameter));
      } else {
        const core::Bytes ikm_e(kem.n_random, 0x42);
        auto s = setup_base_sender(suite, pub.value(), {}, core::ByteView(ikm_e));
        FUZZ_CHECK(s.ok() || is(s.error(), core::ErrorKind::InvalidParameter));
      }
      auto priv = load_private_key(kem.id, sk);
      if (sk.size() != kem.n_sk) FUZZ_CHECK(!priv.ok());
      if (!priv.ok()) {
        FUZZ_CHECK(is(priv.error(), core::ErrorKind::InvalidParameter));
        break;
      }
      FUZZ_CHECK(std::equal(sk.begin(), sk.end(), priv.value().bytes.begin()));
      auto own = load_public_key(kem.id, priv.value().public_key);
      FUZZ_CHECK(own.ok());
      auto s = setup_base_sender(suite, own.value(), sk, std::nullopt);
      FUZZ_CHECK(s.ok());
      auto r = setup_base_recipient(suite, priv.value(), s.value().enc, sk);
      FUZZ_CHECK(r.ok());
      if (!export_only) {
        auto ct = s.value().context.seal(pk, sk);
        FUZZ_CHECK(ct.ok());
        auto pt = r.value().open(pk, ct.value());
        FUZZ_CHECK(pt.ok() && std::equal(sk.begin(), sk.end(), pt.value().begin()) &&
                   pt.value().size() == sk.size());
      }
      break;
    }
    default: {
      const core::ByteView ikm = in.rest();
      auto a = derive_key_pair(kem.id, ikm), b = derive_key_pair(kem.id, ikm);
      if (ikm.size() < 32) {
        FUZZ_CHECK(!a.ok() && is(a.error(), core::ErrorKind::InvalidParameter));
        break;
      }
      FUZZ_CHECK(a.ok() && b.ok() && a.value().bytes == b.value().bytes &&
                 a.value().public_key == b.value().public_key);
      break;
    }
  }
  return 0;
}
