// The ML-KEM facade: sizes, errors and their order, randomness, implicit
// rejection, and the accumulated known-answer digests.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>

#include <openssl/evp.h>

#include "core/common/hash.h"
#include "core/common/rand.h"
#include "core/kem.h"
#include "tests/core/test_support.h"

namespace {

using core::Level;
using testsupport::hex;

class MlKemLevel : public ::testing::TestWithParam<int> {
 protected:
  Level level() const { return static_cast<Level>(GetParam()); }
  const core::Params& p() const { return core::params(level()); }
};

TEST_P(MlKemLevel, RandomRoundTripHasTheTableSizes) {
  auto kp = core::ml_kem_keygen(level());
  ASSERT_TRUE(kp.ok());
  EXPECT_EQ(kp.value().ek.size(), p().ek_len());
  EXPECT_EQ(kp.value().dk.size(), p().dk_len());
  auto enc = core::ml_kem_encaps(kp.value().ek, level());
  ASSERT_TRUE(enc.ok());
  EXPECT_EQ(enc.value().capsule.size(), p().ct_len());
  auto k = core::ml_kem_decaps(enc.value().capsule, kp.value().dk, level());
  ASSERT_TRUE(k.ok());
  EXPECT_EQ(k.value().bytes, enc.value().shared_secret.bytes);
  // Two key generations draw fresh seeds.
  auto kp2 = core::ml_kem_keygen(level());
  ASSERT_TRUE(kp2.ok());
  EXPECT_NE(kp.value().ek, kp2.value().ek);
}

TEST_P(MlKemLevel, DeterministicKeyLayout) {
  std::array<uint8_t, 32> d{}, z{};
  d[0] = 1;
  z.fill(0x5A);
  auto a = core::ml_kem_keygen_deterministic(d, z, level());
  auto b = core::ml_kem_keygen_deterministic(d, z, level());
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a.value().ek, b.value().ek);
  EXPECT_EQ(a.value().dk, b.value().dk);
  const core::ByteView dk = a.value().dk;
  const size_t k384 = 384 * size_t{p().k};
  EXPECT_EQ(hex(dk.subspan(k384, p().ek_len())), hex(a.value().ek));
  std::array<uint8_t, 32> h;
  core::sha3_256(h, {core::ByteView(a.value().ek)});
  EXPECT_EQ(hex(dk.subspan(2 * k384 + 32, 32)), hex(h));
  EXPECT_EQ(hex(dk.last(32)), hex(z));

  std::array<uint8_t, 32> m;
  m.fill(0x33);
  auto e1 = core::ml_kem_encaps_deterministic(a.value().ek, m, level());
  auto e2 = core::ml_kem_encaps_deterministic(a.value().ek, m, level());
  ASSERT_TRUE(e1.ok() && e2.ok());
  EXPECT_EQ(e1.value().capsule, e2.value().capsule);
  EXPECT_EQ(hex(e1.value().m.view()), hex(m));
  std::array<uint8_t, 64> g;
  core::sha3_512(g, {core::ByteView(m), core::ByteView(h)});
  EXPECT_EQ(hex(e1.value().shared_secret.view()), hex(core::ByteView(g).first(32)));
}

// Implicit rejection: a capsule with any bit flipped decapsulates to
// SHAKE256(z || c')[:32]; a changed h gives K_bar for an honest capsule;
// a changed z changes only the rejection key.
TEST_P(MlKemLevel, DecapsImplicitRejection) {
  std::array<uint8_t, 32> d{}, z{}, m{};
  d.fill(7);
  z.fill(8);
  m.fill(9);
  auto kp = core::ml_kem_keygen_deterministic(d, z, level());
  ASSERT_TRUE(kp.ok());
  auto enc = core::ml_kem_encaps_deterministic(kp.value().ek, m, level());
  ASSERT_TRUE(enc.ok());
  const core::Bytes& c = enc.value().capsule;
  const core::Bytes dk(kp.value().dk.begin(), kp.value().dk.end());

  auto k_bar_of = [&](const core::Bytes& dk_used, const core::Bytes& cap) {
    std::array<uint8_t, 32> out;
    core::shake256(out, {core::ByteView(dk_used).last(32), core::ByteView(cap)});
    return hex(out);
  };
  // A spread of bit positions, first and last bytes included.
  for (size_t bit : {size_t{0}, size_t{7}, size_t{8 * 100 + 3}, 8 * c.size() / 2,
                     8 * c.size() - 8, 8 * c.size() - 1}) {
    SCOPED_TRACE(bit);
    core::Bytes bad = c;
    bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    auto k = core::ml_kem_decaps(bad, dk, level());
    ASSERT_TRUE(k.ok());
    EXPECT_EQ(hex(k.value().view()), k_bar_of(dk, bad));
  }

  const size_t h_off = 768 * size_t{p().k} + 32;
  core::Bytes dk_h = dk;
  dk_h[h_off + 5] ^= 0x10;
  auto k_h = core::ml_kem_decaps(c, dk_h, level());
  ASSERT_TRUE(k_h.ok());
  EXPECT_EQ(hex(k_h.value().view()), k_bar_of(dk_h, c));
  EXPECT_NE(k_h.value().bytes, enc.value().shared_secret.bytes);

  core::Bytes dk_z = dk;
  dk_z.back() ^= 1;
  auto k_z = core::ml_kem_decaps(c, dk_z, level());
  ASSERT_TRUE(k_z.ok());
  EXPECT_EQ(k_z.value().bytes, enc.value().shared_secret.bytes);
  core::Bytes bad = c;
  bad[0] ^= 1;
  auto r1 = core::ml_kem_decaps(bad, dk, level());
  auto r2 = core::ml_kem_decaps(bad, dk_z, level());
  ASSERT_TRUE(r1.ok() && r2.ok());
  EXPECT_NE(r1.value().bytes, r2.value().bytes);
}

// Every length from 0 to the largest size + 100 is refused but the right one,
// with the message of the operation; dk is checked before the capsule.
TEST_P(MlKemLevel, SizeChecksAndTheirOrder) {
  auto kp = core::ml_kem_keygen(level());
  ASSERT_TRUE(kp.ok());
  auto enc = core::ml_kem_encaps(kp.value().ek, level());
  ASSERT_TRUE(enc.ok());
  const std::array<uint8_t, 32> m{};
  for (size_t len = 0; len <= 3168 + 100; ++len) {
    const core::Bytes buf(len, 0x42);
    if (len != p().ek_len()) {
      auto r = core::ml_kem_encaps(buf, level());
      ASSERT_FALSE(r.ok());
      ASSERT_EQ(r.error().kind, core::ErrorKind::InvalidParameter);
      ASSERT_STREQ(r.error().message, "encryption key has incorrect size");
      auto rd = core::ml_kem_encaps_deterministic(buf, m, level());
      ASSERT_FALSE(rd.ok());
      ASSERT_STREQ(rd.error().message, "encryption key publica tiene tamano incorrecto");
    }
    if (len != p().dk_len()) {
      // Wrong dk with a right and with a wrong capsule: the dk message.
      for (const core::Bytes& cap : {enc.value().capsule, buf}) {
        auto r = core::ml_kem_decaps(cap, buf, level());
        ASSERT_FALSE(r.ok());
        ASSERT_STREQ(r.error().message, "decapsulation key has incorrect size");
      }
    }
    if (len != p().ct_len()) {
      auto r = core::ml_kem_decaps(buf, kp.value().dk, level());
      ASSERT_FALSE(r.ok());
      ASSERT_EQ(r.error().kind, core::ErrorKind::InvalidParameter);
      ASSERT_STREQ(r.error().message, "capsule has incorrect size");
    }
  }
}

// The n-th draw fails: key generation draws d (0) then z (1); encapsulation
// draws m (0). The size check of ek comes before the draw.
TEST_P(MlKemLevel, RandomSourceFailure) {
  for (long n : {0L, 1L}) {
    SCOPED_TRACE(n);
    const long before = core::testing::random_calls();
    core::testing::fail_random_after(n);
    auto kp = core::ml_kem_keygen(level());
    core::testing::fail_random_after(-1);
    ASSERT_FALSE(kp.ok());
    EXPECT_EQ(kp.error().kind, core::ErrorKind::Rng);
    EXPECT_EQ(core::testing::random_calls() - before, n + 1);
  }
  // Exactly two draws on success.
  const long before = core::testing::random_calls();
  auto kp = core::ml_kem_keygen(level());
  ASSERT_TRUE(kp.ok());
  EXPECT_EQ(core::testing::random_calls() - before, 2);

  core::testing::fail_random_after(0);
  auto enc = core::ml_kem_encaps(kp.value().ek, level());
  core::testing::fail_random_after(-1);
  ASSERT_FALSE(enc.ok());
  EXPECT_EQ(enc.error().kind, core::ErrorKind::Rng);

  const core::Bytes short_ek(p().ek_len() - 1);
  core::testing::fail_random_after(0);
  auto bad = core::ml_kem_encaps(short_ek, level());
  const long after = core::testing::random_calls();
  auto next = core::ml_kem_encaps(kp.value().ek, level());  // the armed failure is still pending
  core::testing::fail_random_after(-1);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind, core::ErrorKind::InvalidParameter);
  EXPECT_STREQ(bad.error().message, "encryption key has incorrect size");
  EXPECT_FALSE(next.ok());
  EXPECT_EQ(core::testing::random_calls(), after + 1);
}

INSTANTIATE_TEST_SUITE_P(MlKem, MlKemLevel, ::testing::Values(0, 1, 2),
                         [](const auto& info) {
                           return "MlKem" + std::to_string(core::kParams[info.param].value);
                         });

TEST(MlKemFacade, LevelIndexOutsideTheTableIsAnInternalFault) {
  auto r = core::ml_kem_keygen(static_cast<Level>(3));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, core::ErrorKind::Internal);
}

// Accumulated test: inputs from one SHAKE128("") stream, every output
// absorbed into one running SHAKE128, compared with the published digests.
std::string accumulated_digest(Level level, size_t iterations) {
  const core::Params& p = core::params(level);
  const size_t per_iter = 3 * 32 + p.ct_len();
  core::Bytes stream(per_iter * iterations);
  core::shake128(stream, {});

  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> acc(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  EXPECT_EQ(EVP_DigestInit_ex2(acc.get(), EVP_shake128(), nullptr), 1);
  auto absorb = [&](core::ByteView b) {
    EXPECT_EQ(EVP_DigestUpdate(acc.get(), b.data(), b.size()), 1);
  };
  const uint8_t* in = stream.data();
  for (size_t it = 0; it < iterations; ++it, in += per_iter) {
    const core::Seed d(in, 32), z(in + 32, 32), m(in + 64, 32);
    const core::ByteView random_c(in + 96, p.ct_len());
    auto kp = core::ml_kem_keygen_deterministic(d, z, level);
    auto enc = core::ml_kem_encaps_deterministic(kp.value().ek, m, level);
    auto k = core::ml_kem_decaps(enc.value().capsule, kp.value().dk, level);
    EXPECT_EQ(k.value().bytes, enc.value().shared_secret.bytes) << "iteration " << it;
    auto k_random = core::ml_kem_decaps(random_c, kp.value().dk, level);
    absorb(kp.value().ek);
    absorb(kp.value().dk);
    absorb(enc.value().capsule);
    absorb(enc.value().shared_secret.view());
    absorb(k_random.value().view());
  }
  std::array<uint8_t, 32> out;
  EXPECT_EQ(EVP_DigestFinalXOF(acc.get(), out.data(), out.size()), 1);
  return hex(out);
}

// Digests of the FIPS 203 (final) accumulated test, C2SP/CCTV pull request 13.
struct Accumulated {
  Level level;
  size_t iterations;
  const char* digest;
};
constexpr Accumulated kAccumulated[] = {
    {Level::MlKem512, 100, "449120c6e320ef3e9fbfa2316e5f2d2e1e6dd37d8ff5d086d5d2db7d42aff0a1"},
    {Level::MlKem768, 100, "8d65b902f28edc683cebee2872962fd165a4d197c9e24ec74caa4470270df0b7"},
    {Level::MlKem1024, 100, "c3ffe9ebecfa479c142656cbfbc6417efa05b77e994fe538eef4daed166363df"},
    {Level::MlKem512, 10000, "705dcffc87f4e67e35a09dcaa31772e86f3341bd3ccf1e78a5fef99ae6a35a13"},
    {Level::MlKem768, 10000, "f959d18d3d1180121433bf0e05f11e7908cf9d03edc150b2b07cb90bef5bc1c1"},
    {Level::MlKem1024, 10000, "e3bf82b013307b2e9d47dde791ff6dfc82e694e6382404abdb948b908b75bad5"},
};

TEST(MlKemAccumulated, HundredIterations) {
  for (const auto& a : kAccumulated) {
    if (a.iterations != 100) continue;
    SCOPED_TRACE(core::params(a.level).value);
    EXPECT_EQ(accumulated_digest(a.level, a.iterations), a.digest);
  }
}

TEST(MlKemAccumulated, TenThousandIterations) {
  for (const auto& a : kAccumulated) {
    if (a.iterations != 10000) continue;
    SCOPED_TRACE(core::params(a.level).value);
    EXPECT_EQ(accumulated_digest(a.level, a.iterations), a.digest);
  }
}

}  // namespace
