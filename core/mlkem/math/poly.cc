#include "core/mlkem/math/poly.h"

#include <algorithm>

#include "core/mlkem/math/ntt.h"
#include "core/result.h"

namespace core::mlkem {

namespace {

// kGammas[2j] = zeta_{64+j} and kGammas[2j+1] = q - zeta_{64+j}: the moduli
// X^2 - zeta^(2 BitRev7(i) + 1) of FIPS 203, Algorithm 11, for i = 0..127.
struct Gammas {
  std::array<uint16_t, 128> g{};
};
Gammas make_gammas() {
  Gammas t;
  for (size_t j = 0; j < 64; ++j) {
    const uint16_t z = field_from_u16(kZetas[64 + j]);
    t.g[2 * j] = z;
    t.g[2 * j + 1] = z == 0 ? 0 : static_cast<uint16_t>(kQ - z);
  }
  return t;
}
const Gammas kGammas = make_gammas();

}  // namespace

Poly Poly::add(const Poly& a, const Poly& b) noexcept {
  Poly r;
  for (size_t i = 0; i < kN; ++i) r.c[i] = field_add(a.c[i], b.c[i]);
  return r;
}

Poly Poly::sub(const Poly& a, const Poly& b) noexcept {
  Poly r;
  for (size_t i = 0; i < kN; ++i) r.c[i] = field_sub(a.c[i], b.c[i]);
  return r;
}

void Poly::add_assign(const Poly& b) noexcept {
  for (size_t i = 0; i < kN; ++i) c[i] = field_add(c[i], b.c[i]);
}

Pair basecase_multiply(Pair a, Pair b, uint16_t gamma) noexcept {
  const uint16_t c0 = field_add(field_mul(field_mul(a.c1, b.c1), gamma), field_mul(a.c0, b.c0));
  const uint16_t c1 = field_add(field_mul(a.c0, b.c1), field_mul(a.c1, b.c0));
  return {c0, c1};
}

// Secret data: a, b (and acc). No branch or index depends on them.
void multiply_ntts_acc(Poly& acc, const Poly& a, const Poly& b) noexcept {
  for (size_t i = 0; i < 128; ++i) {
    const Pair r = basecase_multiply({a.c[2 * i], a.c[2 * i + 1]}, {b.c[2 * i], b.c[2 * i + 1]},
                                     kGammas.g[i]);
    acc.c[2 * i] = field_add(acc.c[2 * i], r.c0);
    acc.c[2 * i + 1] = field_add(acc.c[2 * i + 1], r.c1);
  }
}

Poly multiply_ntts(const Poly& a, const Poly& b) noexcept {
  Poly r;
  multiply_ntts_acc(r, a, b);
  return r;
}

// Bit packing: a 64-bit accumulator collects d-bit fields, least significant
// first, and emits whole bytes. Secret data: the coefficients (the dk_pke and
// message paths); the loop shape depends on d only.
void Poly::encode_d(MutableBytes out, unsigned d) const {
  CORE_CHECK(d >= 1 && d <= 12 && out.size() == 32 * size_t{d}, "encode_d: bad width or size");
  const uint32_t mask = (uint32_t{1} << d) - 1;
  uint64_t acc = 0;
  unsigned bits = 0;
  size_t o = 0;
  for (size_t i = 0; i < kN; ++i) {
    acc |= uint64_t{c[i] & mask} << bits;
    bits += d;
    while (bits >= 8) {
      out[o++] = static_cast<uint8_t>(acc);
      acc >>= 8;
      bits -= 8;
    }
  }
}

Poly Poly::decode_d(ByteView in, unsigned d) {
  CORE_CHECK(d >= 1 && d <= 11 && in.size() == 32 * size_t{d}, "decode_d: bad width or size");
  const uint32_t mask = (uint32_t{1} << d) - 1;
  Poly r;
  uint64_t acc = 0;
  unsigned bits = 0;
  size_t o = 0;
  for (size_t i = 0; i < kN; ++i) {
    while (bits < d) {
      acc |= uint64_t{in[o++]} << bits;
      bits += 8;
    }
    r.c[i] = static_cast<uint16_t>(acc & mask);  // below 2^11 < q
    acc >>= d;
    bits -= d;
  }
  return r;
}

PolyVec PolyVec::zero(size_t k) {
  CORE_CHECK(k <= kMaxK, "PolyVec: k above 4");
  PolyVec v;
  v.k = k;
  return v;
}

// Three bytes per pair of 12-bit coefficients (ByteEncode_12).
void PolyVec::to_bytes(MutableBytes out) const {
  CORE_CHECK(out.size() == 384 * k, "PolyVec::to_bytes: bad size");
  uint8_t* o = out.data();
  for (size_t n = 0; n < k; ++n) {
    const Poly& f = p[n];
    for (size_t i = 0; i < 128; ++i) {
      const uint16_t c0 = f.c[2 * i], c1 = f.c[2 * i + 1];
      o[0] = static_cast<uint8_t>(c0);
      o[1] = static_cast<uint8_t>((c1 << 4) | (c0 >> 8));
      o[2] = static_cast<uint8_t>(c1 >> 4);
      o += 3;
    }
  }
}

// ByteDecode_12 with the reduction of values q..4095 done by cond_sub_q
// (a 12-bit value is below 2q), without branching on the (secret) bytes.
PolyVec PolyVec::from_bytes(ByteView in, size_t k) {
  CORE_CHECK(k <= kMaxK && in.size() >= 384 * k, "PolyVec::from_bytes: bad size");
  PolyVec v = zero(k);
  const uint8_t* b = in.data();
  for (size_t n = 0; n < k; ++n) {
    Poly& f = v.p[n];
    for (size_t i = 0; i < 128; ++i) {
      const uint16_t d1 = static_cast<uint16_t>(b[0] | ((b[1] & 0x0F) << 8));
      const uint16_t d2 = static_cast<uint16_t>((b[1] >> 4) | (b[2] << 4));
      f.c[2 * i] = cond_sub_q(d1);
      f.c[2 * i + 1] = cond_sub_q(d2);
      b += 3;
    }
  }
  return v;
}

Poly PolyVec::inner_product_ntt(const PolyVec& a, const PolyVec& b) noexcept {
  Poly acc;
  const size_t n = std::min(a.k, b.k);
  for (size_t i = 0; i < n; ++i) multiply_ntts_acc(acc, a.p[i], b.p[i]);
  return acc;
}

}  // namespace core::mlkem
