// The Transit Package: layout, round trips, damage, errors and their order.
#include "core/hybrid.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <string>

#include "core/common/aes_gcm.h"
#include "core/common/rand.h"
#include "core/kem.h"
#include "tests/core/gcm_oracle.h"
#include "tests/core/test_support.h"

namespace {

using core::ErrorKind;
using core::Level;
using core::params;
using symtest::Bytes;
using symtest::ByteView;
using symtest::key_pair;
using symtest::kLevels;
using symtest::pattern;

using testsupport::expect_error;

TEST(Hybrid, RoundTripsAtEveryLevelAndSize) {
  const size_t kSizes[] = {0, 1, 15, 16, 17, 1000, size_t{1} << 20};
  for (Level level : kLevels) {
    const auto& kp = key_pair(level);
    for (size_t n : kSizes) {
      SCOPED_TRACE(testing::Message() << "level " << int(level) << ", " << n << " bytes");
      const Bytes pt = pattern(n);
      auto pkg = core::hybrid::encrypt(core::view(kp.ek), pt, level);
      ASSERT_TRUE(pkg.ok());
      EXPECT_EQ(pkg.value().size(), params(level).ct_len() + 28 + n);
      auto back = core::hybrid::decrypt(core::view(pkg.value()), core::view(kp.dk), level);
      ASSERT_TRUE(back.ok());
      EXPECT_EQ(back.value(), pt);
    }
  }
  EXPECT_EQ(core::hybrid::min_package_len(Level::MlKem512), 796u);
  EXPECT_EQ(core::hybrid::min_package_len(Level::MlKem768), 1116u);
  EXPECT_EQ(core::hybrid::min_package_len(Level::MlKem1024), 1596u);
}

TEST(Hybrid, SamePlaintextTwiceGivesDifferentPackages) {
  const auto& kp = key_pair(Level::MlKem768);
  const Bytes pt = pattern(64);
  auto a = core::hybrid::encrypt(core::view(kp.ek), pt, Level::MlKem768);
  auto b = core::hybrid::encrypt(core::view(kp.ek), pt, Level::MlKem768);
  ASSERT_TRUE(a.ok() && b.ok());
  const size_t c = params(Level::MlKem768).ct_len();
  EXPECT_NE(Bytes(a.value().begin(), a.value().begin() + c),
            Bytes(b.value().begin(), b.value().begin() + c));
  EXPECT_NE(Bytes(a.value().begin() + c, a.value().begin() + c + 12),
            Bytes(b.value().begin() + c, b.value().begin() + c + 12));
}

// The package's parts open with plain AES-256-GCM under the decapsulated
// secret, and a package assembled from plain AES-256-GCM output opens here.
TEST(Hybrid, LayoutAgreesWithPlainAesGcm) {
  for (Level level : kLevels) {
    SCOPED_TRACE(int(level));
    const auto& kp = key_pair(level);
    const size_t c = params(level).ct_len();
    const Bytes pt = pattern(333, 7);
    auto pkg = core::hybrid::encrypt(core::view(kp.ek), pt, level);
    ASSERT_TRUE(pkg.ok());
    const Bytes& p = pkg.value();
    auto ss = core::ml_kem_decaps(ByteView(p.data(), c), core::view(kp.dk), level);
    ASSERT_TRUE(ss.ok());
    const ByteView nonce(p.data() + c, 12), tag(p.data() + c + 12, 16);
    const ByteView ct(p.data() + c + 28, p.size() - c - 28);
    auto opened = symtest::gcm_open(ss.value().view(), nonce, {}, symtest::concat({ct, tag}));
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(*opened, pt);

    auto enc = core::ml_kem_encaps(core::view(kp.ek), level);
    ASSERT_TRUE(enc.ok());
    const Bytes my_nonce = pattern(12, 99);
    const Bytes sealed = symtest::gcm_seal(enc.value().shared_secret.view(), my_nonce, {}, pt);
    const ByteView sealed_ct(sealed.data(), pt.size()), sealed_tag(sealed.data() + pt.size(), 16);
    const Bytes assembled =
        symtest::concat({core::view(enc.value().capsule), my_nonce, sealed_tag, sealed_ct});
    auto back = core::hybrid::decrypt(core::view(assembled), core::view(kp.dk), level);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value(), pt);
    // The usual ciphertext || tag order is refused.
    const Bytes tag_last = symtest::concat({core::view(enc.value().capsule), my_nonce, sealed});
    auto refused = core::hybrid::decrypt(core::view(tag_last), core::view(kp.dk), level);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, ErrorKind::Decryption);
  }
}

// Flipping one bit anywhere (capsule, nonce, tag, ciphertext) fails with
// Decryption and leaves the output buffer wiped.
TEST(Hybrid, EachRegionDamagedFailsWithDecryption) {
  for (Level level : kLevels) {
    const auto& kp = key_pair(level);
    const size_t c = params(level).ct_len();
    const Bytes pt = pattern(100, 3);
    auto pkg = core::hybrid::encrypt(core::view(kp.ek), pt, level);
    ASSERT_TRUE(pkg.ok());
    const size_t kOffsets[] = {0, c / 2, c - 1, c, c + 11, c + 12, c + 27, c + 28, c + 127};
    for (size_t off : kOffsets) {
      for (uint8_t bit : {uint8_t{0x01}, uint8_t{0x80}}) {
        SCOPED_TRACE(testing::Message() << "level " << int(level) << " offset " << off);
        Bytes bad = pkg.value();
        bad[off] ^= bit;
        Bytes out(pt.size(), 0xAA);
        auto s = core::hybrid::decrypt_into(out, core::view(bad), core::view(kp.dk), level);
        ASSERT_FALSE(s.ok());
        expect_error(s.error(), ErrorKind::Decryption, nullptr);
        EXPECT_EQ(out, Bytes(pt.size(), 0));
      }
    }
  }
}

TEST(Hybrid, SizeErrorsAndTheirOrder) {
  const auto& kp512 = key_pair(Level::MlKem512);
  const auto& kp768 = key_pair(Level::MlKem768);
  const Bytes ek = kp768.ek, dk(kp768.dk.begin(), kp768.dk.end());
  const char* kEk = "encryption key has incorrect size";
  const char* kDk = "decapsulation key has incorrect size";
  const char* kSmall = "Encrypted package too small for the given security level";
  auto pkg768 = core::hybrid::encrypt(core::view(ek), pattern(10), Level::MlKem768);
  auto pkg512 = core::hybrid::encrypt(core::view(kp512.ek), pattern(400), Level::MlKem512);
  ASSERT_TRUE(pkg768.ok() && pkg512.ok());
  ASSERT_GE(pkg512.value().size(), 1116u);

  struct EncCase { const char* name; Bytes ek; };
  const EncCase kEnc[] = {{"empty", {}},
                          {"one short", Bytes(ek.begin(), ek.end() - 1)},
                          {"one long", symtest::concat({core::view(ek), Bytes{0}})},
                          {"ML-KEM-512 key", kp512.ek}};
  for (const EncCase& e : kEnc) {
    SCOPED_TRACE(e.name);
    auto r = core::hybrid::encrypt(core::view(e.ek), pattern(5), Level::MlKem768);
    ASSERT_FALSE(r.ok());
    expect_error(r.error(), ErrorKind::InvalidParameter, kEk);
  }

  struct DecCase { const char* name; Bytes package; Bytes dk; Level level; const char* message; };
  const Bytes& p = pkg768.value();
  const DecCase kDec[] = {
      {"package one short of the minimum", Bytes(p.begin(), p.begin() + 1115), dk,
       Level::MlKem768, kSmall},
      {"short package beats a bad key", Bytes(p.begin(), p.begin() + 1115), Bytes(7),
       Level::MlKem768, kSmall},
      {"empty package", {}, dk, Level::MlKem768, kSmall},
      {"secret key one short", p, Bytes(dk.begin(), dk.end() - 1), Level::MlKem768, kDk},
      {"ML-KEM-512 package and key read at ML-KEM-768", pkg512.value(),
       Bytes(kp512.dk.begin(), kp512.dk.end()), Level::MlKem768, kDk},
  };
  for (const DecCase& d : kDec) {
    SCOPED_TRACE(d.name);
    auto r = core::hybrid::decrypt(core::view(d.package), core::view(d.dk), d.level);
    ASSERT_FALSE(r.ok());
    expect_error(r.error(), ErrorKind::InvalidParameter, d.message);
  }
  EXPECT_FALSE(core::hybrid::opened_len(1115, Level::MlKem768).ok());
  EXPECT_EQ(core::hybrid::opened_len(1116, Level::MlKem768).value(), 0u);

  // A wrong secret key of the right size only fails at the tag.
  auto other = core::ml_kem_keygen(Level::MlKem768);
  ASSERT_TRUE(other.ok());
  auto r = core::hybrid::decrypt(core::view(p), core::view(other.value().dk), Level::MlKem768);
  ASSERT_FALSE(r.ok());
  expect_error(r.error(), ErrorKind::Decryption, nullptr);
}

// Encryption draws twice (m inside encapsulation, then the nonce); a failure
// of either is Rng and leaves the package wiped.
TEST(Hybrid, RandomSourceFailureIsRng) {
  const auto& kp = key_pair(Level::MlKem768);
  const Bytes pt = pattern(50);
  const long before = core::testing::random_calls();
  ASSERT_TRUE(core::hybrid::encrypt(core::view(kp.ek), pt, Level::MlKem768).ok());
  ASSERT_EQ(core::testing::random_calls() - before, 2);
  for (long n : {0L, 1L}) {
    SCOPED_TRACE(n);
    Bytes package(core::hybrid::sealed_len(pt.size(), Level::MlKem768).value(), 0xAA);
    core::testing::fail_random_after(n);
    auto s = core::hybrid::encrypt_into(package, core::view(kp.ek), pt, Level::MlKem768);
    core::testing::fail_random_after(-1);
    ASSERT_FALSE(s.ok());
    expect_error(s.error(), ErrorKind::Rng, nullptr);
    EXPECT_EQ(package, Bytes(package.size(), 0));
  }
}

// A plaintext beyond the AES-GCM limit is refused before any work: the view
// below spans 2^36 bytes of reserved, inaccessible address space, so any
// read would fault, and no random draw happens.
TEST(Hybrid, PlaintextBeyondTheGcmLimitIsInvalidParameter) {
  const char* kLimit = "plaintext exceeds the AES-GCM limit of 2^36 - 32 bytes";
  EXPECT_EQ(core::hybrid::sealed_len(core::kGcmMaxPlaintext, Level::MlKem512).value(),
            core::kGcmMaxPlaintext + 796);
  auto too_long = core::hybrid::sealed_len(core::kGcmMaxPlaintext + 1, Level::MlKem512);
  ASSERT_FALSE(too_long.ok());
  expect_error(too_long.error(), ErrorKind::InvalidParameter, kLimit);

  const size_t span_len = size_t{1} << 36;
  void* region = mmap(nullptr, span_len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                      -1, 0);
  if (region == MAP_FAILED) GTEST_SKIP() << "cannot reserve 64 GiB of address space";
  const ByteView huge(static_cast<const uint8_t*>(region), core::kGcmMaxPlaintext + 1);
  const ByteView ek = core::view(key_pair(Level::MlKem768).ek);
  const long before = core::testing::random_calls();
  auto r = core::hybrid::encrypt(ek, huge, Level::MlKem768);
  auto s = core::hybrid::encrypt_into({}, ek, huge, Level::MlKem768);
  EXPECT_EQ(core::testing::random_calls(), before);
  munmap(region, span_len);
  ASSERT_FALSE(r.ok());
  expect_error(r.error(), ErrorKind::InvalidParameter, kLimit);
  ASSERT_FALSE(s.ok());
  expect_error(s.error(), ErrorKind::InvalidParameter, kLimit);
}

TEST(Hybrid, WrongBufferSizeIsAnInternalFaultNotACrash) {
  const auto& kp = key_pair(Level::MlKem768);
  Bytes small(10, 0xAA);
  auto s = core::hybrid::encrypt_into(small, core::view(kp.ek), pattern(5), Level::MlKem768);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind, ErrorKind::Internal);
  EXPECT_EQ(small, Bytes(10, 0));
}

}  // namespace
