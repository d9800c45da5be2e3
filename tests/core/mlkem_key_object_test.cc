// The ML-KEM key objects against the published known answers and against
// the byte-level functions (ml_kem_encaps_deterministic, ml_kem_decaps) on
// the same inputs, on every arithmetic path this build and processor have;
// the checks made once at construction; and one key shared by many threads.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

#include "core/common/hash.h"
#include "core/common/rand.h"
#include "core/kem.h"
#include "core/kem_key.h"
#include "core/mlkem/math/dispatch.h"
#include "tests/core/test_support.h"

namespace {

using core::DecapsulationKey;
using core::EncapsulationKey;
using core::ErrorKind;
using core::Level;
using core::mlkem::ArithPath;
using testsupport::case_name;
using testsupport::expect_error;
using testsupport::field;
using testsupport::hex;
using testsupport::level_of;
using testsupport::seed32;

// on_every_path runs body once per available arithmetic path and restores
// the path in use; with TARNEL_TEST_ARITH set (scripts/test.sh forces one
// path per run) it runs body once, on the forced path.
template <class Body>
void on_every_path(Body body) {
  const char* forced = std::getenv("TARNEL_TEST_ARITH");
  if (forced != nullptr && *forced != '\0') {
    SCOPED_TRACE(core::mlkem::arith_path_name(core::mlkem::arith_path()));
    body();
    return;
  }
  const ArithPath before = core::mlkem::arith_path();
  for (ArithPath p : {ArithPath::Portable, ArithPath::Sse2, ArithPath::Avx2}) {
    if (!core::mlkem::arith_path_available(p)) continue;
    SCOPED_TRACE(core::mlkem::arith_path_name(p));
    ASSERT_TRUE(core::mlkem::set_arith_path(p));
    body();
  }
  ASSERT_TRUE(core::mlkem::set_arith_path(before));
}

// A key pair from seeds that depend on `n`.
core::KeyPairBytes key_pair(Level level, uint8_t n) {
  std::array<uint8_t, 32> d, z;
  for (size_t i = 0; i < 32; ++i) {
    d[i] = static_cast<uint8_t>(n * 31 + i);
    z[i] = static_cast<uint8_t>(n * 17 + 3 * i);
  }
  auto kp = core::ml_kem_keygen_deterministic(d, z, level);
  if (!kp.ok()) throw std::runtime_error("keygen failed");
  return std::move(kp).value();
}

// with_first_field rewrites the first 12-bit field of ByteEncode_12(t_hat) in
// ek to `value` (q or above fails the modulus check).
core::Bytes with_first_field(core::ByteView ek, uint16_t value) {
  core::Bytes out(ek.begin(), ek.end());
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>((out[1] & 0xF0) | (value >> 8));
  return out;
}

TEST(MlKemKeyObjectVectors, EncapsAndDecapsKnownAnswers) {
  LOAD_VECTORS_OR_SKIP(cases, "mlkem_encaps.json");
  on_every_path([&] {
    std::map<int, int> per_level;
    for (const auto& c : cases) {
      SCOPED_TRACE(case_name(c));
      const auto ek = field(c, "ek"), m = field(c, "m");
      // The level given and the level found from the length agree.
      auto key = EncapsulationKey::from_bytes(ek, level_of(c));
      auto inferred = EncapsulationKey::from_bytes(ek, std::nullopt);
      ASSERT_TRUE(key.ok());
      ASSERT_TRUE(inferred.ok());
      EXPECT_EQ(inferred.value().level(), level_of(c));
      EXPECT_EQ(hex(key.value().bytes()), hex(ek));
      auto r = key.value().encapsulate_deterministic(seed32(m));
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(hex(r.value().capsule), c.at("c").get<std::string>());
      EXPECT_EQ(hex(r.value().shared_secret.view()), c.at("k").get<std::string>());
      EXPECT_EQ(hex(r.value().m.view()), hex(m));
      if (c.contains("dk")) {
        auto dk = DecapsulationKey::from_bytes(field(c, "dk"), std::nullopt);
        ASSERT_TRUE(dk.ok());
        EXPECT_EQ(hex(dk.value().encapsulation_key().bytes()), hex(ek));
        auto k = dk.value().decapsulate(r.value().capsule);
        ASSERT_TRUE(k.ok());
        EXPECT_EQ(hex(k.value().view()), c.at("k").get<std::string>());
      }
      ++per_level[c.at("level").get<int>()];
    }
    EXPECT_EQ(per_level.size(), 3u);
  });
}

TEST(MlKemKeyObjectVectors, DecapsKnownAnswers) {
  LOAD_VECTORS_OR_SKIP(cases, "mlkem_decaps.json");
  on_every_path([&] {
    for (const auto& c : cases) {
      SCOPED_TRACE(case_name(c));
      auto dk = DecapsulationKey::from_bytes(field(c, "dk"), level_of(c));
      ASSERT_TRUE(dk.ok());
      auto k = dk.value().decapsulate(field(c, "c"));
      ASSERT_TRUE(k.ok());
      EXPECT_EQ(hex(k.value().view()), c.at("k").get<std::string>());
    }
  });
}

// The key objects refuse exactly the keys that FIPS 203's input checks
// refuse, which the byte-level functions accept (see MlKemVectors.InputChecks).
TEST(MlKemKeyObjectVectors, InputChecks) {
  LOAD_VECTORS_OR_SKIP(cases, "mlkem_input_checks.json");
  std::map<std::string, int> seen;
  for (const auto& c : cases) {
    SCOPED_TRACE(case_name(c) + " " + c.value("comment", ""));
    const std::string op = c.at("op").get<std::string>();
    const std::string check = c.at("check").is_null() ? "none" : c.at("check").get<std::string>();
    const Level level = level_of(c);
    if (op == "encaps" || op == "ek_check") {
      auto key = EncapsulationKey::from_bytes(field(c, "ek"), level);
      if (check == "none") {
        ASSERT_TRUE(key.ok());
        auto dk = DecapsulationKey::from_bytes(field(c, "dk"), level);
        ASSERT_TRUE(dk.ok());
        auto r = key.value().encapsulate();
        ASSERT_TRUE(r.ok());
        auto k = dk.value().decapsulate(r.value().capsule);
        ASSERT_TRUE(k.ok());
        EXPECT_EQ(k.value().bytes, r.value().shared_secret.bytes);
      } else {
        ASSERT_FALSE(key.ok());
        expect_error(key.error(), ErrorKind::InvalidParameter,
                     check == "length" ? "encryption key has incorrect size"
                                       : "encryption key is not reduced modulo q");
        ASSERT_TRUE(check == "length" || check == "modulus") << check;
      }
      ++seen[op + "/" + check];
    } else if (op == "decaps" || op == "dk_check") {
      core::Bytes dk;
      if (c.contains("dk")) {
        dk = field(c, "dk");
      } else {
        auto kp = core::ml_kem_keygen_deterministic(seed32(field(c, "d")), seed32(field(c, "z")),
                                                    level);
        ASSERT_TRUE(kp.ok());
        dk.assign(kp.value().dk.begin(), kp.value().dk.end());
      }
      auto key = DecapsulationKey::from_bytes(dk, level);
      const core::Params& p = core::params(level);
      if (check == "none") {
        ASSERT_TRUE(key.ok());
      } else if (check == "dk-hash") {
        ASSERT_FALSE(key.ok());
        expect_error(key.error(), ErrorKind::InvalidParameter,
                     "decapsulation key fails the hash check");
      } else {
        ASSERT_EQ(check, "length");
        if (dk.size() != p.dk_len()) {
          ASSERT_FALSE(key.ok());
          expect_error(key.error(), ErrorKind::InvalidParameter,
                       "decapsulation key has incorrect size");
        } else {
          // A capsule of the wrong length: refused by decapsulate, as by
          // ml_kem_decaps.
          ASSERT_TRUE(key.ok());
          auto k = key.value().decapsulate(field(c, "c"));
          ASSERT_FALSE(k.ok());
          expect_error(k.error(), ErrorKind::InvalidParameter, "capsule has incorrect size");
        }
      }
      ++seen[op + "/" + check];
    }
  }
  // Each kind of refusal was met.
  for (const char* kind : {"encaps/modulus", "encaps/length", "decaps/length", "decaps/dk-hash",
                           "dk_check/dk-hash", "dk_check/none", "ek_check/none"})
    EXPECT_GT(seen[kind], 0) << kind;
}

class MlKemKeyObject : public ::testing::TestWithParam<int> {
 protected:
  Level level() const { return static_cast<Level>(GetParam()); }
  const core::Params& p() const { return core::params(level()); }
};

// Encapsulation and decapsulation agree with the byte-level functions on
// the same randomness, for good capsules, damaged ones (implicit rejection)
// and arbitrary ones, on every path.
TEST_P(MlKemKeyObject, SameResultsAsTheByteLevelFunctions) {
  on_every_path([&] {
    for (uint8_t n = 0; n < 4; ++n) {
      const core::KeyPairBytes kp = key_pair(level(), n);
      auto ek = EncapsulationKey::from_bytes(kp.ek, level());
      auto dk = DecapsulationKey::from_bytes(core::view(kp.dk), level());
      ASSERT_TRUE(ek.ok());
      ASSERT_TRUE(dk.ok());
      for (uint8_t i = 0; i < 4; ++i) {
        std::array<uint8_t, 32> m;
        core::sha3_256(m, {core::ByteView(&n, 1), core::ByteView(&i, 1)});
        auto mine = ek.value().encapsulate_deterministic(m);
        auto theirs = core::ml_kem_encaps_deterministic(kp.ek, m, level());
        ASSERT_TRUE(mine.ok());
        ASSERT_TRUE(theirs.ok());
        EXPECT_EQ(hex(mine.value().capsule), hex(theirs.value().capsule));
        EXPECT_EQ(mine.value().shared_secret.bytes, theirs.value().shared_secret.bytes);

        core::Bytes c = mine.value().capsule;
        for (int variant = 0; variant < 3; ++variant) {
          SCOPED_TRACE(variant);
          if (variant == 1) c[(i * 97 + n) % c.size()] ^= static_cast<uint8_t>(1 << (i % 8));
          if (variant == 2) core::shake256(c, {core::ByteView(m)});
          auto k = dk.value().decapsulate(c);
          auto expected = core::ml_kem_decaps(c, kp.dk, level());
          ASSERT_TRUE(k.ok());
          ASSERT_TRUE(expected.ok());
          EXPECT_EQ(k.value().bytes, expected.value().bytes);
          EXPECT_EQ(variant == 0, k.value().bytes == mine.value().shared_secret.bytes);
        }
      }
    }
  });
}

TEST_P(MlKemKeyObject, RandomEncapsulationRoundTrips) {
  const core::KeyPairBytes kp = key_pair(level(), 9);
  auto dk = DecapsulationKey::from_bytes(core::view(kp.dk), std::nullopt);
  ASSERT_TRUE(dk.ok());
  EXPECT_EQ(dk.value().level(), level());
  const EncapsulationKey ek = dk.value().encapsulation_key();
  EXPECT_EQ(ek.level(), level());
  EXPECT_EQ(hex(ek.bytes()), hex(kp.ek));
  auto a = ek.encapsulate();
  auto b = ek.encapsulate();
  ASSERT_TRUE(a.ok());
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(a.value().capsule.size(), p().ct_len());
  EXPECT_NE(a.value().capsule, b.value().capsule);
  for (auto* r : {&a.value(), &b.value()}) {
    auto k = dk.value().decapsulate(r->capsule);
    ASSERT_TRUE(k.ok());
    EXPECT_EQ(k.value().bytes, r->shared_secret.bytes);
    auto k2 = core::ml_kem_decaps(r->capsule, kp.dk, level());
    ASSERT_TRUE(k2.ok());
    EXPECT_EQ(k2.value().bytes, r->shared_secret.bytes);
  }
}

// Every length but the level's is refused, with and without a level; a
// level given that does not match the length is refused too.
TEST_P(MlKemKeyObject, LengthsAndLevels) {
  const core::KeyPairBytes kp = key_pair(level(), 1);
  const size_t max = core::kParams[2].dk_len() + 100;
  core::Bytes ek_buf(max), dk_buf(max);
  std::copy(kp.ek.begin(), kp.ek.end(), ek_buf.begin());
  std::copy(kp.dk.begin(), kp.dk.end(), dk_buf.begin());
  for (size_t len = 0; len <= max; ++len) {
    const core::ByteView ek(ek_buf.data(), len), dk(dk_buf.data(), len);
    auto e = EncapsulationKey::from_bytes(ek, level());
    auto d = DecapsulationKey::from_bytes(dk, level());
    EXPECT_EQ(e.ok(), len == p().ek_len()) << len;
    EXPECT_EQ(d.ok(), len == p().dk_len()) << len;
    if (!e.ok())
      expect_error(e.error(), ErrorKind::InvalidParameter, "encryption key has incorrect size");
    if (!d.ok())
      expect_error(d.error(), ErrorKind::InvalidParameter, "decapsulation key has incorrect size");
    EXPECT_EQ(core::level_for_ek_len(len).has_value(),
              len == 800 || len == 1184 || len == 1568);
    EXPECT_EQ(core::level_for_dk_len(len).has_value(),
              len == 1632 || len == 2400 || len == 3168);
  }
  for (int other = 0; other < 3; ++other) {
    if (other == GetParam()) continue;
    EXPECT_FALSE(EncapsulationKey::from_bytes(kp.ek, static_cast<Level>(other)).ok());
    EXPECT_FALSE(DecapsulationKey::from_bytes(core::view(kp.dk), static_cast<Level>(other)).ok());
  }
  auto dk = DecapsulationKey::from_bytes(core::view(kp.dk), level());
  ASSERT_TRUE(dk.ok());
  for (size_t len : {size_t{0}, p().ct_len() - 1, p().ct_len() + 1}) {
    core::Bytes c(len, 0x5A);
    auto k = dk.value().decapsulate(c);
    ASSERT_FALSE(k.ok());
    expect_error(k.error(), ErrorKind::InvalidParameter, "capsule has incorrect size");
  }
}

// The modulus check looks at every 12-bit field: q - 1 passes, q and 4095
// fail, in the first field, the last one, and in a decapsulation key's ek
// (whose stored hash is made to match, so that only the modulus is wrong).
TEST_P(MlKemKeyObject, ModulusCheck) {
  const core::KeyPairBytes kp = key_pair(level(), 2);
  const size_t t_len = p().dk_pke_len();
  for (uint16_t value : {uint16_t{3328}, uint16_t{3329}, uint16_t{4095}}) {
    SCOPED_TRACE(value);
    const bool good = value < 3329;
    core::Bytes first = with_first_field(kp.ek, value);
    core::Bytes last(kp.ek.begin(), kp.ek.end());  // the second field of the last group
    last[t_len - 2] = static_cast<uint8_t>((last[t_len - 2] & 0x0F) | (value & 0x0F) << 4);
    last[t_len - 1] = static_cast<uint8_t>(value >> 4);
    for (const core::Bytes& ek : {first, last}) {
      auto key = EncapsulationKey::from_bytes(ek, level());
      EXPECT_EQ(key.ok(), good);
      if (!good)
        expect_error(key.error(), ErrorKind::InvalidParameter,
                     "encryption key is not reduced modulo q");
    }
    core::SecretBytes dk = kp.dk;
    std::copy(first.begin(), first.end(), dk.begin() + t_len);
    core::sha3_256(std::span<uint8_t, 32>(dk.data() + t_len + p().ek_len(), 32), {first});
    auto key = DecapsulationKey::from_bytes(core::view(dk), level());
    EXPECT_EQ(key.ok(), good);
    if (!good)
      expect_error(key.error(), ErrorKind::InvalidParameter,
                   "decapsulation key holds an encryption key that is not reduced modulo q");
  }
}

TEST_P(MlKemKeyObject, RandomSourceFailure) {
  const core::KeyPairBytes kp = key_pair(level(), 3);
  auto ek = EncapsulationKey::from_bytes(kp.ek, level());
  ASSERT_TRUE(ek.ok());
  core::testing::fail_random_after(0);
  auto r = ek.value().encapsulate();
  core::testing::fail_random_after(-1);
  ASSERT_FALSE(r.ok());
  expect_error(r.error(), ErrorKind::Rng, nullptr);
  EXPECT_TRUE(ek.value().encapsulate().ok());
}

// One decapsulation key and its encapsulation key, shared by eight threads
// that each encapsulate and decapsulate; every result matches the
// byte-level functions.
TEST_P(MlKemKeyObject, SharedByManyThreads) {
  const core::KeyPairBytes kp = key_pair(level(), 4);
  auto dk_result = DecapsulationKey::from_bytes(core::view(kp.dk), level());
  ASSERT_TRUE(dk_result.ok());
  const DecapsulationKey& dk = dk_result.value();
  const EncapsulationKey ek = dk.encapsulation_key();
  constexpr int kThreads = 8, kRounds = 40;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        std::array<uint8_t, 32> m{};
        m[0] = static_cast<uint8_t>(t);
        m[1] = static_cast<uint8_t>(i);
        auto r = ek.encapsulate_deterministic(m);
        auto expected = core::ml_kem_encaps_deterministic(kp.ek, m, level());
        auto k = r.ok() ? dk.decapsulate(r.value().capsule) : core::Result<core::Key256>(
                                                                   core::Error{ErrorKind::Internal});
        const bool good = r.ok() && expected.ok() && k.ok() &&
                          r.value().capsule == expected.value().capsule &&
                          k.value().bytes == expected.value().shared_secret.bytes;
        if (!good) ++failures[static_cast<size_t>(t)];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

INSTANTIATE_TEST_SUITE_P(Levels, MlKemKeyObject, ::testing::Values(0, 1, 2),
                         [](const auto& info) {
                           return "MlKem" + std::to_string(core::kParams[info.param].value);
                         });

}  // namespace
