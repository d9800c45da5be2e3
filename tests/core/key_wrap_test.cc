// The wrapped secret-key blob: layout, round trips, every failure and the
// order in which the checks run.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "core/common/aes_gcm.h"
#include "core/common/rand.h"
#include "core/key_wrap.h"

namespace {

using core::ErrorKind;
using core::Level;

constexpr Level kLevels[] = {Level::MlKem512, Level::MlKem768, Level::MlKem1024};

core::ByteView ascii(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::vector<uint8_t> fake_secret_key(Level level) {
  std::vector<uint8_t> dk(core::params(level).dk_len());
  for (size_t i = 0; i < dk.size(); ++i) dk[i] = static_cast<uint8_t>(i * 7 + 3);
  return dk;
}

core::Bytes wrap(Level level, std::string_view password) {
  auto r = core::wrap_secret_key_blob(fake_secret_key(level), level, ascii(password));
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : core::Bytes{};
}

void expect_error(const core::Result<core::UnwrappedSecretKey>& r, ErrorKind kind,
                  const char* message) {
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, kind);
  if (message == nullptr) {
    EXPECT_EQ(r.error().message, nullptr);
  } else {
    ASSERT_NE(r.error().message, nullptr);
    EXPECT_STREQ(r.error().message, message);
  }
}

constexpr const char* kTooShort = "wrapped blob is too short to contain a valid header";
constexpr const char* kBadMagic = "invalid magic bytes in wrapped blob";
constexpr const char* kBadVersion = "unsupported wrapped blob version";
constexpr const char* kBadLevel = "unknown level_id in wrapped blob";

TEST(KeyWrap, BlobLayoutDecryptsWithTheDerivedKey) {
  for (Level level : kLevels) {
    SCOPED_TRACE(static_cast<int>(level));
    const auto dk = fake_secret_key(level);
    const core::Bytes blob = wrap(level, "pw");
    ASSERT_EQ(blob.size(), dk.size() + 50);
    EXPECT_EQ(std::string(blob.begin(), blob.begin() + 4), "TRPK");
    EXPECT_EQ(blob[4], 0x01);
    EXPECT_EQ(blob[5], static_cast<uint8_t>(level));
    // Salt at 6..21, nonce at 22..33, then ciphertext and tag.
    const core::Key256 key =
        core::hkdf_sha3_256(ascii("pw"), core::KeyWrapSalt(blob.data() + 6, 16));
    auto gcm = core::Aes256Gcm::create(key.view(), core::Aes256Gcm::Direction::Decrypt);
    ASSERT_TRUE(gcm.ok());
    std::vector<uint8_t> plain(dk.size());
    ASSERT_TRUE(gcm.value()
                    .open(plain, std::span<const uint8_t, 16>(blob.data() + 34 + dk.size(), 16),
                          core::GcmNonce(blob.data() + 22, 12), {},
                          core::ByteView(blob.data() + 34, dk.size()))
                    .ok());
    EXPECT_EQ(plain, dk);
  }
  EXPECT_EQ(wrap(Level::MlKem512, "").size(), 1682u);
  EXPECT_EQ(wrap(Level::MlKem768, "").size(), 2450u);
  EXPECT_EQ(wrap(Level::MlKem1024, "").size(), 3218u);
}

TEST(KeyWrap, RoundTripsAtEveryLevelWithFreshSaltAndNonce) {
  for (Level level : kLevels) {
    for (std::string_view password : {"", "hunter2", "contrase\xc3\xb1" "a"}) {
      SCOPED_TRACE(std::string(password));
      const core::Bytes a = wrap(level, password);
      const core::Bytes b = wrap(level, password);
      EXPECT_FALSE(std::equal(a.begin() + 6, a.begin() + 22, b.begin() + 6));   // salt
      EXPECT_FALSE(std::equal(a.begin() + 22, a.begin() + 34, b.begin() + 22));  // nonce
      for (const core::Bytes& blob : {a, b}) {
        auto r = core::unwrap_secret_key(blob, ascii(password));
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value().level, level);
        const auto dk = fake_secret_key(level);
        EXPECT_TRUE(std::equal(dk.begin(), dk.end(), r.value().secret_key.begin(),
                               r.value().secret_key.end()));
      }
    }
  }
}

TEST(KeyWrap, WrapRefusesAKeyOfAnotherSizeAfterDrawing) {
  for (Level level : kLevels) {
    const size_t n = core::params(level).dk_len();
    for (size_t len : {size_t{0}, n - 1, n + 1, size_t{1632}, size_t{2400}, size_t{3168}}) {
      if (len == n) continue;
      SCOPED_TRACE(len);
      const std::vector<uint8_t> dk(len, 0x42);
      const long before = core::testing::random_calls();
      auto r = core::wrap_secret_key_blob(dk, level, ascii("pw"));
      EXPECT_EQ(core::testing::random_calls() - before, 2);  // salt, then nonce
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
      EXPECT_STREQ(r.error().message,
                   "secret key size does not match the specified security level");
    }
  }
}

TEST(KeyWrap, RandomSourceFailureWinsOverTheSizeCheck) {
  for (long failing_draw : {0L, 1L}) {
    for (bool right_size : {true, false}) {
      SCOPED_TRACE(failing_draw);
      std::vector<uint8_t> dk = fake_secret_key(Level::MlKem768);
      if (!right_size) dk.pop_back();
      core::testing::fail_random_after(failing_draw);
      auto r = core::wrap_secret_key_blob(dk, Level::MlKem768, ascii("pw"));
      core::testing::fail_random_after(-1);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind, ErrorKind::Rng);
      EXPECT_EQ(r.error().message, nullptr);
    }
  }
  // The third draw is not part of a wrap: a failure armed there is not reached.
  core::testing::fail_random_after(2);
  EXPECT_TRUE(core::wrap_secret_key_blob(fake_secret_key(Level::MlKem512), Level::MlKem512,
                                         ascii("pw")).ok());
  core::testing::fail_random_after(-1);
}

TEST(KeyWrap, UnwrapChecksRunInOrder) {
  const core::Bytes good = wrap(Level::MlKem768, "pw");
  struct Case {
    const char* name;
    core::Bytes blob;
    ErrorKind kind;
    const char* message;
  };
  auto edit = [&](std::initializer_list<std::pair<size_t, uint8_t>> changes, size_t len = 0) {
    core::Bytes b = good;
    for (auto [at, v] : changes) b.at(at) = v;
    if (len) b.resize(len);
    return b;
  };
  const Case kCases[] = {
      {"empty", {}, ErrorKind::KeySerialization, kTooShort},
      {"49 bytes of a good blob", edit({}, 49), ErrorKind::KeySerialization, kTooShort},
      {"49 bytes, bad magic", edit({{0, 'X'}}, 49), ErrorKind::KeySerialization, kTooShort},
      {"50 bytes, good header", edit({}, 50), ErrorKind::Decryption, nullptr},
      {"lower-case magic", edit({{0, 't'}, {1, 'r'}, {2, 'p'}, {3, 'k'}}),
       ErrorKind::KeySerialization, kBadMagic},
      {"last magic byte", edit({{3, 'L'}}), ErrorKind::KeySerialization, kBadMagic},
      {"bad magic and version", edit({{0, 'X'}, {4, 2}}), ErrorKind::KeySerialization, kBadMagic},
      {"bad magic and level", edit({{1, 0}, {5, 9}}), ErrorKind::KeySerialization, kBadMagic},
      {"version 0", edit({{4, 0}}), ErrorKind::KeySerialization, kBadVersion},
      {"version 2", edit({{4, 2}}), ErrorKind::KeySerialization, kBadVersion},
      {"bad version and level", edit({{4, 0xff}, {5, 3}}), ErrorKind::KeySerialization,
       kBadVersion},
      {"level 3", edit({{5, 3}}), ErrorKind::KeySerialization, kBadLevel},
      {"level 255", edit({{5, 255}}), ErrorKind::KeySerialization, kBadLevel},
      {"level 1 -> 0", edit({{5, 0}}), ErrorKind::Decryption, nullptr},
      {"level 1 -> 2", edit({{5, 2}}), ErrorKind::Decryption, nullptr},
      {"truncated by one byte", edit({}, good.size() - 1), ErrorKind::Decryption, nullptr},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    expect_error(core::unwrap_secret_key(c.blob, ascii("pw")), c.kind, c.message);
  }
  for (size_t len = 0; len < 50; ++len)
    expect_error(core::unwrap_secret_key(core::ByteView(good.data(), len), ascii("pw")),
                 ErrorKind::KeySerialization, kTooShort);
}

// The header is not authenticated: a blob whose level_id was moved to
// another valid level still decrypts, and only the length check after
// decryption refuses it.
TEST(KeyWrap, LevelIdTamperingIsRefusedByTheLengthCheck) {
  for (Level level : kLevels) {
    for (uint8_t other = 0; other < 3; ++other) {
      if (other == static_cast<uint8_t>(level)) continue;
      core::Bytes blob = wrap(level, "pw");
      blob[5] = other;
      auto r = core::unwrap_secret_key(blob, ascii("pw"));
      expect_error(r, ErrorKind::Decryption, nullptr);
    }
    // A key of the wrong size wrapped by hand under a valid header: the tag
    // verifies and the decrypted length is what fails.
    const std::vector<uint8_t> short_key(core::params(level).dk_len() - 1, 0x11);
    const std::array<uint8_t, 16> salt{1, 2, 3};
    const std::array<uint8_t, 12> nonce{4, 5, 6};
    const core::Key256 key = core::hkdf_sha3_256(ascii("pw"), salt);
    core::Bytes blob(short_key.size() + 50);
    std::memcpy(blob.data(), "TRPK", 4);
    blob[4] = 1;
    blob[5] = static_cast<uint8_t>(level);
    std::copy(salt.begin(), salt.end(), blob.begin() + 6);
    std::copy(nonce.begin(), nonce.end(), blob.begin() + 22);
    auto gcm = core::Aes256Gcm::create(key.view(), core::Aes256Gcm::Direction::Encrypt);
    ASSERT_TRUE(gcm.ok());
    ASSERT_TRUE(gcm.value()
                    .seal(core::MutableBytes(blob.data() + 34, short_key.size()),
                          std::span<uint8_t, 16>(blob.data() + 34 + short_key.size(), 16), nonce,
                          {}, short_key)
                    .ok());
    expect_error(core::unwrap_secret_key(blob, ascii("pw")), ErrorKind::Decryption, nullptr);
  }
}

TEST(KeyWrap, AnyBitFlippedAfterTheVersionFailsDecryption) {
  const core::Bytes good = wrap(Level::MlKem512, "pw");
  for (size_t i = 6; i < good.size(); ++i) {
    core::Bytes blob = good;
    blob[i] ^= static_cast<uint8_t>(1u << (i % 8));
    auto r = core::unwrap_secret_key(blob, ascii("pw"));
    ASSERT_FALSE(r.ok()) << "byte " << i;
    ASSERT_EQ(r.error().kind, ErrorKind::Decryption) << "byte " << i;
  }
}

TEST(KeyWrap, WrongPasswordIsADecryptionError) {
  const core::Bytes blob = wrap(Level::MlKem1024, "password");
  for (std::string_view wrong : {"passwore", "Password", "password ", "passwor", ""}) {
    SCOPED_TRACE(std::string(wrong));
    expect_error(core::unwrap_secret_key(blob, ascii(wrong)), ErrorKind::Decryption, nullptr);
  }
}

}  // namespace
