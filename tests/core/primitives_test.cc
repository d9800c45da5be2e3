// The hash, AES-GCM and random-source wrappers against independent known answers.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "core/common/aes_gcm.h"
#include "core/common/hash.h"
#include "core/common/rand.h"
#include "tests/core/test_support.h"

namespace {

using testsupport::hex;

TEST(Keccak, EmptyInputDigestsMatchFips202) {
  std::array<uint8_t, 32> h256;
  core::sha3_256(h256, {});
  EXPECT_EQ(hex(h256), "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a");
  std::array<uint8_t, 16> s128;
  core::shake128(s128, {});
  EXPECT_EQ(hex(s128), "7f9c2ba4e88f827d616045507605853e");
  std::array<uint8_t, 64> h512;
  const uint8_t abc[] = {'a', 'b', 'c'};
  core::sha3_512(h512, {core::ByteView(abc, 1), core::ByteView(abc + 1, 2)});
  EXPECT_EQ(hex(h512).substr(0, 32), "b751850b1a57168a5693cd924b6b096e");
}

TEST(AesGcm, SealOpenRoundTripAndTagFailureWipesOutput) {
  std::array<uint8_t, 32> key{};
  std::array<uint8_t, 12> nonce{};
  auto enc = core::Aes256Gcm::create(key, core::Aes256Gcm::Direction::Encrypt);
  auto dec = core::Aes256Gcm::create(key, core::Aes256Gcm::Direction::Decrypt);
  ASSERT_TRUE(enc.ok() && dec.ok());
  std::array<uint8_t, 16> pt{}, ct{}, back{};
  std::array<uint8_t, 16> tag{};
  ASSERT_TRUE(enc.value().seal(ct, tag, nonce, {}, pt).ok());
  // AES-256-GCM, zero key, zero IV, one zero block (McGrew-Viega test case 14).
  EXPECT_EQ(hex(ct), "cea7403d4d606b6e074ec5d3baf39d18");
  EXPECT_EQ(hex(tag), "d0d1c8a799996bf0265b98b5d48ab919");
  ASSERT_TRUE(dec.value().open(back, tag, nonce, {}, ct).ok());
  EXPECT_EQ(back, pt);
  tag[0] ^= 1;
  back.fill(0xAA);
  auto bad = dec.value().open(back, tag, nonce, {}, ct);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind, core::ErrorKind::Decryption);
  EXPECT_EQ(back, pt);  // wiped to zeros, which is what pt holds
  EXPECT_EQ(core::Aes256Gcm::create(core::ByteView(key.data(), 31),
                                    core::Aes256Gcm::Direction::Encrypt).error().kind,
            core::ErrorKind::InvalidParameter);
}

TEST(Random, HookFailsTheNthDraw) {
  std::array<uint8_t, 300> buf{};
  core::testing::fail_random_after(1);
  EXPECT_TRUE(core::fill_random(buf).ok());
  auto r = core::fill_random(buf);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, core::ErrorKind::Rng);
  EXPECT_TRUE(core::fill_random(buf).ok());  // the hook fires once
}

}  // namespace
