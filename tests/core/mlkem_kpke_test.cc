// K-PKE: round trip, determinism and the shape of its keys at every level.
#include <gtest/gtest.h>

#include <array>

#include "core/common/hash.h"
#include "core/kem.h"
#include "core/mlkem/kpke.h"
#include "tests/core/test_support.h"

namespace {

class MlKemKpke : public ::testing::TestWithParam<int> {};

TEST_P(MlKemKpke, RoundTripDeterminismAndKeyShape) {
  const auto level = static_cast<core::Level>(GetParam());
  const core::Params& p = core::params(level);
  std::array<uint8_t, 32> d{}, m{}, r{};
  for (size_t i = 0; i < 32; ++i) {
    d[i] = static_cast<uint8_t>(i);
    m[i] = static_cast<uint8_t>(0xA5 ^ (i * 3));
    r[i] = static_cast<uint8_t>(255 - i);
  }
  core::Bytes ek(p.ek_len()), dk(p.dk_pke_len());
  core::mlkem::k_pke_keygen(ek, dk, d, p);

  // rho is the first half of G(d || k).
  std::array<uint8_t, 64> g;
  const uint8_t k_byte = p.k;
  core::sha3_512(g, {core::ByteView(d), core::ByteView(&k_byte, 1)});
  EXPECT_EQ(testsupport::hex(core::ByteView(ek).last(32)),
            testsupport::hex(core::ByteView(g).first(32)));
  // dk_pke holds only canonical 12-bit values.
  for (size_t i = 0; i < dk.size(); i += 3) {
    ASSERT_LT(dk[i] | ((dk[i + 1] & 0x0F) << 8), 3329);
    ASSERT_LT((dk[i + 1] >> 4) | (dk[i + 2] << 4), 3329);
  }

  core::Bytes c1(p.ct_len()), c2(p.ct_len());
  core::mlkem::k_pke_encrypt(c1, ek, m, r, p);
  core::mlkem::k_pke_encrypt(c2, ek, m, r, p);
  EXPECT_EQ(c1, c2);
  std::array<uint8_t, 32> back{};
  core::mlkem::k_pke_decrypt(back, dk, c1, p);
  EXPECT_EQ(back, m);

  // Same d at another k: unrelated keys.
  const core::Params& other = core::kParams[(GetParam() + 1) % 3];
  core::Bytes ek2(other.ek_len()), dk2(other.dk_pke_len());
  core::mlkem::k_pke_keygen(ek2, dk2, d, other);
  EXPECT_NE(testsupport::hex(core::ByteView(ek2).first(64)),
            testsupport::hex(core::ByteView(ek).first(64)));
}

INSTANTIATE_TEST_SUITE_P(MlKem, MlKemKpke, ::testing::Values(0, 1, 2));

}  // namespace
