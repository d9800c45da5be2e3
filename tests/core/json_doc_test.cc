// The JSON public key document: exact written text, the field finder's
// text-search rules and the reader's checks in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/json_doc.h"
#include "core/kem.h"

namespace {

using core::ErrorKind;
using core::Level;

std::vector<uint8_t> fake_public_key(size_t n) {
  std::vector<uint8_t> p(n);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 31 + 5);
  return p;
}

std::string doc(std::string_view algorithm, std::string_view level, std::string_view key) {
  return std::string(R"({"algorithm":")") + std::string(algorithm) + R"(","level":")" +
         std::string(level) + R"(","public_key":")" + std::string(key) + R"("})";
}

TEST(JsonDoc, WritesTheFixedTemplate) {
  EXPECT_EQ(core::write_public_key_json(std::vector<uint8_t>(800, 0), Level::MlKem512),
            R"({"algorithm":"ML-KEM","level":"ML_KEM_512","public_key":")" +
                std::string(1067, 'A') + R"("})");
  struct Case {
    Level level;
    const char* name;
    size_t ek_len, b64_len;
  };
  const Case kCases[] = {{Level::MlKem512, "ML_KEM_512", 800, 1067},
                         {Level::MlKem768, "ML_KEM_768", 1184, 1579},
                         {Level::MlKem1024, "ML_KEM_1024", 1568, 2091}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto ek = fake_public_key(c.ek_len);
    const std::string text = core::write_public_key_json(ek, c.level);
    const std::string b64 = core::public_key_to_b64(ek);
    EXPECT_EQ(b64.size(), c.b64_len);
    EXPECT_EQ(text, doc("ML-KEM", c.name, b64));
    auto back = core::read_public_key_json(text);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value().public_key, ek);
    EXPECT_EQ(back.value().level, c.level);
  }
}

TEST(JsonDoc, ExtractFollowsTheTextSearchRules) {
  struct Case {
    const char* name;
    std::string document;
    const char* value;    // expected value, or null for a failure
    const char* message;  // expected failure message
  };
  const Case kCases[] = {
      {"plain", R"({"a":"x"})", "x", nullptr},
      {"empty value", R"({"a":""})", "", nullptr},
      {"spaces and newlines after the colon", "{\"a\": \n\t \"x\"}", "x", nullptr},
      {"Unicode spaces after the colon", "{\"a\":\xc2\xa0\xe3\x80\x80\xe2\x80\xa8\"x\"}", "x",
       nullptr},
      {"not valid JSON around it", R"(junk "a":"x" more junk)", "x", nullptr},
      {"first occurrence wins", R"({"a":"first","a":"second"})", "first", nullptr},
      {"nested object found", R"({"o":{"a":"inner"},"a":"outer"})", "inner", nullptr},
      {"inside another string value", R"({"s":"say "a":"hi" there","a":"real"})", "hi", nullptr},
      {"backslash is ordinary", R"({"a":"x\"y"})", "x\\", nullptr},
      {"escapes kept verbatim", R"({"a":"\u0041\n"})", "\\u0041\\n", nullptr},
      {"space before the colon", R"({"a" :"x"})", nullptr, "missing JSON field"},
      {"other case", R"({"A":"x"})", nullptr, "missing JSON field"},
      {"unquoted name", R"({a:"x"})", nullptr, "missing JSON field"},
      {"end after the colon", R"({"a":)", nullptr, "JSON field value is not a string"},
      {"only spaces after the colon", "{\"a\": \n ", nullptr, "JSON field value is not a string"},
      {"number", R"({"a":1})", nullptr, "JSON field value is not a string"},
      {"null", R"({"a":null})", nullptr, "JSON field value is not a string"},
      {"object", R"({"a":{"b":"c"}})", nullptr, "JSON field value is not a string"},
      {"single quotes", R"({"a":'x'})", nullptr, "JSON field value is not a string"},
      {"unterminated", R"({"a":"x)", nullptr, "unterminated JSON string value"},
      {"just the opening quote", R"("a":")", nullptr, "unterminated JSON string value"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto r = core::extract_json_string(c.document, "a");
    if (c.value != nullptr) {
      ASSERT_TRUE(r.ok()) << r.error().message;
      EXPECT_EQ(r.value(), c.value);
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind, ErrorKind::KeySerialization);
      EXPECT_STREQ(r.error().message, c.message);
    }
  }
}

TEST(JsonDoc, ReaderAcceptsLooseDocuments) {
  const auto ek = fake_public_key(1184);
  const std::string b64 = core::public_key_to_b64(ek);
  const std::pair<const char*, std::string> kCases[] = {
      {"pretty-printed",
       "{\n  \"algorithm\": \"ML-KEM\",\n  \"level\": \"ML_KEM_768\",\n  \"public_key\": \"" + b64 +
           "\"\n}\n"},
      {"other order, extra fields",
       R"({"public_key":")" + b64 + R"(","v":2,"level":"ML_KEM_768","algorithm":"ML-KEM"})"},
      {"nested in another object",
       R"({"key":{"algorithm":"ML-KEM","level":"ML_KEM_768","public_key":")" + b64 + R"("}})"},
      {"no braces, trailing text",
       R"("algorithm":"ML-KEM","level":"ML_KEM_768","public_key":")" + b64 + R"(" and more)"},
      {"padding in the key", doc("ML-KEM", "ML_KEM_768", b64 + "=")},
      {"spaces around the key", doc("ML-KEM", "ML_KEM_768", "  " + b64 + "\n ")},
  };
  for (const auto& [name, text] : kCases) {
    SCOPED_TRACE(name);
    auto r = core::read_public_key_json(text);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(r.value().public_key, ek);
    EXPECT_EQ(r.value().level, Level::MlKem768);
  }
}

TEST(JsonDoc, ReaderFailuresComeInOrder) {
  const std::string b64_768 = core::public_key_to_b64(fake_public_key(1184));
  std::string plus = b64_768;
  plus[10] = '+';
  constexpr const char* kMissing = "missing JSON field";
  constexpr const char* kNotString = "JSON field value is not a string";
  constexpr const char* kAlgorithm = "unsupported algorithm (expected 'ML-KEM')";
  constexpr const char* kLevel = "unsupported level in JSON (expected ML_KEM_512/768/1024)";
  struct Case {
    const char* name;
    std::string document;
    ErrorKind kind;
    const char* message;
  };
  const Case kCases[] = {
      {"empty", "", ErrorKind::KeySerialization, kMissing},
      {"empty object", "{}", ErrorKind::KeySerialization, kMissing},
      {"level missing", R"({"algorithm":"ML-KEM","public_key":"AAAA"})",
       ErrorKind::KeySerialization, kMissing},
      {"key missing, bad algorithm", R"({"algorithm":"RSA","level":"ML_KEM_768"})",
       ErrorKind::KeySerialization, kMissing},
      {"space before a colon",
       R"({"algorithm":"ML-KEM","level" :"ML_KEM_768","public_key":")" + b64_768 + R"("})",
       ErrorKind::KeySerialization, kMissing},
      {"level is a number", R"({"algorithm":"ML-KEM","level":768,"public_key":")" + b64_768 + "\"}",
       ErrorKind::KeySerialization, kNotString},
      {"bad algorithm and level", doc("RSA", "x", b64_768), ErrorKind::KeySerialization, kAlgorithm},
      {"algorithm lower case", doc("ml-kem", "ML_KEM_768", b64_768), ErrorKind::KeySerialization,
       kAlgorithm},
      {"algorithm with a space", doc(" ML-KEM", "ML_KEM_768", b64_768),
       ErrorKind::KeySerialization, kAlgorithm},
      {"algorithm found inside a string first",
       R"({"note":"was "algorithm":"Kyber" once",)" + doc("ML-KEM", "ML_KEM_768", b64_768).substr(1),
       ErrorKind::KeySerialization, kAlgorithm},
      {"level lower case", doc("ML-KEM", "ml_kem_768", b64_768), ErrorKind::KeySerialization, kLevel},
      {"level with hyphens", doc("ML-KEM", "ML-KEM-768", b64_768), ErrorKind::KeySerialization,
       kLevel},
      {"level bare number", doc("ML-KEM", "768", b64_768), ErrorKind::KeySerialization, kLevel},
      {"level trailing space", doc("ML-KEM", "ML_KEM_768 ", b64_768), ErrorKind::KeySerialization,
       kLevel},
      {"level bad, key bad", doc("ML-KEM", "ML_KEM_999", "!!"), ErrorKind::KeySerialization, kLevel},
      {"standard-alphabet plus", doc("ML-KEM", "ML_KEM_768", plus), ErrorKind::Base64,
       "invalid base64 URL-safe string"},
      {"512 level, 768 key", doc("ML-KEM", "ML_KEM_512", b64_768), ErrorKind::InvalidParameter,
       "decoded public key has incorrect size for the specified security level"},
      {"empty key", doc("ML-KEM", "ML_KEM_1024", ""), ErrorKind::InvalidParameter,
       "decoded public key has incorrect size for the specified security level"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto r = core::read_public_key_json(c.document);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, c.kind);
    EXPECT_STREQ(r.error().message, c.message);
  }
}

}  // namespace
