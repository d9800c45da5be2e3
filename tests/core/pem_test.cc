// The PEM-like armour: written shapes, reading tolerances and failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/common/base64.h"
#include "core/pem.h"

namespace {

using core::ErrorKind;

std::vector<uint8_t> payload(size_t n) {
  std::vector<uint8_t> p(n);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(255 - i * 13);
  return p;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  lines.push_back(text.substr(start));  // after the final LF: empty
  return lines;
}

void replace_all(std::string& s, std::string_view from, std::string_view to) {
  for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
    s.replace(at, from.size(), to);
}

TEST(Pem, WrapLinesEvery64Characters) {
  struct Case {
    size_t len;
    std::vector<size_t> newlines_at;  // indices in the output
  };
  const Case kCases[] = {{0, {}},      {1, {}},       {63, {}},           {64, {}},
                         {65, {64}},   {128, {64}},   {129, {64, 129}},   {200, {64, 129, 194}}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.len);
    std::string text;
    for (size_t i = 0; i < c.len; ++i) text += static_cast<char>('A' + i % 26);
    const std::string out = core::wrap_pem_lines(text);
    std::vector<size_t> newlines;
    std::string without;
    for (size_t i = 0; i < out.size(); ++i) {
      if (out[i] == '\n') newlines.push_back(i);
      else without += out[i];
    }
    EXPECT_EQ(newlines, c.newlines_at);
    EXPECT_EQ(without, text);
  }
}

TEST(Pem, WrittenBlocksHaveTheDocumentedShapes) {
  struct Case {
    const core::PemBlockType* type;
    size_t payload_len, b64_len, body_lines, last_line, total;
  };
  const Case kCases[] = {
      {&core::kPublicKeyPem, 800, 1068, 17, 44, 1151},
      {&core::kPublicKeyPem, 1184, 1580, 25, 44, 1671},
      {&core::kPublicKeyPem, 1568, 2092, 33, 44, 2191},
      {&core::kEncryptedPrivateKeyPem, 1682, 2244, 36, 4, 2368},
      {&core::kEncryptedPrivateKeyPem, 2450, 3268, 52, 4, 3408},
      {&core::kEncryptedPrivateKeyPem, 3218, 4292, 68, 4, 4448},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.payload_len);
    const auto p = payload(c.payload_len);
    const std::string text = core::write_pem_block(*c.type, p);
    EXPECT_EQ(text.size(), c.total);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    const auto lines = split_lines(text);
    ASSERT_EQ(lines.size(), c.body_lines + 3);
    EXPECT_EQ(lines.front(), c.type->header);
    EXPECT_EQ(lines[lines.size() - 2], c.type->footer);
    EXPECT_EQ(lines.back(), "");  // the text ends with exactly one LF after the footer
    std::string body;
    for (size_t i = 1; i <= c.body_lines; ++i) {
      EXPECT_EQ(lines[i].size(), i == c.body_lines ? c.last_line : 64u) << "line " << i;
      body += lines[i];
    }
    EXPECT_EQ(body.size(), c.b64_len);
    EXPECT_EQ(body, core::base64_encode(p));
    EXPECT_EQ(body.back(), '=');
    EXPECT_NE(body[body.size() - 2], '=');
    auto back = core::read_pem_block(text, *c.type);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value(), p);
  }
  EXPECT_EQ(core::kPublicKeyPem.header.size(), 33u);
  EXPECT_EQ(core::kPublicKeyPem.footer.size(), 31u);
  EXPECT_EQ(core::kEncryptedPrivateKeyPem.header.size(), 44u);
  EXPECT_EQ(core::kEncryptedPrivateKeyPem.footer.size(), 42u);
}

TEST(Pem, ReaderDropsAllWhitespaceAndSurroundingText) {
  const auto p = payload(800);
  const std::string written = core::write_pem_block(core::kPublicKeyPem, p);
  const std::string b64 = core::base64_encode(p);
  const std::string h(core::kPublicKeyPem.header), f(core::kPublicKeyPem.footer);
  auto rewrap = [&](size_t width, std::string_view sep, std::string_view indent) {
    std::string body;
    for (size_t i = 0; i < b64.size(); i += width)
      body.append(indent).append(b64.substr(i, width)).append(sep);
    return body;
  };
  std::string crlf = written;
  replace_all(crlf, "\n", "\r\n");
  const std::pair<const char*, std::string> kCases[] = {
      {"CRLF", crlf},
      {"indented with spaces", h + "\n" + rewrap(64, "\n", "    ") + f + "\n"},
      {"indented with tabs", h + "\n" + rewrap(64, "\n", "\t") + f},
      {"one line", h + b64 + f},
      {"76-character lines", h + "\n" + rewrap(76, "\n", "") + f},
      {"10-character lines", h + "\n" + rewrap(10, " \n", "") + f},
      {"Unicode spaces", h + "\xc2\xa0" + rewrap(64, "\xe2\x80\xa8", "\xe3\x80\x80") + "\xc2\x85" + f},
      {"comment line before", "# my key\n" + written},
      {"header mid-line", "key: " + written},
      {"text after the footer", written + "trailing words\n"},
      {"two blocks, the first wins", written + core::write_pem_block(core::kPublicKeyPem, payload(1184))},
  };
  for (const auto& [name, text] : kCases) {
    SCOPED_TRACE(name);
    auto r = core::read_pem_block(text, core::kPublicKeyPem);
    ASSERT_TRUE(r.ok()) << (r.error().message ? r.error().message : "");
    EXPECT_EQ(r.value(), p);
  }
  auto empty = core::read_pem_block(h + "\n" + f + "\n", core::kPublicKeyPem);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty.value().empty());
}

TEST(Pem, ExtractReturnsTheTextBetweenHeaderAndFooter) {
  auto body = core::extract_pem_body("xxHEADa b\ncFOOTyyFOOT", "HEAD", "FOOT");
  ASSERT_TRUE(body.ok());
  EXPECT_EQ(body.value(), "a b\nc");
  EXPECT_EQ(core::unwrap_pem_body(" a\tb\r\nc\xe2\x80\x89" "d\xe3\x80\x80"), "abcd");
  // The footer is searched for only after the header.
  auto before = core::extract_pem_body("FOOT HEAD body", "HEAD", "FOOT");
  ASSERT_FALSE(before.ok());
  EXPECT_STREQ(before.error().message, "PEM footer not found");
}

TEST(Pem, FailuresNameTheirCause) {
  const auto p = payload(800);
  const std::string pub = core::write_pem_block(core::kPublicKeyPem, p);
  const std::string enc = core::write_pem_block(core::kEncryptedPrivateKeyPem, payload(1682));
  const std::string b64 = core::base64_encode(p);
  ASSERT_NE(b64.find_first_of("+/"), std::string::npos);  // the URL-safe rewrite below bites
  std::string url_safe = pub;
  for (char& c : url_safe) c = c == '+' ? '-' : c == '/' ? '_' : c;
  std::string unpadded = pub;
  unpadded.erase(unpadded.find("=\n"), 1);
  std::string lower = pub;
  for (size_t i = 0; i < core::kPublicKeyPem.header.size(); ++i)
    lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[i])));
  const std::string h(core::kPublicKeyPem.header), f(core::kPublicKeyPem.footer);
  const std::string enc_h(core::kEncryptedPrivateKeyPem.header);
  const std::string enc_f(core::kEncryptedPrivateKeyPem.footer);

  constexpr const char* kNoHeader = "PEM header not found";
  constexpr const char* kNoFooter = "PEM footer not found";
  constexpr const char* kBadPub = "PEM body is not valid Base64 STANDARD";
  constexpr const char* kBadEnc = "PEM ENCRYPTED body is not valid Base64 STANDARD";
  struct Case {
    const char* name;
    std::string text;
    const core::PemBlockType* type;
    const char* message;
  };
  const Case kCases[] = {
      {"empty text", "", &core::kPublicKeyPem, kNoHeader},
      {"bare Base64", b64, &core::kPublicKeyPem, kNoHeader},
      {"lower-case header", lower, &core::kPublicKeyPem, kNoHeader},
      {"public block read as encrypted", pub, &core::kEncryptedPrivateKeyPem, kNoHeader},
      {"encrypted block read as public", enc, &core::kPublicKeyPem, kNoHeader},
      {"no footer", h + "\n" + b64 + "\n", &core::kPublicKeyPem, kNoFooter},
      {"footer only before the header", f + "\n" + h + "\n" + b64, &core::kPublicKeyPem, kNoFooter},
      {"encrypted footer missing", enc_h + "\n" + b64 + "\n" + f, &core::kEncryptedPrivateKeyPem,
       kNoFooter},
      {"URL-safe alphabet", url_safe, &core::kPublicKeyPem, kBadPub},
      {"padding removed", unpadded, &core::kPublicKeyPem, kBadPub},
      {"stray character", h + "\n*" + b64 + "\n" + f, &core::kPublicKeyPem, kBadPub},
      {"encrypted, padding removed", enc_h + "AAA" + enc_f, &core::kEncryptedPrivateKeyPem, kBadEnc},
      {"encrypted, URL-safe", enc_h + "-_-_" + enc_f, &core::kEncryptedPrivateKeyPem, kBadEnc},
      {"encrypted, inner padding", enc_h + "AA==AAAA" + enc_f, &core::kEncryptedPrivateKeyPem,
       kBadEnc},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto r = core::read_pem_block(c.text, *c.type);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::KeySerialization);
    EXPECT_STREQ(r.error().message, c.message);
  }
}

TEST(Pem, PublicKeyReaderChecksTheLevelSize) {
  for (core::Level level : {core::Level::MlKem512, core::Level::MlKem768, core::Level::MlKem1024}) {
    for (size_t len : {size_t{800}, size_t{1184}, size_t{1568}, size_t{0}, size_t{801}}) {
      SCOPED_TRACE(len);
      const auto p = payload(len);
      auto r = core::read_public_key_pem(core::write_pem_block(core::kPublicKeyPem, p), level);
      if (len == core::params(level).ek_len()) {
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value(), p);
      } else {
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
        EXPECT_STREQ(r.error().message,
                     "public key size does not match the specified security level");
      }
    }
  }
  // A body error comes before the size check.
  auto bad = core::read_public_key_pem("-----BEGIN ML-KEM PUBLIC KEY-----A-----END ML-KEM PUBLIC KEY-----",
                                       core::Level::MlKem768);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind, ErrorKind::KeySerialization);
}

}  // namespace
