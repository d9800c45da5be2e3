// Field arithmetic, NTT, encodings and compression of the ML-KEM core,
// checked against direct definitions (%, schoolbook products, rounding).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>

#include "core/mlkem/math/compress.h"
#include "core/mlkem/math/field.h"
#include "core/mlkem/math/ntt.h"
#include "core/mlkem/math/poly.h"
#include "tests/core/test_support.h"

namespace {

using core::mlkem::kQ;
using core::mlkem::Poly;
using core::mlkem::PolyVec;

constexpr uint32_t kQm1 = kQ - 1;

Poly random_poly(std::mt19937& rng) {
  std::uniform_int_distribution<int> dist(0, kQ - 1);
  Poly f;
  for (auto& v : f.c) v = static_cast<uint16_t>(dist(rng));
  return f;
}

// Schoolbook product in Z_q[X]/(X^256 + 1).
Poly negacyclic_product(const Poly& a, const Poly& b) {
  std::array<int64_t, 256> acc{};
  for (size_t i = 0; i < 256; ++i)
    for (size_t j = 0; j < 256; ++j) {
      const int64_t p = int64_t{a.c[i]} * b.c[j];
      if (i + j < 256) acc[i + j] += p;
      else acc[i + j - 256] -= p;
    }
  Poly r;
  for (size_t i = 0; i < 256; ++i) r.c[i] = static_cast<uint16_t>(((acc[i] % kQ) + kQ) % kQ);
  return r;
}

TEST(MlKemField, BarrettReduceIsExactOverItsWholeDomain) {
  for (uint32_t x = 0; x <= kQm1 * kQm1; ++x) {
    if (core::mlkem::barrett_reduce(x) != x % kQ) FAIL() << "x = " << x;
  }
}

TEST(MlKemField, OperationsMatchModularArithmeticOnAllPairsOfASweep) {
  // Every canonical a against a spread of b including the edges.
  const uint16_t kB[] = {0, 1, 2, 1664, 1665, 3327, 3328};
  for (uint32_t a = 0; a < kQ; ++a)
    for (uint16_t b : kB) {
      ASSERT_EQ(core::mlkem::field_add(a, b), (a + b) % kQ);
      ASSERT_EQ(core::mlkem::field_sub(a, b), (a + kQ - b) % kQ);
      ASSERT_EQ(core::mlkem::field_sub(b, a), (b + kQ - a) % kQ);
      ASSERT_EQ(core::mlkem::field_mul(a, b), (a * b) % kQ);
    }
  for (uint32_t r = 0; r < 2 * kQ; ++r) ASSERT_EQ(core::mlkem::cond_sub_q(r), r % kQ);
  for (uint32_t x = 0; x <= 0xFFFF; ++x) ASSERT_EQ(core::mlkem::field_from_u16(x), x % kQ);
  EXPECT_EQ(core::mlkem::field_mul(3328, 3328), 1);
  EXPECT_EQ(core::mlkem::field_add(3328, 1), 0);
  EXPECT_EQ(core::mlkem::field_sub(0, 1), 3328);
  EXPECT_EQ(core::mlkem::field_sub(5, 5), 0);
}

TEST(MlKemNtt, ZetaTableIsPowersOf17InBitReversedOrder) {
  for (uint32_t i = 0; i < 128; ++i) {
    uint32_t rev = 0;
    for (int b = 0; b < 7; ++b) rev |= ((i >> b) & 1) << (6 - b);
    uint32_t z = 1;
    for (uint32_t e = 0; e < rev; ++e) z = z * 17 % kQ;
    EXPECT_EQ(core::mlkem::kZetas[i], z) << "i = " << i;
  }
}

TEST(MlKemNtt, KnownTransforms) {
  Poly zero;
  Poly f = zero;
  core::mlkem::ntt(f);
  EXPECT_EQ(f, zero);
  core::mlkem::ntt_inverse(f);
  EXPECT_EQ(f, zero);

  Poly one;
  one.c[0] = 1;
  core::mlkem::ntt(one);
  for (size_t i = 0; i < 256; ++i) EXPECT_EQ(one.c[i], i % 2 == 0 ? 1 : 0) << i;
}

TEST(MlKemNtt, RoundTripAndProductMatchSchoolbook) {
  std::mt19937 rng(203);
  for (int iter = 0; iter < 20; ++iter) {
    const Poly f = random_poly(rng), g = random_poly(rng);
    Poly f_hat = f, g_hat = g;
    core::mlkem::ntt(f_hat);
    core::mlkem::ntt(g_hat);
    Poly back = f_hat;
    core::mlkem::ntt_inverse(back);
    ASSERT_EQ(back, f);
    Poly prod = core::mlkem::multiply_ntts(f_hat, g_hat);
    core::mlkem::ntt_inverse(prod);
    ASSERT_EQ(prod, negacyclic_product(f, g));
  }
  // Extreme values: every coefficient q - 1.
  Poly m;
  m.c.fill(kQ - 1);
  Poly m_hat = m;
  core::mlkem::ntt(m_hat);
  Poly sq = core::mlkem::multiply_ntts(m_hat, m_hat);
  core::mlkem::ntt_inverse(sq);
  EXPECT_EQ(sq, negacyclic_product(m, m));
}

TEST(MlKemNtt, XTo255TimesXIsMinusOne) {
  Poly a, b;
  a.c[255] = 1;
  b.c[1] = 1;
  core::mlkem::ntt(a);
  core::mlkem::ntt(b);
  Poly c = core::mlkem::multiply_ntts(a, b);
  core::mlkem::ntt_inverse(c);
  Poly expected;
  expected.c[0] = 3328;
  EXPECT_EQ(c, expected);
}

TEST(MlKemPoly, BasecaseMultiplyAndInnerProduct) {
  // (a0 + a1 X)(b0 + b1 X) mod (X^2 - gamma), directly.
  const auto r = core::mlkem::basecase_multiply({3328, 2}, {5, 3328}, 17);
  EXPECT_EQ(r.c0, (3328u * 5 + 2u * 3328 * 17) % kQ);
  EXPECT_EQ(r.c1, (3328u * 3328 + 2u * 5) % kQ);

  std::mt19937 rng(7);
  PolyVec a = PolyVec::zero(3), b = PolyVec::zero(3);
  for (size_t i = 0; i < 3; ++i) {
    a[i] = random_poly(rng);
    b[i] = random_poly(rng);
  }
  Poly expected;
  for (size_t i = 0; i < 3; ++i) expected.add_assign(core::mlkem::multiply_ntts(a[i], b[i]));
  auto inner = [](const PolyVec& x, const PolyVec& y) {
    Poly acc;
    PolyVec::inner_product_ntt(acc, x, y);
    return acc;
  };
  EXPECT_EQ(inner(a, b), expected);
  EXPECT_EQ(inner(a, PolyVec::zero(0)), Poly{});
  // Shorter vector: paired up to its length.
  PolyVec b1 = PolyVec::zero(1);
  b1[0] = b[0];
  EXPECT_EQ(inner(a, b1), core::mlkem::multiply_ntts(a[0], b[0]));
  // The product is added to what acc already holds.
  Poly twice = expected;
  PolyVec::inner_product_ntt(twice, a, b);
  expected.add_assign(expected);
  EXPECT_EQ(twice, expected);
}

TEST(MlKemEncoding, TwelveBitPacking) {
  PolyVec v = PolyVec::zero(1);
  v[0].c[0] = 0x123;
  v[0].c[1] = 0xABC;
  core::Bytes out(384);
  v.to_bytes(out);
  EXPECT_EQ(testsupport::hex(core::ByteView(out).first(3)), "23c1ab");

  PolyVec zero = PolyVec::zero(2);
  core::Bytes zb(768, 0xEE);
  zero.to_bytes(zb);
  EXPECT_EQ(zb, core::Bytes(768, 0));
  EXPECT_EQ(PolyVec::from_bytes(zb, 2)[1], Poly{});

  // 0xFF..: every field is 4095, decoded as 766. 3329 -> 0, 3328 stays.
  const core::Bytes ff(384, 0xFF);
  const PolyVec high = PolyVec::from_bytes(ff, 1);
  for (uint16_t c : high[0].c) ASSERT_EQ(c, 766);
  const core::Bytes edge = {0x01, 0x0D, 0xD0, 0x00, 0x00, 0x00};  // 3329, 3328
  core::Bytes block(384, 0);
  std::copy(edge.begin(), edge.end(), block.begin());
  const PolyVec e = PolyVec::from_bytes(block, 1);
  EXPECT_EQ(e[0].c[0], 0);
  EXPECT_EQ(e[0].c[1], 3328);

  // Round trip is the identity on canonical input; extra bytes are ignored.
  std::mt19937 rng(11);
  PolyVec r = PolyVec::zero(4);
  for (size_t i = 0; i < 4; ++i) r[i] = random_poly(rng);
  core::Bytes rb(384 * 4 + 5, 0x77);
  r.to_bytes(core::MutableBytes(rb).first(384 * 4));
  const PolyVec back = PolyVec::from_bytes(rb, 4);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(back[i], r[i]);
}

TEST(MlKemEncoding, DBitPackingFollowsTheBitStream) {
  Poly f;
  for (size_t i = 0; i < 256; ++i) f.c[i] = static_cast<uint16_t>(i + 1);
  core::Bytes out4(128);
  f.encode_d(out4, 4);
  EXPECT_EQ(out4[0], 0x21);
  for (unsigned d : {1u, 4u, 5u, 10u, 11u}) {
    SCOPED_TRACE(d);
    std::mt19937 rng(d);
    Poly g;
    for (auto& v : g.c) v = static_cast<uint16_t>(rng() & ((1u << d) - 1));
    core::Bytes out(32 * d);
    g.encode_d(out, d);
    // Reference: stream bit i*d + b holds bit b of coefficient i.
    for (size_t i = 0; i < 256; ++i)
      for (unsigned b = 0; b < d; ++b) {
        const size_t bit = i * d + b;
        ASSERT_EQ((out[bit / 8] >> (bit % 8)) & 1, (g.c[i] >> b) & 1);
      }
    EXPECT_EQ(Poly::decode_d(out, d), g);
  }
}

TEST(MlKemCompress, EveryWidthAndValueMatchesRounding) {
  for (unsigned d = 1; d <= 15; ++d) {
    for (uint32_t x = 0; x < kQ; ++x) {
      // round(2^d x / q) mod 2^d, with exact rational rounding (ties up).
      const uint64_t num = (uint64_t{x} << d) * 2 + kQ;
      const uint32_t expected = static_cast<uint32_t>(num / (2 * kQ)) & ((1u << d) - 1);
      ASSERT_EQ(core::mlkem::compress_d(static_cast<uint16_t>(x), d), expected)
          << "d=" << d << " x=" << x;
    }
    if (d > 11) continue;
    for (uint32_t y = 0; y < (1u << d); ++y) {
      const uint64_t num = uint64_t{kQ} * y * 2 + (1u << d);
      const uint32_t expected = static_cast<uint32_t>(num / (2u << d));
      ASSERT_EQ(core::mlkem::decompress_d(static_cast<uint16_t>(y), d), expected)
          << "d=" << d << " y=" << y;
    }
  }
  EXPECT_EQ(core::mlkem::compress_d(3328, 10), 0);
  EXPECT_EQ(core::mlkem::compress_d(3328, 11), 2047);
  EXPECT_EQ(core::mlkem::compress_d(3328, 4), 0);
  EXPECT_EQ(core::mlkem::compress_d(3328, 5), 0);
  EXPECT_EQ(core::mlkem::decompress_d(1023, 10), 3326);
  EXPECT_EQ(core::mlkem::decompress_d(2047, 11), 3327);
  EXPECT_EQ(core::mlkem::decompress_d(15, 4), 3121);
  EXPECT_EQ(core::mlkem::decompress_d(31, 5), 3225);
}

TEST(MlKemCompress, MessageForms) {
  for (uint32_t w = 0; w < kQ; ++w)
    ASSERT_EQ(core::mlkem::message_bit(static_cast<uint16_t>(w)), core::mlkem::compress_d(w, 1));
  EXPECT_EQ(core::mlkem::message_bit(832), 0);
  EXPECT_EQ(core::mlkem::message_bit(833), 1);
  EXPECT_EQ(core::mlkem::message_bit(2496), 1);
  EXPECT_EQ(core::mlkem::message_bit(2497), 0);
  EXPECT_EQ(core::mlkem::message_bit(3328), 0);

  std::array<uint8_t, 32> m{};
  m[0] = 0x81;  // bits 0 and 7
  m[31] = 0x80;  // bit 255
  Poly mu;
  core::mlkem::add_message(mu, m);
  for (size_t i = 0; i < 256; ++i)
    EXPECT_EQ(mu.c[i], (i == 0 || i == 7 || i == 255) ? 1665 : 0) << i;
  std::array<uint8_t, 32> back{};
  core::mlkem::message_from_poly(back, mu);
  EXPECT_EQ(back, m);
}

}  // namespace
