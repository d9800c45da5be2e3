// Base64 codecs, White_Space trimming and the public-key text.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/common/base64.h"
#include "core/common/text.h"
#include "core/kem.h"

namespace {

core::Bytes bytes_of(std::string_view s) { return core::Bytes(s.begin(), s.end()); }

// Deterministic, varied bytes for the sweeps.
core::Bytes pattern(size_t n) {
  core::Bytes b(n);
  uint32_t x = 0x9e3779b9u;
  for (auto& v : b) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<uint8_t>(x >> 24);
  }
  return b;
}

TEST(Base64, Rfc4648Section10Vectors) {
  struct Case { const char* in; const char* std; const char* url; };
  const Case kCases[] = {
      {"", "", ""},           {"f", "Zg==", "Zg"},          {"fo", "Zm8=", "Zm8"},
      {"foo", "Zm9v", "Zm9v"}, {"foob", "Zm9vYg==", "Zm9vYg"}, {"fooba", "Zm9vYmE=", "Zm9vYmE"},
      {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.in);
    const core::Bytes in = bytes_of(c.in);
    EXPECT_EQ(core::base64_encode(in), c.std);
    EXPECT_EQ(core::base64url_encode(in), c.url);
    EXPECT_EQ(core::base64_decode(c.std), in);
    EXPECT_EQ(core::base64url_decode(c.url), in);
  }
}

TEST(Base64, AlphabetsDifferOnlyInTheLastTwoCharacters) {
  const uint8_t in[] = {0xfb, 0xff, 0xbf};  // 111110 111111 111110 111111
  EXPECT_EQ(core::base64_encode(in), "+/+/");
  EXPECT_EQ(core::base64url_encode(in), "-_-_");
}

TEST(Base64, RoundTripsEveryLengthUpTo300) {
  for (size_t n = 0; n <= 300; ++n) {
    SCOPED_TRACE(n);
    const core::Bytes in = pattern(n);
    const std::string url = core::base64url_encode(in);
    const std::string std_text = core::base64_encode(in);
    const size_t tail[] = {0, 2, 3};
    EXPECT_EQ(url.size(), 4 * (n / 3) + tail[n % 3]);
    EXPECT_EQ(std_text.size(), (n + 2) / 3 * 4);
    // The URL-safe text is the standard text with "+/" mapped and "=" dropped.
    std::string mapped = std_text.substr(0, url.size());
    std::replace(mapped.begin(), mapped.end(), '+', '-');
    std::replace(mapped.begin(), mapped.end(), '/', '_');
    EXPECT_EQ(url, mapped);
    EXPECT_EQ(std_text.substr(url.size()), std::string(std_text.size() - url.size(), '='));
    EXPECT_EQ(core::base64url_decode(url), in);
    EXPECT_EQ(core::base64_decode(std_text), in);
  }
}

TEST(Base64Url, RefusesNonCanonicalText) {
  struct Case { const char* name; const char* text; };
  const Case kCases[] = {
      {"standard-alphabet plus", "ab+d"}, {"standard-alphabet slash", "ab/d"},
      {"inner space", "ab d"},            {"padding", "Zg=="},
      {"inner padding", "Zg=v"},          {"length 1 mod 4", "abcde"},
      {"single character", "A"},          {"non-zero trailing bits (2 chars)", "Zh"},
      {"non-zero trailing bits (3 chars)", "Zm9"}, {"newline", "Zm9v\n"},
      {"non-ASCII", "Zm9v\xc3\xa9"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(core::base64url_decode(c.text).has_value());
  }
  EXPECT_FALSE(core::base64url_decode(std::string_view("Zm\0v", 4)).has_value());
}

TEST(Base64Std, RefusesNonCanonicalText) {
  struct Case { const char* name; const char* text; };
  const Case kCases[] = {
      {"URL-safe minus", "ab-d"},        {"URL-safe underscore", "ab_d"},
      {"missing padding", "Zg"},         {"missing one pad", "Zg="},
      {"extra padding", "Zm8=="},        {"three pads", "Z==="},
      {"only padding", "===="},          {"pad then data", "Zg=v"},
      {"inner pad group", "Zg==Zm9v"},   {"non-zero trailing bits (==)", "Zh=="},
      {"non-zero trailing bits (=)", "Zm9="}, {"inner space", "Zm 9v"},
      {"length 5", "Zm9vY"},             {"trailing newline", "Zm9v\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(core::base64_decode(c.text).has_value());
  }
  EXPECT_EQ(core::base64_decode(""), core::Bytes{});
}

TEST(UnicodeSpace, TrimsEveryWhiteSpaceCharacterAndNothingElse) {
  // Each White_Space character in UTF-8, then look-alikes that are not.
  const char* kSpaces[] = {"\t", "\n", "\v", "\f", "\r", " ", "\xc2\x85", "\xc2\xa0",
                           "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x8a", "\xe2\x80\xa8",
                           "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80"};
  for (const char* s : kSpaces) {
    SCOPED_TRACE(s);
    const std::string text = std::string(s) + "ab" + s + "c" + s + s;
    EXPECT_EQ(core::trim_unicode_space(text), std::string("ab") + s + "c");
    EXPECT_EQ(core::remove_unicode_space(text), "abc");
    EXPECT_EQ(core::space_len(text), std::string_view(s).size());
  }
  const char* kNotSpaces[] = {"\xe2\x80\x8b" /* U+200B */, "\xe2\x80\x8c", "\x1c",
                              "\xc2\x84", "\xe1\x9a\x81", "\xef\xbb\xbf" /* BOM */, "_"};
  for (const char* s : kNotSpaces) {
    SCOPED_TRACE(s);
    const std::string text = std::string(s) + "x" + s;
    EXPECT_EQ(core::trim_unicode_space(text), text);
    EXPECT_EQ(core::space_len(text), 0u);
  }
  EXPECT_EQ(core::trim_unicode_space(" \xe3\x80\x80\n"), "");
}

TEST(PublicKeyText, RoundTripsAtEveryLevelWithTolerance) {
  for (core::Level level : {core::Level::MlKem512, core::Level::MlKem768, core::Level::MlKem1024}) {
    const core::Bytes key = pattern(core::params(level).ek_len());
    const std::string text = core::public_key_to_b64(key);
    EXPECT_EQ(text.size(), (core::params(level).ek_len() * 4 + 2) / 3);
    for (const std::string& variant :
         {text, text + "\n", "  " + text, text + "==", "\xe3\x80\x80" + text + "=\r\n",
          text + "=====", "\t" + text + "\xc2\xa0"}) {
      auto r = core::public_key_from_b64(variant, level);
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(r.value(), key);
    }
  }
}

TEST(PublicKeyText, RefusalsAndTheirOrder) {
  const core::Bytes key = pattern(800);
  const std::string text = core::public_key_to_b64(key);
  std::string plus = text;
  plus[plus.find_first_of("-_")] = '+';
  std::string bits = text;  // 800 bytes: 2 trailing zero bits in the last char
  bits.back() = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
      [std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_")
           .find(bits.back()) + 1];
  const std::string kBase64Cases[] = {plus, bits, text.substr(0, 500) + " " + text.substr(500),
                                      text.substr(0, 10) + "=" + text.substr(10),
                                      "=" + text, text + "AA"};
  for (const std::string& t : kBase64Cases) {
    auto r = core::public_key_from_b64(t, core::Level::MlKem512);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, core::ErrorKind::Base64);
    EXPECT_STREQ(r.error().message, "invalid base64 URL-safe string");
  }
  // Texts that decode, to the wrong size: empty, blank, only "=", the key
  // at another level.
  const std::pair<std::string, core::Level> kSizeCases[] = {
      {"", core::Level::MlKem512}, {" \n\t", core::Level::MlKem768},
      {"====", core::Level::MlKem1024}, {text, core::Level::MlKem768},
      {text, core::Level::MlKem1024}};
  for (const auto& [t, level] : kSizeCases) {
    auto r = core::public_key_from_b64(t, level);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, core::ErrorKind::InvalidParameter);
    EXPECT_STREQ(r.error().message,
                 "decoded public key has incorrect size for the specified security level");
  }
}

}  // namespace
