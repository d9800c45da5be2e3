#include "core/mlkem/math/ntt.h"

#include "core/mlkem/math/poly.h"
#include "core/mlkem/math/vec16.h"
#include "core/mlkem/math/vec256.h"

namespace core::mlkem {

// kZetas[i] = 17^BitRev7(i) mod 3329 (FIPS 203, Appendix A; same order).
constexpr std::array<uint16_t, 128> kZetas = {
    1,    1729, 2580, 3289, 2642, 630,  1897, 848,  1062, 1919, 193,  797,  2786, 3260, 569,
    1746, 296,  2447, 1339, 1476, 3046, 56,   2240, 1333, 1426, 2094, 535,  2882, 2393, 2879,
    1974, 821,  289,  331,  3253, 1756, 1197, 2304, 2277, 2055, 650,  1977, 2513, 632,  2865,
    33,   1320, 1915, 2319, 1435, 807,  452,  1438, 2868, 1534, 2402, 2647, 2617, 1481, 648,
    2474, 3110, 1227, 910,  17,   2761, 583,  2649, 1637, 723,  2288, 1100, 1409, 2662, 3281,
    233,  756,  2156, 3015, 3050, 1703, 1651, 2789, 1789, 1847, 952,  1461, 2687, 939,  2308,
    2437, 2388, 733,  2337, 268,  641,  1584, 2298, 2037, 3220, 375,  2549, 2090, 1645, 1063,
    319,  2773, 757,  2099, 561,  2466, 2594, 2804, 1092, 403,  1026, 1143, 2150, 2775, 886,
    1722, 1212, 1874, 1029, 2110, 2935, 885,  2154};

namespace {

// A public multiplier w with its companion w' = floor(w * 2^16 / q), so that
// mul_const(b, w) needs only 16-bit products: t = (b * w') >> 16 is floor(b*w/q)
// or one less (b < 2^12 keeps the error of w' below 1/16), hence
// b*w - t*q lies in [0, 2q) and is exact modulo 2^16. The result equals
// field_mul(b, w) for every canonical b; no step depends on the value of b.
struct Twiddle {
  uint16_t w, w_shoup;
};

constexpr Twiddle twiddle(uint16_t w) {
  return {w, static_cast<uint16_t>((uint32_t{w} << 16) / kQ)};
}

[[maybe_unused]] inline uint16_t mul_const(uint16_t b, uint16_t w, uint16_t w_shoup) noexcept {
  const uint16_t t = static_cast<uint16_t>((uint32_t{b} * w_shoup) >> 16);
  const uint16_t r = static_cast<uint16_t>(b * w - t * kQ);  // in [0, 2q)
  return cond_sub_q(r);
}

struct Tables {
  // forward[k] for k = 1..127: zeta_k as read by Algorithm 9.
  std::array<Twiddle, 128> forward{};
  // inverse[i] for i = 127..1: the negated twiddle q - zeta_i, so that
  // (a - b) * (q - zeta) = zeta * (b - a) as Algorithm 10 requires.
  std::array<Twiddle, 128> inverse{};
  // The twiddles of the layers with len 4 and 2 repeated once per lane
  // (4 and 2 times), in block order, for the eight-lane path.
  alignas(16) std::array<uint16_t, 128> fwd4_w{}, fwd4_s{}, fwd2_w{}, fwd2_s{};
  alignas(16) std::array<uint16_t, 128> inv4_w{}, inv4_s{}, inv2_w{}, inv2_s{};
};

constexpr Tables make_tables() {
  Tables t;
  for (size_t i = 0; i < 128; ++i) {
    const uint16_t z = kZetas[i] % kQ;
    t.forward[i] = twiddle(z);
    t.inverse[i] = twiddle(z == 0 ? 0 : static_cast<uint16_t>(kQ - z));
  }
  // Layer len: nb = 128 / len blocks; block b uses forward[nb + b] and
  // inverse[2 nb - 1 - b].
  for (size_t lane = 0; lane < 128; ++lane) {
    const size_t b4 = lane / 4, b2 = lane / 2;
    t.fwd4_w[lane] = t.forward[32 + b4].w;
    t.fwd4_s[lane] = t.forward[32 + b4].w_shoup;
    t.fwd2_w[lane] = t.forward[64 + b2].w;
    t.fwd2_s[lane] = t.forward[64 + b2].w_shoup;
    t.inv4_w[lane] = t.inverse[63 - b4].w;
    t.inv4_s[lane] = t.inverse[63 - b4].w_shoup;
    t.inv2_w[lane] = t.inverse[127 - b2].w;
    t.inv2_s[lane] = t.inverse[127 - b2].w_shoup;
  }
  return t;
}

constexpr Tables kTables = make_tables();

constexpr Twiddle kInvN = twiddle(3303);  // 128^-1 mod q

}  // namespace

#if defined(TARNEL_MLKEM_SSE2)

// Eight lanes at a time. Layers with len >= 8 pair contiguous runs; the
// layers with len 4 and 2 regroup 16 coefficients with unpacks so that the
// eight "a" and the eight "b" operands each fill one register. Secret data: f.
namespace {

inline void split4(v16::V v0, v16::V v1, v16::V& a, v16::V& b) {
  a = _mm_unpacklo_epi64(v0, v1);
  b = _mm_unpackhi_epi64(v0, v1);
}
inline void join4(v16::V a, v16::V b, v16::V& v0, v16::V& v1) {
  v0 = _mm_unpacklo_epi64(a, b);
  v1 = _mm_unpackhi_epi64(a, b);
}
inline void split2(v16::V v0, v16::V v1, v16::V& a, v16::V& b) {
  const v16::V t0 = _mm_unpacklo_epi32(v0, v1), t1 = _mm_unpackhi_epi32(v0, v1);
  a = _mm_unpacklo_epi32(t0, t1);
  b = _mm_unpackhi_epi32(t0, t1);
}
inline void join2(v16::V a, v16::V b, v16::V& v0, v16::V& v1) {
  v0 = _mm_unpacklo_epi32(a, b);
  v1 = _mm_unpackhi_epi32(a, b);
}

inline void fwd_butterfly(v16::V& a, v16::V& b, v16::V w, v16::V ws) {
  const v16::V t = v16::mul_const(b, w, ws);
  b = v16::sub(a, t);
  a = v16::add(a, t);
}
inline void inv_butterfly(v16::V& a, v16::V& b, v16::V w, v16::V ws) {
  const v16::V sum = v16::add(a, b);
  b = v16::mul_const(v16::sub(a, b), w, ws);
  a = sum;
}

using Butterfly = void (*)(v16::V&, v16::V&, v16::V, v16::V);
using Regroup = void (*)(v16::V, v16::V, v16::V&, v16::V&);

// A layer with len >= 8: block b pairs c[start..start+len) with the next len
// coefficients, all under the one twiddle tw(b).
template <Butterfly B, class TwiddleOf>
inline void wide_layer(uint16_t* c, size_t len, TwiddleOf tw) {
  for (size_t start = 0, block = 0; start < kN; start += 2 * len, ++block) {
    const Twiddle z = tw(block);
    const v16::V w = v16::splat(z.w), ws = v16::splat(z.w_shoup);
    for (size_t j = start; j < start + len; j += 8) {
      v16::V a = v16::load(c + j), b = v16::load(c + j + len);
      B(a, b, w, ws);
      v16::store(c + j, a);
      v16::store(c + j + len, b);
    }
  }
}

// A layer with len 4 or 2: each 16 coefficients are regrouped into the eight
// "a" and eight "b" operands, with one twiddle per lane (w, ws: the lane tables).
template <Butterfly B, Regroup Split, Regroup Join>
inline void narrow_layer(uint16_t* c, const uint16_t* w, const uint16_t* ws) {
  for (size_t s = 0; s < kN; s += 16) {
    v16::V a, b;
    Split(v16::load(c + s), v16::load(c + s + 8), a, b);
    B(a, b, v16::load(w + s / 2), v16::load(ws + s / 2));
    v16::V v0, v1;
    Join(a, b, v0, v1);
    v16::store(c + s, v0);
    v16::store(c + s + 8, v1);
  }
}

void ntt_sse2(uint16_t* c) noexcept {
  size_t k = 1;
  for (size_t len = 128; len >= 8; len /= 2) {
    wide_layer<fwd_butterfly>(c, len, [&](size_t block) { return kTables.forward[k + block]; });
    k += kN / (2 * len);
  }
  narrow_layer<fwd_butterfly, split4, join4>(c, kTables.fwd4_w.data(), kTables.fwd4_s.data());
  narrow_layer<fwd_butterfly, split2, join2>(c, kTables.fwd2_w.data(), kTables.fwd2_s.data());
}

void ntt_inverse_sse2(uint16_t* c) noexcept {
  narrow_layer<inv_butterfly, split2, join2>(c, kTables.inv2_w.data(), kTables.inv2_s.data());
  narrow_layer<inv_butterfly, split4, join4>(c, kTables.inv4_w.data(), kTables.inv4_s.data());
  size_t i = 31;
  for (size_t len = 8; len <= 128; len *= 2) {
    wide_layer<inv_butterfly>(c, len, [&](size_t block) { return kTables.inverse[i - block]; });
    i -= kN / (2 * len);
  }
  const v16::V w = v16::splat(kInvN.w), ws = v16::splat(kInvN.w_shoup);
  for (size_t j = 0; j < kN; j += 8) v16::store(c + j, v16::mul_const(v16::load(c + j), w, ws));
}

}  // namespace

#if defined(TARNEL_MLKEM_AVX2)

// Sixteen lanes at a time, on the same plan: layers with len >= 16 pair
// contiguous runs; the layers with len 8, 4 and 2 regroup 32 coefficients
// (two registers) into the sixteen "a" and sixteen "b" operands, with
// permutations that work within each 128-bit half for len 4 and 2. The
// per-lane twiddle tables of those layers are derived once by running the
// same regrouping over coefficient indices. Secret data: the coefficients.
TARNEL_AVX2_BEGIN
namespace {
namespace avx2 {

using v256::V;

inline void split8(V v0, V v1, V& a, V& b) {
  a = _mm256_permute2x128_si256(v0, v1, 0x20);
  b = _mm256_permute2x128_si256(v0, v1, 0x31);
}
inline void split4(V v0, V v1, V& a, V& b) {
  a = _mm256_unpacklo_epi64(v0, v1);
  b = _mm256_unpackhi_epi64(v0, v1);
}
inline void split2(V v0, V v1, V& a, V& b) {
  const V t0 = _mm256_unpacklo_epi32(v0, v1), t1 = _mm256_unpackhi_epi32(v0, v1);
  a = _mm256_unpacklo_epi32(t0, t1);
  b = _mm256_unpackhi_epi32(t0, t1);
}
inline void join2(V a, V b, V& v0, V& v1) {
  v0 = _mm256_unpacklo_epi32(a, b);
  v1 = _mm256_unpackhi_epi32(a, b);
}
// split8 and split4 are their own inverses.

// The forward transform reduces lazily: with t = b * w mod q left in
// [0, 2q) (mul_const without its last correction), a + t and a - t + 2q stay
// non-negative and grow by 2q per layer, from [0, q) to [0, 15q) after the
// seven layers, below 2^16: every lane stays an exact unsigned 16-bit value,
// which is all the Shoup product needs of b. The last layer reduces its
// outputs to canonical values (reduce_lazy), so the result is that of the
// scalar path exactly.
inline V mul_const_lazy(V b, V w, V ws) {
  const V t = _mm256_mulhi_epu16(b, ws);
  return _mm256_sub_epi16(_mm256_mullo_epi16(b, w), _mm256_mullo_epi16(t, v256::splat(kQ)));
}
// x in [0, 15q) to x mod q: the quotient estimate floor(19 x / 2^16)
// (19 = floor(2^16 / q)) is at most 0.53 below x / q for such x, so
// x - t q lies in [0, 2q), and one conditional subtraction finishes.
inline V reduce_lazy(V x) {
  const V t = _mm256_mulhi_epu16(x, v256::splat(19));
  return v256::cond_sub_q(_mm256_sub_epi16(x, _mm256_mullo_epi16(t, v256::splat(kQ))));
}
inline void fwd_butterfly_lazy(V& a, V& b, V w, V ws) {
  const V t = mul_const_lazy(b, w, ws);
  b = _mm256_add_epi16(_mm256_sub_epi16(a, t), v256::splat(2 * kQ));
  a = _mm256_add_epi16(a, t);
}
inline void fwd_butterfly_last(V& a, V& b, V w, V ws) {
  fwd_butterfly_lazy(a, b, w, ws);
  a = reduce_lazy(a);
  b = reduce_lazy(b);
}

// The inverse transform keeps every value in [0, 2q) between layers: the
// sum (below 4q) is brought back by x - floor(19 x / 2^16) q (the estimate is
// less than 0.14 below x / q there), the difference a - b + 2q (in (0, 4q))
// goes through the lazy product. The final scaling by 1/128 is the full
// product, which leaves canonical values.
inline void inv_butterfly_lazy(V& a, V& b, V w, V ws) {
  const V sum = _mm256_add_epi16(a, b);
  const V diff = _mm256_add_epi16(_mm256_sub_epi16(a, b), v256::splat(2 * kQ));
  const V t = _mm256_mulhi_epu16(sum, v256::splat(19));
  a = _mm256_sub_epi16(sum, _mm256_mullo_epi16(t, v256::splat(kQ)));
  b = mul_const_lazy(diff, w, ws);
}

using Butterfly = void (*)(V&, V&, V, V);
using Regroup = void (*)(V, V, V&, V&);

// Lane twiddles of one narrow layer: 128 (w, w_shoup), in the order the
// regrouped "a" lanes take the blocks.
struct LaneTwiddles {
  alignas(32) std::array<uint16_t, 128> w{}, s{};
};
struct NarrowTables {
  LaneTwiddles fwd8, fwd4, fwd2, inv8, inv4, inv2;
};

template <Regroup Split>
LaneTwiddles lane_twiddles(size_t len, bool inverse) {
  LaneTwiddles t;
  const size_t nb = kN / (2 * len);
  for (size_t st = 0; st < kN; st += 32) {
    alignas(32) uint16_t idx[32], lanes[16];
    for (size_t i = 0; i < 32; ++i) idx[i] = static_cast<uint16_t>(st + i);
    V a, b;
    Split(v256::load(idx), v256::load(idx + 16), a, b);
    v256::store(lanes, a);
    for (size_t l = 0; l < 16; ++l) {
      const size_t block = lanes[l] / (2 * len);
      const Twiddle z = inverse ? kTables.inverse[2 * nb - 1 - block] : kTables.forward[nb + block];
      t.w[st / 2 + l] = z.w;
      t.s[st / 2 + l] = z.w_shoup;
    }
  }
  return t;
}

const NarrowTables& narrow_tables() {
  static const NarrowTables t{
      lane_twiddles<split8>(8, false), lane_twiddles<split4>(4, false),
      lane_twiddles<split2>(2, false), lane_twiddles<split8>(8, true),
      lane_twiddles<split4>(4, true),  lane_twiddles<split2>(2, true)};
  return t;
}

// A layer with len >= 16; block b uses tw[b] (forward) or tw[-b] (inverse).
template <Butterfly B>
inline void wide_layer(uint16_t* c, size_t len, const Twiddle* tw, ptrdiff_t step) {
  for (size_t start = 0; start < kN; start += 2 * len, tw += step) {
    const V w = v256::splat(tw->w), ws = v256::splat(tw->w_shoup);
    for (size_t j = start; j < start + len; j += 16) {
      V a = v256::load(c + j), b = v256::load(c + j + len);
      B(a, b, w, ws);
      v256::store(c + j, a);
      v256::store(c + j + len, b);
    }
  }
}

template <Butterfly B, Regroup Split, Regroup Join>
inline void narrow_layer(uint16_t* c, const LaneTwiddles& t) {
  for (size_t s = 0; s < kN; s += 32) {
    V a, b;
    Split(v256::load(c + s), v256::load(c + s + 16), a, b);
    B(a, b, v256::load(t.w.data() + s / 2), v256::load(t.s.data() + s / 2));
    V v0, v1;
    Join(a, b, v0, v1);
    v256::store(c + s, v0);
    v256::store(c + s + 16, v1);
  }
}

void ntt(uint16_t* c) noexcept {
  const NarrowTables& nt = narrow_tables();
  size_t k = 1;
  for (size_t len = 128; len >= 16; len /= 2) {
    wide_layer<fwd_butterfly_lazy>(c, len, &kTables.forward[k], 1);
    k += kN / (2 * len);
  }
  narrow_layer<fwd_butterfly_lazy, split8, split8>(c, nt.fwd8);
  narrow_layer<fwd_butterfly_lazy, split4, split4>(c, nt.fwd4);
  narrow_layer<fwd_butterfly_last, split2, join2>(c, nt.fwd2);
}

void ntt_inverse(uint16_t* c) noexcept {
  const NarrowTables& nt = narrow_tables();
  narrow_layer<inv_butterfly_lazy, split2, join2>(c, nt.inv2);
  narrow_layer<inv_butterfly_lazy, split4, split4>(c, nt.inv4);
  narrow_layer<inv_butterfly_lazy, split8, split8>(c, nt.inv8);
  size_t i = 15;
  for (size_t len = 16; len <= 128; len *= 2) {
    wide_layer<inv_butterfly_lazy>(c, len, &kTables.inverse[i], -1);
    i -= kN / (2 * len);
  }
  const V w = v256::splat(kInvN.w), ws = v256::splat(kInvN.w_shoup);
  for (size_t j = 0; j < kN; j += 16) v256::store(c + j, v256::mul_const(v256::load(c + j), w, ws));
}

}  // namespace avx2
}  // namespace
TARNEL_AVX2_END

#endif  // TARNEL_MLKEM_AVX2

void ntt(Poly& f) noexcept {
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active()) return avx2::ntt(f.c.data());
#endif
  ntt_sse2(f.c.data());
}

void ntt_inverse(Poly& f) noexcept {
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active()) return avx2::ntt_inverse(f.c.data());
#endif
  ntt_inverse_sse2(f.c.data());
}

#else  // portable form

// Secret data: f. Loop bounds and table indices depend only on the layer.
void ntt(Poly& f) noexcept {
  uint16_t* c = f.c.data();
  size_t k = 1;
  for (size_t len = 128; len >= 2; len /= 2) {
    for (size_t start = 0; start < kN; start += 2 * len) {
      const Twiddle z = kTables.forward[k++];
      for (size_t j = start; j < start + len; ++j) {
        const uint16_t t = mul_const(c[j + len], z.w, z.w_shoup);
        c[j + len] = field_sub(c[j], t);
        c[j] = field_add(c[j], t);
      }
    }
  }
}

// Secret data: f. Loop bounds and table indices depend only on the layer.
void ntt_inverse(Poly& f) noexcept {
  uint16_t* c = f.c.data();
  size_t i = 127;
  for (size_t len = 2; len <= 128; len *= 2) {
    for (size_t start = 0; start < kN; start += 2 * len) {
      const Twiddle n = kTables.inverse[i--];
      for (size_t j = start; j < start + len; ++j) {
        const uint16_t a = c[j];
        const uint16_t b = c[j + len];
        c[j] = field_add(a, b);
        c[j + len] = mul_const(field_sub(a, b), n.w, n.w_shoup);
      }
    }
  }
  for (size_t j = 0; j < kN; ++j) c[j] = mul_const(c[j], kInvN.w, kInvN.w_shoup);
}

#endif

}  // namespace core::mlkem
