// Constant-time check of ML-KEM key generation, encapsulation and
// decapsulation at every level, run under valgrind's memcheck. The seeds d, z
// and m and the secret parts of the decapsulation key are marked undefined
// (CT_SECRET); values become defined again only where the core itself marks
// them public (CT_PUBLIC): rho, the encapsulation key (and so the ek || H(ek)
// half of dk) and the capsule of an encapsulation. Any
// branch or memory index that depends on a secret is then reported by
// memcheck, and `valgrind --error-exitcode=1` fails the run.
//
// Built with -DTARNEL_CT_CHECK=ON; outside valgrind the marks do nothing and
// the program only checks that the shared secrets agree.
#include <array>
#include <cstdio>
#include <cstring>

#include "core/common/ct.h"
#include "core/common/secret.h"
#include "core/kem.h"
#include "core/kem_key.h"
#include "core/mlkem/math/dispatch.h"
#include "core/xwing.h"

namespace {

using core::Level;

// check_level runs keygen, encaps, decaps of a good capsule and decaps of a
// damaged one (implicit rejection); returns false when a result is wrong.
bool check_level(Level level, uint8_t seed) {
  const core::Params& p = core::params(level);
  core::Secret<32> d, z, m;
  for (size_t i = 0; i < 32; ++i) {
    d.bytes[i] = static_cast<uint8_t>(seed + i);
    z.bytes[i] = static_cast<uint8_t>(seed * 3 + i);
    m.bytes[i] = static_cast<uint8_t>(seed * 7 + i);
  }
  CT_SECRET(d.data(), 32);
  CT_SECRET(z.data(), 32);
  CT_SECRET(m.data(), 32);

  // FIPS 203, Algorithm 16.
  auto kp = core::ml_kem_keygen_deterministic(d.span(), z.span(), level);
  if (!kp.ok()) return false;
  const core::Bytes& ek = kp.value().ek;
  const core::SecretBytes& dk = kp.value().dk;
  if (p.dk_len() != dk.size()) return false;

  // FIPS 203, Algorithm 17.
  auto enc = core::ml_kem_encaps_deterministic(ek, m.span(), level);
  if (!enc.ok()) return false;
  core::Bytes& c = enc.value().capsule;

  // FIPS 203, Algorithm 18, with the real capsule and with one bit flipped.
  auto k = core::ml_kem_decaps(c, dk, level);
  c[seed % c.size()] ^= 0x01;
  auto k_bar = core::ml_kem_decaps(c, dk, level);
  if (!k.ok() || !k_bar.ok()) return false;

  // The key objects: made once from dk (every byte of it secret), then
  // decapsulation of the damaged capsule and of the real one, and
  // encapsulation with the given m.
  core::SecretBytes dk_copy = dk;
  CT_SECRET(dk_copy.data(), dk_copy.size());
  auto dk_obj = core::DecapsulationKey::from_bytes(core::view(dk_copy), level);
  if (!dk_obj.ok()) return false;
  auto k_bar_obj = dk_obj.value().decapsulate(c);
  c[seed % c.size()] ^= 0x01;
  auto k_obj = dk_obj.value().decapsulate(c);
  auto enc_obj = dk_obj.value().encapsulation_key().encapsulate_deterministic(m.span());
  if (!k_obj.ok() || !k_bar_obj.ok() || !enc_obj.ok() || enc_obj.value().capsule != c)
    return false;
  CT_PUBLIC(k_obj.value().data(), 32);
  CT_PUBLIC(k_bar_obj.value().data(), 32);
  CT_PUBLIC(enc_obj.value().shared_secret.data(), 32);

  // The shared secrets are compared here only to validate the run.
  core::Secret<32>& k_enc = enc.value().shared_secret;
  CT_PUBLIC(k_enc.data(), 32);
  CT_PUBLIC(k.value().data(), 32);
  CT_PUBLIC(k_bar.value().data(), 32);
  return std::memcmp(k.value().data(), k_enc.data(), 32) == 0 &&
         std::memcmp(k_bar.value().data(), k_enc.data(), 32) != 0 &&
         std::memcmp(k_obj.value().data(), k.value().data(), 32) == 0 &&
         std::memcmp(k_bar_obj.value().data(), k_bar.value().data(), 32) == 0 &&
         std::memcmp(enc_obj.value().shared_secret.data(), k_enc.data(), 32) == 0;
}

// check_xwing runs X-Wing key generation, encapsulation and decapsulation
// (good and damaged ciphertexts) with the seed and eseed marked secret; the
// public key and ciphertext become public where the core says so.
bool check_xwing(uint8_t seed) {
  core::Secret<32> sk;
  core::Secret<64> eseed;
  for (size_t i = 0; i < 32; ++i) sk.bytes[i] = static_cast<uint8_t>(seed + 5 * i);
  for (size_t i = 0; i < 64; ++i) eseed.bytes[i] = static_cast<uint8_t>(seed * 11 + i);
  CT_SECRET(sk.data(), 32);
  CT_SECRET(eseed.data(), 64);
  auto kp = core::xwing_keygen_deterministic(sk.view());
  if (!kp.ok()) return false;
  auto enc = core::xwing_encaps_deterministic(kp.value().public_key, eseed.view());
  if (!enc.ok()) return false;
  core::Bytes& c = enc.value().capsule;
  auto k = core::xwing_decaps(c, sk.view());
  c[seed % 1088] ^= 0x01;  // the ML-KEM part: implicit rejection
  auto k_bar = core::xwing_decaps(c, sk.view());
  if (!k.ok() || !k_bar.ok()) return false;
  CT_PUBLIC(enc.value().shared_secret.data(), 32);
  CT_PUBLIC(k.value().data(), 32);
  CT_PUBLIC(k_bar.value().data(), 32);
  return std::memcmp(k.value().data(), enc.value().shared_secret.data(), 32) == 0 &&
         std::memcmp(k_bar.value().data(), enc.value().shared_secret.data(), 32) != 0;
}

}  // namespace

// ct_check [portable|sse2|avx2]: the arithmetic path to run on (default: the
// one the core picks); a path this build or processor cannot take is an error.
int main(int argc, char** argv) {
  using core::mlkem::ArithPath;
  if (argc > 1) {
    bool set = false;
    for (ArithPath p : {ArithPath::Portable, ArithPath::Sse2, ArithPath::Avx2})
      if (std::strcmp(argv[1], core::mlkem::arith_path_name(p)) == 0)
        set = core::mlkem::set_arith_path(p);
    if (!set) {
      std::fprintf(stderr, "arithmetic path %s: unknown or not available here\n", argv[1]);
      return 2;
    }
  }
  std::printf("arithmetic path: %s\n", core::mlkem::arith_path_name(core::mlkem::arith_path()));
  int failures = 0;
  for (int l = 0; l < 3; ++l) {
    for (uint8_t seed : {1, 77}) {
      const bool ok = check_level(static_cast<Level>(l), seed);
      std::printf("ML-KEM-%u seed %u: %s\n", core::level_value(static_cast<Level>(l)), seed,
                  ok ? "ok" : "WRONG RESULT");
      failures += ok ? 0 : 1;
    }
  }
  for (uint8_t seed : {1, 77}) {
    const bool ok = check_xwing(seed);
    std::printf("X-Wing seed %u: %s\n", seed, ok ? "ok" : "WRONG RESULT");
    failures += ok ? 0 : 1;
  }
  return failures == 0 ? 0 : 1;
}
