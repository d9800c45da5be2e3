// HMAC-SHA3-256 and HKDF-SHA3-256 against the published and generated
// known answers in the shared vector directory.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/kdf.h"
#include "tests/core/test_support.h"

namespace {

using testsupport::unhex;
using testsupport::hex;

core::ByteView ascii(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(HmacSha3_256, MatchesEveryVector) {
  LOAD_VECTORS_OR_SKIP(cases, "hmac_sha3_256.json");
  size_t block_keys = 0, long_keys = 0, valid = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c["id"].get<std::string>());
    const auto key = unhex(c["key"]);
    const auto msg = unhex(c["msg"]);
    const std::string tag = c["tag"];
    std::array<uint8_t, 32> out;
    core::hmac_sha3_256(out, key, {msg});
    const std::string got = hex(out).substr(0, 2 * c["tag_len"].get<size_t>());
    EXPECT_EQ(got == tag, c["valid"].get<bool>()) << got << " vs " << tag;
    block_keys += key.size() == core::kSha3_256BlockLen;
    long_keys += key.size() > core::kSha3_256BlockLen;  // digest of the key first (RFC 2104)
    valid += c["valid"].get<bool>();
  }
  EXPECT_EQ(cases.size(), 193u);
  EXPECT_EQ(block_keys, 1u);
  EXPECT_EQ(long_keys, 3u);
  EXPECT_GT(valid, 80u);
}

TEST(HmacSha3_256, MessagePartsAreConcatenated) {
  const std::string msg = "Sample message for keylen<blocklen";
  std::array<uint8_t, 32> whole, split;
  const auto key = ascii("0123456789abcdef");
  core::hmac_sha3_256(whole, key, {ascii(msg)});
  core::hmac_sha3_256(split, key, {ascii(msg.substr(0, 7)), {}, ascii(msg.substr(7))});
  EXPECT_EQ(whole, split);
}

TEST(HkdfSha3_256, GenericMatchesEveryVector) {
  LOAD_VECTORS_OR_SKIP(cases, "hkdf_sha3_256.json");
  ASSERT_EQ(cases.size(), 10u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c["id"].get<std::string>());
    const auto ikm = unhex(c["ikm"]), salt = unhex(c["salt"]), info = unhex(c["info"]);
    std::array<uint8_t, 32> prk;
    core::hkdf_sha3_256_extract(prk, salt, ikm);
    EXPECT_EQ(hex(prk), c["prk"].get<std::string>());
    std::vector<uint8_t> okm(c["length"].get<size_t>());
    core::hkdf_sha3_256_generic(okm, ikm, salt, info);
    EXPECT_EQ(hex(okm), c["okm"].get<std::string>());
  }
}

TEST(HkdfSha3_256, KeyWrapDerivationMatchesFixedInfoVectors) {
  LOAD_VECTORS_OR_SKIP(cases, "hkdf_sha3_256.json");
  size_t checked = 0;
  for (const auto& c : cases) {
    if (c["info"].get<std::string>() != hex(ascii(core::kKeyWrapInfo))) continue;
    SCOPED_TRACE(c["id"].get<std::string>());
    ASSERT_EQ(c["length"].get<size_t>(), 32u);
    const auto ikm = unhex(c["ikm"]), salt = unhex(c["salt"]);
    ASSERT_EQ(salt.size(), 16u);
    const core::Key256 key = core::hkdf_sha3_256(ikm, core::KeyWrapSalt(salt.data(), 16));
    EXPECT_EQ(hex(key.view()), c["okm"].get<std::string>());
    ++checked;
  }
  EXPECT_EQ(checked, 7u);
}

// The key-wrap derivation written out by hand from RFC 5869 with one expand
// block: PRK = HMAC(salt, ikm), OKM = HMAC(PRK, info || 0x01).
TEST(HkdfSha3_256, KeyWrapDerivationIsOneExpandBlock) {
  std::array<uint8_t, 16> salt;
  for (size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<uint8_t>(0xa0 + i);
  for (std::string_view password : {"", "p", "correct horse battery staple"}) {
    SCOPED_TRACE(std::string(password));
    std::array<uint8_t, 32> prk, expected;
    core::hmac_sha3_256(prk, salt, {ascii(password)});
    const std::string info_and_counter = "tarnel-key-wrap-v1\x01";
    core::hmac_sha3_256(expected, prk, {ascii(info_and_counter)});
    const core::Key256 key = core::hkdf_sha3_256(ascii(password), salt);
    EXPECT_EQ(hex(key.view()), hex(expected));
  }
}

TEST(HkdfSha3_256, EverySaltByteMatters) {
  std::array<uint8_t, 16> salt{};
  const auto password = ascii("password");
  const core::Key256 base = core::hkdf_sha3_256(password, salt);
  const core::Key256 again = core::hkdf_sha3_256(password, salt);
  EXPECT_EQ(base.bytes, again.bytes);
  for (size_t i = 0; i < salt.size(); ++i) {
    salt[i] ^= 0x01;
    EXPECT_NE(core::hkdf_sha3_256(password, salt).bytes, base.bytes) << "salt byte " << i;
    salt[i] ^= 0x01;
  }
}

}  // namespace
