// ML-KEM with arbitrary capsules and keys. Input: one byte choosing the level
// (mod 3) and the mode (bits 2-3), then the material, zero-padded to the
// sizes the mode needs.
//   mode 0: any capsule of the level's size under the fixed decapsulation
//           key: always succeeds, and the same capsule gives the same key.
//   mode 1: an arbitrary decapsulation key and capsule of the right sizes:
//           always succeeds (implicit rejection, no check of the stored hash).
//   mode 2: an arbitrary encapsulation key and message: encapsulation always
//           succeeds; with the fixed key, decapsulation recovers the secret.
//   mode 3: the input as capsule and key of whatever length it splits into:
//           InvalidParameter unless both sizes are right.
#include <algorithm>

#include "core/kem.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

core::Bytes padded(core::ByteView b, size_t n) {
  core::Bytes out(n, 0);
  std::copy_n(b.begin(), std::min(n, b.size()), out.begin());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t selector = in.byte();
  const core::Level level = fuzz::level_from_byte(selector & 0x03);
  const core::Params& p = core::params(level);
  const core::KeyPairBytes& kp = fuzz::fixed_keypair(level);

  switch ((selector >> 2) & 0x03) {
    case 0: {
      const core::Bytes capsule = padded(in.rest(), p.ct_len());
      auto k1 = core::ml_kem_decaps(capsule, kp.dk, level);
      auto k2 = core::ml_kem_decaps(capsule, kp.dk, level);
      FUZZ_CHECK(k1.ok() && k2.ok() && k1.value().bytes == k2.value().bytes);
      break;
    }
    case 1: {
      const core::Bytes dk = padded(in.take(p.dk_len()), p.dk_len());
      const core::Bytes capsule = padded(in.rest(), p.ct_len());
      FUZZ_CHECK(core::ml_kem_decaps(capsule, dk, level).ok());
      break;
    }
    case 2: {
      const core::Bytes m = padded(in.take(32), 32);
      const core::Seed m32(m.data(), 32);
      const core::Bytes ek = padded(in.rest(), p.ek_len());
      auto any = core::ml_kem_encaps_deterministic(ek, m32, level);
      FUZZ_CHECK(any.ok() && any.value().capsule.size() == p.ct_len());
      auto own = core::ml_kem_encaps_deterministic(kp.ek, m32, level);
      FUZZ_CHECK(own.ok());
      auto k = core::ml_kem_decaps(own.value().capsule, kp.dk, level);
      FUZZ_CHECK(k.ok() && k.value().bytes == own.value().shared_secret.bytes);
      break;
    }
    default: {
      const size_t split = in.byte() * 16u;
      const core::ByteView capsule = in.take(split);
      const core::ByteView dk = in.rest();
      auto k = core::ml_kem_decaps(capsule, dk, level);
      if (capsule.size() == p.ct_len() && dk.size() == p.dk_len())
        FUZZ_CHECK(k.ok());
      else
        FUZZ_CHECK(!k.ok() && k.error().kind == core::ErrorKind::InvalidParameter);
      auto e = core::ml_kem_encaps_deterministic(dk, core::Seed(kp.ek.data(), 32),
                                                 level);
      FUZZ_CHECK(e.ok() == (dk.size() == p.ek_len()));
      break;
    }
  }
  return 0;
}
