// The samplers' rules on hand-made byte streams.
#include <gtest/gtest.h>

#include <array>

#include "core/common/hash.h"
#include "core/kem.h"
#include "core/mlkem/sampling.h"
#include "tests/core/test_support.h"

namespace {

using core::mlkem::Poly;

TEST(MlKemSampleNtt, RejectionRulesOnByteGroups) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    std::vector<uint16_t> accepted;
  };
  const Case kCases[] = {
      {"FF FF FF: 4095 and 4095 rejected", {0xFF, 0xFF, 0xFF}, {}},
      {"00 00 00: two zeros", {0x00, 0x00, 0x00}, {0, 0}},
      {"01 0D 00: 3329 rejected, 0 kept", {0x01, 0x0D, 0x00}, {0}},
      {"00 DD D0 then 00 00 00: 3328 kept, 3341 rejected, then two zeros",
       {0x00, 0xDD, 0xD0, 0x00, 0x00, 0x00},
       {3328, 0, 0}},
      {"trailing partial group ignored", {0x00, 0x00, 0x00, 0x05, 0x00}, {0, 0}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Poly a;
    const size_t n = core::mlkem::sample_ntt_parse(a, 0, c.bytes);
    const std::vector<uint16_t> got(a.c.begin(), a.c.begin() + static_cast<long>(n));
    EXPECT_EQ(got, c.accepted);
  }
}

TEST(MlKemSampleNtt, StopsAtTheTwoHundredFiftySixthValue) {
  Poly a;
  a.c.fill(0xABCD);
  // 255 coefficients filled; a group with two acceptable values stores one.
  const uint8_t group[] = {0x07, 0x90, 0x00};  // d1 = 7, d2 = 9
  EXPECT_EQ(core::mlkem::sample_ntt_parse(a, 255, group), 256u);
  EXPECT_EQ(a.c[255], 7);
  EXPECT_EQ(a.c[254], 0xABCD);  // untouched
  // Once full, nothing more is read.
  EXPECT_EQ(core::mlkem::sample_ntt_parse(a, 256, group), 256u);
  EXPECT_EQ(a.c[255], 7);
  // Continuation: filling from count 0 over a stream in two pieces equals
  // filling over the whole stream.
  std::array<uint8_t, 1008> stream;
  core::shake128(stream, {});
  Poly whole, split;
  const size_t n_whole = core::mlkem::sample_ntt_parse(whole, 0, stream);
  size_t n = core::mlkem::sample_ntt_parse(split, 0, core::ByteView(stream).first(150));
  n = core::mlkem::sample_ntt_parse(split, n, core::ByteView(stream).subspan(150));
  EXPECT_EQ(n_whole, 256u);
  EXPECT_EQ(n, 256u);
  EXPECT_EQ(whole, split);
}

TEST(MlKemSampleNtt, ReadsTheXofOfRhoJI) {
  std::array<uint8_t, 32> rho;
  for (size_t i = 0; i < 32; ++i) rho[i] = static_cast<uint8_t>(i * 7 + 1);
  // Reference: a long SHAKE128(rho || j || i) prefix parsed in one go.
  const uint8_t ji[] = {2, 1};
  std::array<uint8_t, 168 * 8> xof;
  core::shake128(xof, {core::ByteView(rho), core::ByteView(ji, 2)});
  Poly expected;
  ASSERT_EQ(core::mlkem::sample_ntt_parse(expected, 0, xof), 256u);
  EXPECT_EQ(core::mlkem::sample_ntt(rho, 1, 2), expected);
  EXPECT_NE(core::mlkem::sample_ntt(rho, 2, 1), expected);
  for (uint16_t v : expected.c) ASSERT_LT(v, 3329);
}

Poly cbd_of(core::ByteView prf, unsigned eta) {
  Poly f;
  core::mlkem::cbd(f, prf, eta);
  return f;
}

TEST(MlKemCbd, KnownBytes) {
  struct Case {
    uint8_t byte;
    uint16_t c0, c1;
  };
  const Case kEta2[] = {{0x0F, 0, 0}, {0x03, 2, 0}, {0x0C, 3327, 0}, {0xF0, 0, 0}, {0x30, 0, 2},
                        {0xC0, 0, 3327}, {0x01, 1, 0}, {0x04, 3328, 0}};
  for (const Case& c : kEta2) {
    SCOPED_TRACE(static_cast<int>(c.byte));
    std::array<uint8_t, 128> prf{};
    prf[5] = c.byte;
    const Poly f = cbd_of(prf, 2);
    EXPECT_EQ(f.c[10], c.c0);
    EXPECT_EQ(f.c[11], c.c1);
    for (size_t i = 0; i < 256; ++i)
      if (i != 10 && i != 11) {
        ASSERT_EQ(f.c[i], 0);
      }
  }
  // eta = 3: 6-bit groups; low three bits set gives 3, high three gives -3.
  std::array<uint8_t, 192> prf{};
  // Bytes 3..5 hold coefficients 4..7: 0x07 -> coeff 4 = 3; bits 9..11 of
  // that 24-bit word (0x38 << 6 = 0xE00) -> coeff 5 = -3.
  const uint32_t word = 0x07u | (0x38u << 6) | (0x09u << 12);  // coeff 6: bit0 + bit3 -> 0
  prf[3] = static_cast<uint8_t>(word);
  prf[4] = static_cast<uint8_t>(word >> 8);
  prf[5] = static_cast<uint8_t>(word >> 16);
  prf[191] = 0x80;  // bit 5 of the last group: coefficient 255 = -1
  const Poly f = cbd_of(prf, 3);
  EXPECT_EQ(f.c[4], 3);
  EXPECT_EQ(f.c[5], 3326);
  EXPECT_EQ(f.c[6], 0);
  EXPECT_EQ(f.c[255], 3328);
  EXPECT_EQ(f.c[0], 0);
}

TEST(MlKemCbd, NoiseIsCbdOfShake256AndOnlyEta2And3) {
  std::array<uint8_t, 32> sigma{};
  sigma[0] = 9;
  for (unsigned eta : {2u, 3u}) {
    std::vector<uint8_t> prf(64 * eta);
    const uint8_t nonce = 5;
    core::shake256(prf, {core::ByteView(sigma), core::ByteView(&nonce, 1)});
    Poly f;
    core::mlkem::sample_noise_poly(f, sigma, nonce, eta);
    EXPECT_EQ(f, cbd_of(prf, eta));
    for (uint16_t v : f.c) ASSERT_TRUE(v <= eta || v >= 3329 - eta) << v;
  }
  try {
    Poly f;
    core::mlkem::sample_noise_poly(f, sigma, 0, 4);
    FAIL() << "eta = 4 accepted";
  } catch (const core::InternalFault& f) {
    EXPECT_STREQ(f.what(), "unsupported eta value: 4");
  }
}

}  // namespace
