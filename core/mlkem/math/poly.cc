#include "core/mlkem/math/poly.h"

#include <algorithm>
#include <utility>

#include "core/mlkem/math/compress.h"
#include "core/mlkem/math/ntt.h"
#include "core/mlkem/math/vec16.h"
#include "core/mlkem/math/vec256.h"
#include "core/result.h"

namespace core::mlkem {

namespace {

// kGammas[2j] = zeta_{64+j} and kGammas[2j+1] = q - zeta_{64+j}: the moduli
// X^2 - zeta^(2 BitRev7(i) + 1) of FIPS 203, Algorithm 11, for i = 0..127.
// kGammas.g_mont[i] = kGammas.g[i] * 2^16 mod q, for the Montgomery path.
// kGammas.g_mont16 is g_mont in the order the sixteen-lane path reads the
// pairs: within each run of 16 pairs, 0-3, 8-11, 4-7, 12-15 (its packing
// works within each 128-bit half).
struct Gammas {
  alignas(16) std::array<uint16_t, 128> g{};
  alignas(16) std::array<uint16_t, 128> g_mont{};
  alignas(32) std::array<uint16_t, 128> g_mont16{};
};
Gammas make_gammas() {
  Gammas t;
  for (size_t j = 0; j < 64; ++j) {
    const uint16_t z = field_from_u16(kZetas[64 + j]);
    t.g[2 * j] = z;
    t.g[2 * j + 1] = z == 0 ? 0 : static_cast<uint16_t>(kQ - z);
  }
  for (size_t i = 0; i < 128; ++i)
    t.g_mont[i] = static_cast<uint16_t>((uint32_t{t.g[i]} << 16) % kQ);
  constexpr size_t kOrder[16] = {0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15};
  for (size_t i = 0; i < 128; ++i) t.g_mont16[i] = t.g_mont[(i & ~size_t{15}) + kOrder[i % 16]];
  return t;
}
const Gammas kGammas = make_gammas();

}  // namespace

#if defined(TARNEL_MLKEM_AVX2)
TARNEL_AVX2_BEGIN
namespace {
void add_assign_avx2(uint16_t* c, const uint16_t* b) noexcept {
  for (size_t i = 0; i < kN; i += 16) v256::store(c + i, v256::add(v256::load(c + i), v256::load(b + i)));
}
void sub_assign_avx2(uint16_t* c, const uint16_t* b) noexcept {
  for (size_t i = 0; i < kN; i += 16) v256::store(c + i, v256::sub(v256::load(c + i), v256::load(b + i)));
}
}  // namespace
TARNEL_AVX2_END
#endif

void Poly::add_assign(const Poly& b) noexcept {
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active()) return add_assign_avx2(c.data(), b.c.data());
#endif
  for (size_t i = 0; i < kN; ++i) c[i] = field_add(c[i], b.c[i]);
}

void Poly::sub_assign(const Poly& b) noexcept {
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active()) return sub_assign_avx2(c.data(), b.c.data());
#endif
  for (size_t i = 0; i < kN; ++i) c[i] = field_sub(c[i], b.c[i]);
}

Pair basecase_multiply(Pair a, Pair b, uint16_t gamma) noexcept {
  const uint16_t c0 = field_add(field_mul(field_mul(a.c1, b.c1), gamma), field_mul(a.c0, b.c0));
  const uint16_t c1 = field_add(field_mul(a.c0, b.c1), field_mul(a.c1, b.c0));
  return {c0, c1};
}

#if defined(TARNEL_MLKEM_SSE2)

// Eight pairs at a time, with Montgomery products (factor 2^-16) that the
// final multiplication by 2^32 mod q = 1353 removes; see v16::mont_mul.
// Bounds: each mont_mul output is in (-q, q), the sums in (-2q, 2q), and
// 2q * 1353 < q * 2^15, so the last product is again in (-q, q); the result
// is then made canonical and equals the scalar path exactly.
// Secret data: a, b (and acc). No branch or index depends on them.
namespace {
void multiply_ntts_acc_sse2(Poly& acc, const Poly& a, const Poly& b) noexcept {
  const v16::V low16 = _mm_set1_epi32(0xFFFF);
  const v16::V r2 = v16::splat(1353);
  // Deinterleave four pairs from each of two registers into even and odd
  // lanes (all values are below 2^15, so signed packing is exact).
  auto evens = [&](v16::V v0, v16::V v1) {
    return _mm_packs_epi32(_mm_and_si128(v0, low16), _mm_and_si128(v1, low16));
  };
  auto odds = [](v16::V v0, v16::V v1) {
    return _mm_packs_epi32(_mm_srli_epi32(v0, 16), _mm_srli_epi32(v1, 16));
  };
  for (size_t i = 0; i < kN; i += 16) {
    const v16::V a_lo = v16::load(&a.c[i]), a_hi = v16::load(&a.c[i + 8]);
    const v16::V b_lo = v16::load(&b.c[i]), b_hi = v16::load(&b.c[i + 8]);
    const v16::V a0 = evens(a_lo, a_hi), a1 = odds(a_lo, a_hi);
    const v16::V b0 = evens(b_lo, b_hi), b1 = odds(b_lo, b_hi);
    const v16::V gamma = v16::load(&kGammas.g_mont[i / 2]);
    const v16::V c0 = _mm_add_epi16(v16::mont_mul(a0, b0),
                                    v16::mont_mul(v16::mont_mul(a1, b1), gamma));
    const v16::V c1 = _mm_add_epi16(v16::mont_mul(a0, b1), v16::mont_mul(a1, b0));
    const v16::V r0 = v16::add_q_if_negative(v16::mont_mul(c0, r2));
    const v16::V r1 = v16::add_q_if_negative(v16::mont_mul(c1, r2));
    v16::store(&acc.c[i], v16::add(v16::load(&acc.c[i]), _mm_unpacklo_epi16(r0, r1)));
    v16::store(&acc.c[i + 8], v16::add(v16::load(&acc.c[i + 8]), _mm_unpackhi_epi16(r0, r1)));
  }
}
}  // namespace

#if defined(TARNEL_MLKEM_AVX2)
// The same computation on sixteen pairs at a time. The packing and the
// interleaving both work within each 128-bit half, so the interleaved results
// land back in coefficient order; only the gammas are read in the permuted
// order of g_mont16.
TARNEL_AVX2_BEGIN
namespace {
void multiply_ntts_acc_avx2(Poly& acc, const Poly& a, const Poly& b) noexcept {
  using v256::V;
  const V low16 = _mm256_set1_epi32(0xFFFF);
  const V r2 = v256::splat(1353);
  for (size_t i = 0; i < kN; i += 32) {
    const V a_lo = v256::load(&a.c[i]), a_hi = v256::load(&a.c[i + 16]);
    const V b_lo = v256::load(&b.c[i]), b_hi = v256::load(&b.c[i + 16]);
    const V a0 = _mm256_packs_epi32(_mm256_and_si256(a_lo, low16), _mm256_and_si256(a_hi, low16));
    const V a1 = _mm256_packs_epi32(_mm256_srli_epi32(a_lo, 16), _mm256_srli_epi32(a_hi, 16));
    const V b0 = _mm256_packs_epi32(_mm256_and_si256(b_lo, low16), _mm256_and_si256(b_hi, low16));
    const V b1 = _mm256_packs_epi32(_mm256_srli_epi32(b_lo, 16), _mm256_srli_epi32(b_hi, 16));
    const V gamma = v256::load(&kGammas.g_mont16[i / 2]);
    const V c0 = _mm256_add_epi16(v256::mont_mul(a0, b0),
                                  v256::mont_mul(v256::mont_mul(a1, b1), gamma));
    const V c1 = _mm256_add_epi16(v256::mont_mul(a0, b1), v256::mont_mul(a1, b0));
    const V r0 = v256::add_q_if_negative(v256::mont_mul(c0, r2));
    const V r1 = v256::add_q_if_negative(v256::mont_mul(c1, r2));
    v256::store(&acc.c[i], v256::add(v256::load(&acc.c[i]), _mm256_unpacklo_epi16(r0, r1)));
    v256::store(&acc.c[i + 16],
                v256::add(v256::load(&acc.c[i + 16]), _mm256_unpackhi_epi16(r0, r1)));
  }
}

// The sum of n <= 4 products with one final reduction: each product term of
// c0 and c1 lies in (-2q, 2q), so the sums stay within (-8q, 8q), inside
// sixteen signed bits, and 8q * 1353 < q * 2^15 keeps the last Montgomery
// product in (-q, q) as before.
void multiply_ntts_sum_acc_avx2(Poly& acc, const Poly* a, const Poly* b, size_t n) noexcept {
  using v256::V;
  const V low16 = _mm256_set1_epi32(0xFFFF);
  const V r2 = v256::splat(1353);
  for (size_t i = 0; i < kN; i += 32) {
    const V gamma = v256::load(&kGammas.g_mont16[i / 2]);
    V c0 = _mm256_setzero_si256(), c1 = _mm256_setzero_si256();
    for (size_t j = 0; j < n; ++j) {
      const V a_lo = v256::load(&a[j].c[i]), a_hi = v256::load(&a[j].c[i + 16]);
      const V b_lo = v256::load(&b[j].c[i]), b_hi = v256::load(&b[j].c[i + 16]);
      const V a0 = _mm256_packs_epi32(_mm256_and_si256(a_lo, low16), _mm256_and_si256(a_hi, low16));
      const V a1 = _mm256_packs_epi32(_mm256_srli_epi32(a_lo, 16), _mm256_srli_epi32(a_hi, 16));
      const V b0 = _mm256_packs_epi32(_mm256_and_si256(b_lo, low16), _mm256_and_si256(b_hi, low16));
      const V b1 = _mm256_packs_epi32(_mm256_srli_epi32(b_lo, 16), _mm256_srli_epi32(b_hi, 16));
      c0 = _mm256_add_epi16(c0, _mm256_add_epi16(v256::mont_mul(a0, b0),
                                                 v256::mont_mul(v256::mont_mul(a1, b1), gamma)));
      c1 = _mm256_add_epi16(c1, _mm256_add_epi16(v256::mont_mul(a0, b1), v256::mont_mul(a1, b0)));
    }
    const V r0 = v256::add_q_if_negative(v256::mont_mul(c0, r2));
    const V r1 = v256::add_q_if_negative(v256::mont_mul(c1, r2));
    v256::store(&acc.c[i], v256::add(v256::load(&acc.c[i]), _mm256_unpacklo_epi16(r0, r1)));
    v256::store(&acc.c[i + 16],
                v256::add(v256::load(&acc.c[i + 16]), _mm256_unpackhi_epi16(r0, r1)));
  }
}
}  // namespace
TARNEL_AVX2_END
#endif

void multiply_ntts_acc(Poly& acc, const Poly& a, const Poly& b) noexcept {
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active()) return multiply_ntts_acc_avx2(acc, a, b);
#endif
  multiply_ntts_acc_sse2(acc, a, b);
}

#else  // portable form

// Secret data: a, b (and acc). No branch or index depends on them.
void multiply_ntts_acc(Poly& acc, const Poly& a, const Poly& b) noexcept {
  for (size_t i = 0; i < 128; ++i) {
    const Pair r = basecase_multiply({a.c[2 * i], a.c[2 * i + 1]}, {b.c[2 * i], b.c[2 * i + 1]},
                                     kGammas.g[i]);
    acc.c[2 * i] = field_add(acc.c[2 * i], r.c0);
    acc.c[2 * i + 1] = field_add(acc.c[2 * i + 1], r.c1);
  }
}

#endif

void multiply_ntts_sum_acc(Poly& acc, const Poly* a, const Poly* b, size_t n) {
  CORE_CHECK(n <= kMaxK, "multiply_ntts_sum_acc: more than four terms");
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active()) return multiply_ntts_sum_acc_avx2(acc, a, b, n);
#endif
  for (size_t j = 0; j < n; ++j) multiply_ntts_acc(acc, a[j], b[j]);
}

Poly multiply_ntts(const Poly& a, const Poly& b) noexcept {
  Poly r;
  multiply_ntts_acc(r, a, b);
  return r;
}

// Bit packing, eight coefficients (d bytes) at a time: the fields of a block
// are assembled in one 128-bit integer, least significant first, and stored
// byte by byte. With d a template constant every shift is fixed. Secret data:
// the coefficients (the message and noise paths); the loop shape depends on d.
namespace {

using U128 = unsigned __int128;

template <unsigned D>
void encode_block(uint8_t* out, const uint16_t* in) noexcept {
  constexpr uint32_t kMask = (uint32_t{1} << D) - 1;
  U128 acc = 0;
  for (unsigned j = 0; j < 8; ++j) acc |= U128{in[j] & kMask} << (j * D);
  for (unsigned i = 0; i < D; ++i) out[i] = static_cast<uint8_t>(acc >> (8 * i));
}

template <unsigned D>
void decode_block(uint16_t* out, const uint8_t* in) noexcept {
  constexpr uint32_t kMask = (uint32_t{1} << D) - 1;
  U128 acc = 0;
  for (unsigned i = 0; i < D; ++i) acc |= U128{in[i]} << (8 * i);
  for (unsigned j = 0; j < 8; ++j) out[j] = static_cast<uint16_t>(acc >> (j * D)) & kMask;
}

template <unsigned D>
void encode_poly(uint8_t* out, const uint16_t* c) noexcept {
  for (size_t i = 0; i < kN / 8; ++i) encode_block<D>(out + D * i, c + 8 * i);
}

template <unsigned D>
void decode_poly(uint16_t* c, const uint8_t* in) noexcept {
  for (size_t i = 0; i < kN / 8; ++i) decode_block<D>(c + 8 * i, in + D * i);
}

template <size_t... Ds>
constexpr auto make_encoders(std::index_sequence<Ds...>) {
  return std::array<void (*)(uint8_t*, const uint16_t*) noexcept, sizeof...(Ds)>{
      &encode_poly<static_cast<unsigned>(Ds + 1)>...};
}
template <size_t... Ds>
constexpr auto make_decoders(std::index_sequence<Ds...>) {
  return std::array<void (*)(uint16_t*, const uint8_t*) noexcept, sizeof...(Ds)>{
      &decode_poly<static_cast<unsigned>(Ds + 1)>...};
}
// kEncoders[d - 1] packs with d bits (1 to 12); kDecoders[d - 1] unpacks (1 to 11).
constexpr auto kEncoders = make_encoders(std::make_index_sequence<12>{});
constexpr auto kDecoders = make_decoders(std::make_index_sequence<11>{});

}  // namespace

#if defined(TARNEL_MLKEM_AVX2)
// ByteEncode_d and ByteDecode_d on sixteen coefficients (2d bytes) per step.
// The 16-byte loads and stores of a step reach past its 2d bytes, so the
// steps near the end of the buffer, where that would leave it, are done by
// the scalar blocks above (the same values). Secret data: the coefficients
// and bytes; the shuffles and shifts depend on d only.
TARNEL_AVX2_BEGIN
namespace {

// Decoding: eight coefficients per register, coefficient j in 32-bit lane j,
// from bytes floor(d*j/8) .. +2 of the block (a broadcast 16-byte load),
// shifted right by (d*j) mod 8 and masked.
template <unsigned D>
struct DecodeTables {
  alignas(32) std::array<int8_t, 32> pick{};
  alignas(32) std::array<int32_t, 8> shift{};
};
template <unsigned D>
constexpr DecodeTables<D> make_decode_tables() {
  DecodeTables<D> t;
  for (unsigned j = 0; j < 8; ++j) {
    const unsigned off = D * j / 8, half = j / 4, lane = j % 4;
    for (unsigned k = 0; k < 4; ++k)
      t.pick[16 * half + 4 * lane + k] = k < 3 ? static_cast<int8_t>(off + k) : int8_t{-1};
    t.shift[j] = static_cast<int32_t>(D * j % 8);
  }
  return t;
}
template <unsigned D>
constexpr DecodeTables<D> kDecodeTables = make_decode_tables<D>();

template <unsigned D>
struct DecodeConsts {
  __m256i pick, shift, mask;
  DecodeConsts()
      : pick(_mm256_load_si256(reinterpret_cast<const __m256i*>(kDecodeTables<D>.pick.data()))),
        shift(_mm256_load_si256(reinterpret_cast<const __m256i*>(kDecodeTables<D>.shift.data()))),
        mask(_mm256_set1_epi32((1 << D) - 1)) {}
};

template <unsigned D>
inline __m256i decode8(const uint8_t* in, const DecodeConsts<D>& k) {
  const __m256i raw = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
  return _mm256_and_si256(_mm256_srlv_epi32(_mm256_shuffle_epi8(raw, k.pick), k.shift), k.mask);
}

template <unsigned D>
void decode_poly_avx2(uint16_t* c, const uint8_t* in) noexcept {
  const DecodeConsts<D> k;
  size_t blk = 0;
  for (; D * (2 * blk + 1) + 16 <= 32 * D; ++blk) {
    const __m256i a = decode8<D>(in + 2 * D * blk, k);
    const __m256i b = decode8<D>(in + 2 * D * blk + D, k);
    v256::store(c + 16 * blk, _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8));
  }
  for (size_t g = 2 * blk; g < kN / 8; ++g) decode_block<D>(c + 8 * g, in + D * g);
}

// Encoding: pairs c0 + c1 * 2^d in 32-bit lanes (madd), then quadruples of
// 4d bits in 64-bit lanes. Each 128-bit half holds eight coefficients as two
// quadruples; the second is shifted by (4d) mod 8 so that it starts on a
// byte of the output, and two byte shuffles, OR-ed, lay the d bytes out.
template <unsigned D>
struct EncodeTables {
  alignas(32) std::array<int8_t, 32> pick0{};
  alignas(32) std::array<int8_t, 32> pick1{};
};
template <unsigned D>
constexpr EncodeTables<D> make_encode_tables() {
  constexpr unsigned kSplit = 4 * D / 8, kShift = 4 * D % 8;
  constexpr unsigned kBytes0 = (4 * D + 7) / 8, kBytes1 = (4 * D + kShift + 7) / 8;
  EncodeTables<D> t;
  for (unsigned h = 0; h < 2; ++h)
    for (unsigned i = 0; i < 16; ++i) {
      t.pick0[16 * h + i] = i < kBytes0 ? static_cast<int8_t>(i) : int8_t{-1};
      t.pick1[16 * h + i] =
          i >= kSplit && i - kSplit < kBytes1 ? static_cast<int8_t>(8 + i - kSplit) : int8_t{-1};
    }
  return t;
}
template <unsigned D>
constexpr EncodeTables<D> kEncodeTables = make_encode_tables<D>();

template <unsigned D>
struct EncodeConsts {
  __m256i mask, weights, low32, shift, pick0, pick1;
  EncodeConsts()
      : mask(_mm256_set1_epi16(static_cast<short>((1 << D) - 1))),
        weights(_mm256_set1_epi32(static_cast<int>((1u << (16 + D)) | 1u))),
        low32(_mm256_set1_epi64x(0xFFFFFFFF)),
        shift(_mm256_setr_epi64x(0, 4 * D % 8, 0, 4 * D % 8)),
        pick0(_mm256_load_si256(reinterpret_cast<const __m256i*>(kEncodeTables<D>.pick0.data()))),
        pick1(_mm256_load_si256(reinterpret_cast<const __m256i*>(kEncodeTables<D>.pick1.data()))) {}
};

template <unsigned D>
inline __m256i encode16(const uint16_t* c, const EncodeConsts<D>& k) {
  const __m256i v = _mm256_and_si256(v256::load(c), k.mask);
  const __m256i pairs = _mm256_madd_epi16(v, k.weights);
  const __m256i quads = _mm256_or_si256(_mm256_and_si256(pairs, k.low32),
                                        _mm256_slli_epi64(_mm256_srli_epi64(pairs, 32), 2 * D));
  const __m256i placed = _mm256_sllv_epi64(quads, k.shift);
  return _mm256_or_si256(_mm256_shuffle_epi8(placed, k.pick0), _mm256_shuffle_epi8(placed, k.pick1));
}

template <unsigned D>
void encode_poly_avx2(uint8_t* out, const uint16_t* c) noexcept {
  const EncodeConsts<D> k;
  size_t blk = 0;
  for (; 2 * D * blk + D + 16 <= 32 * D; ++blk) {
    const __m256i bytes = encode16<D>(c + 16 * blk, k);
    // The second store overwrites the zeros the first leaves after its d bytes.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * D * blk), _mm256_castsi256_si128(bytes));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * D * blk + D),
                     _mm256_extracti128_si256(bytes, 1));
  }
  for (size_t g = 2 * blk; g < kN / 8; ++g) encode_block<D>(out + D * g, c + 8 * g);
}

template <size_t... Ds>
constexpr auto make_encoders_avx2(std::index_sequence<Ds...>) {
  return std::array<void (*)(uint8_t*, const uint16_t*) noexcept, sizeof...(Ds)>{
      &encode_poly_avx2<static_cast<unsigned>(Ds + 1)>...};
}
template <size_t... Ds>
constexpr auto make_decoders_avx2(std::index_sequence<Ds...>) {
  return std::array<void (*)(uint16_t*, const uint8_t*) noexcept, sizeof...(Ds)>{
      &decode_poly_avx2<static_cast<unsigned>(Ds + 1)>...};
}
// The 12-bit forms are PolyVec's (to_bytes12_avx2, from_bytes12_avx2); the
// widths here are those of the ciphertext, 1 to 11.
constexpr auto kEncodersAvx2 = make_encoders_avx2(std::make_index_sequence<11>{});
constexpr auto kDecodersAvx2 = make_decoders_avx2(std::make_index_sequence<11>{});

}  // namespace

namespace detail {

// Decompress_d: round(q * y / 2^d) = (y * 2^(15-d) * q + 2^14) >> 15 exactly
// (the rounding multiply-high), for y < 2^d and d <= 11.
void decompress_poly_avx2(Poly& f, unsigned d) noexcept {
  const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(15 - d));
  const __m256i q = v256::splat(kQ);
  for (size_t i = 0; i < kN; i += 16)
    v256::store(&f.c[i], _mm256_mulhrs_epi16(_mm256_sll_epi16(v256::load(&f.c[i]), shift), q));
}

// Coefficients 16j .. 16j+15 take their bits from bytes 2j (low half) and
// 2j + 1 (high half): a byte shuffle copies the byte to each 16-bit lane, the
// lane's bit is compared with its own selector, and the all-ones lanes add
// (q + 1) / 2. Secret data: m and f; the shuffle indices are fixed.
void add_message_avx2(Poly& f, const uint8_t* m) noexcept {
  const __m256i sel = _mm256_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128);
  const __m256i upper = _mm256_setr_epi16(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1);
  const __m256i half_q = v256::splat((kQ + 1) / 2);
  for (size_t part = 0; part < 2; ++part) {
    const __m256i bytes =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(m + 16 * part)));
    for (size_t j = 0; j < 8; ++j) {
      const __m256i idx =
          _mm256_add_epi16(_mm256_set1_epi16(static_cast<short>(0x8000 | (2 * j))), upper);
      const __m256i bits = _mm256_and_si256(_mm256_shuffle_epi8(bytes, idx), sel);
      const __m256i add = _mm256_and_si256(_mm256_cmpeq_epi16(bits, sel), half_q);
      uint16_t* c = &f.c[128 * part + 16 * j];
      v256::store(c, v256::add(v256::load(c), add));
    }
  }
}

// Compress_1 is 1 exactly when 833 <= w <= 2496: two signed comparisons per
// lane, the lane masks packed to bytes and gathered into bits by movemask.
void message_from_poly_avx2(uint8_t* m, const Poly& w) noexcept {
  const __m256i lo = v256::splat(832), hi = v256::splat(2497);
  for (size_t i = 0; i < kN; i += 32) {
    const __m256i a = v256::load(&w.c[i]), b = v256::load(&w.c[i + 16]);
    const __m256i ma = _mm256_and_si256(_mm256_cmpgt_epi16(a, lo), _mm256_cmpgt_epi16(hi, a));
    const __m256i mb = _mm256_and_si256(_mm256_cmpgt_epi16(b, lo), _mm256_cmpgt_epi16(hi, b));
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi16(ma, mb), 0xD8);
    const uint32_t bits = static_cast<uint32_t>(_mm256_movemask_epi8(packed));
    for (size_t k = 0; k < 4; ++k) m[i / 8 + k] = static_cast<uint8_t>(bits >> (8 * k));
  }
}

}  // namespace detail
TARNEL_AVX2_END
#endif

void Poly::encode_d(MutableBytes out, unsigned d) const {
  CORE_CHECK(d >= 1 && d <= 12 && out.size() == 32 * size_t{d}, "encode_d: bad width or size");
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active() && d <= 11) return kEncodersAvx2[d - 1](out.data(), c.data());
#endif
  kEncoders[d - 1](out.data(), c.data());
}

// Every d-bit value with d <= 11 is below q already: no reduction is needed.
Poly Poly::decode_d(ByteView in, unsigned d) {
  CORE_CHECK(d >= 1 && d <= 11 && in.size() == 32 * size_t{d}, "decode_d: bad width or size");
  Poly r;
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active()) {
    kDecodersAvx2[d - 1](r.c.data(), in.data());
    return r;
  }
#endif
  kDecoders[d - 1](r.c.data(), in.data());
  return r;
}

PolyVec PolyVec::zero(size_t k) {
  CORE_CHECK(k <= kMaxK, "PolyVec: k above 4");
  PolyVec v;
  v.k = k;
  return v;
}

#if defined(TARNEL_MLKEM_AVX2)
// ByteEncode_12 and ByteDecode_12 (with the reduction below q) of one
// polynomial, sixteen coefficients per 24 bytes. The last group is read with
// unpack12_end so that nothing past the 384 bytes is loaded. Secret data:
// the coefficients and bytes (s_hat, dk_pke); only lane-wise operations.
TARNEL_AVX2_BEGIN
namespace {
void to_bytes12_avx2(uint8_t* out, const Poly& f) noexcept {
  for (size_t i = 0; i < kN; i += 16) v256::pack12(out + 3 * i / 2, v256::load(&f.c[i]));
}
void from_bytes12_avx2(Poly& f, const uint8_t* in) noexcept {
  for (size_t i = 0; i < kN - 16; i += 16)
    v256::store(&f.c[i], v256::cond_sub_q(v256::unpack12(in + 3 * i / 2)));
  v256::store(&f.c[kN - 16], v256::cond_sub_q(v256::unpack12_end(in + 3 * (kN - 16) / 2)));
}
}  // namespace
TARNEL_AVX2_END
#endif

#if defined(TARNEL_MLKEM_AVX2)
// Compress_d on sixteen coefficients at a time, in 32-bit lanes:
// n = x * 2^d + 1664 < 2^23, and floor(n / q) = (n * M) >> 43 with
// M = ceil(2^43 / q) < 2^32: M exceeds 2^43 / q by less than 1, so the error
// n * (M - 2^43/q) / 2^43 < 2^23 / 2^43 stays below 1/q and never crosses an
// integer. The 64-bit products are formed on the even and the odd lanes in
// turn. Secret data: the coefficients; d is public.
TARNEL_AVX2_BEGIN
namespace detail {
namespace {
constexpr uint64_t kDivM43 = ((uint64_t{1} << 43) + kQ - 1) / kQ;
static_assert(kDivM43 < (uint64_t{1} << 32));

inline __m256i compress8(__m256i x, __m128i shift, __m256i mask) {
  const __m256i m = _mm256_set1_epi64x(static_cast<long long>(kDivM43));
  const __m256i n = _mm256_add_epi32(_mm256_sll_epi32(x, shift), _mm256_set1_epi32(1664));
  const __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(n, m), 43);
  const __m256i odd = _mm256_srli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(n, 32), m), 43);
  return _mm256_and_si256(_mm256_or_si256(even, _mm256_slli_epi64(odd, 32)), mask);
}
}  // namespace

void compress_poly_avx2(Poly& f, unsigned d) noexcept {
  const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(d));
  const __m256i mask = _mm256_set1_epi32((1 << d) - 1);
  for (size_t i = 0; i < kN; i += 16) {
    const __m256i v = v256::load(&f.c[i]);
    const __m256i lo = compress8(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(v)), shift, mask);
    const __m256i hi = compress8(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(v, 1)), shift, mask);
    // packus works per 128-bit half: put the four 64-bit quarters back in order.
    v256::store(&f.c[i], _mm256_permute4x64_epi64(_mm256_packus_epi32(lo, hi), 0xD8));
  }
}
}  // namespace detail
TARNEL_AVX2_END
#endif

// Three bytes per pair of 12-bit coefficients (ByteEncode_12).
void PolyVec::to_bytes(MutableBytes out) const {
  CORE_CHECK(out.size() == 384 * k, "PolyVec::to_bytes: bad size");
  uint8_t* o = out.data();
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active()) {
    for (size_t n = 0; n < k; ++n) to_bytes12_avx2(o + 384 * n, p[n]);
    return;
  }
#endif
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
void PolyVec::decode(ByteView in, size_t k_in) {
  CORE_CHECK(k_in <= kMaxK && in.size() >= 384 * k_in, "PolyVec::from_bytes: bad size");
  k = k_in;
  const uint8_t* b = in.data();
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active()) {
    for (size_t n = 0; n < k; ++n) from_bytes12_avx2(p[n], b + 384 * n);
    return;
  }
#endif
  for (size_t n = 0; n < k; ++n) {
    Poly& f = p[n];
    for (size_t i = 0; i < 128; ++i) {
      const uint16_t d1 = static_cast<uint16_t>(b[0] | ((b[1] & 0x0F) << 8));
      const uint16_t d2 = static_cast<uint16_t>((b[1] >> 4) | (b[2] << 4));
      f.c[2 * i] = cond_sub_q(d1);
      f.c[2 * i + 1] = cond_sub_q(d2);
      b += 3;
    }
  }
}

PolyVec PolyVec::from_bytes(ByteView in, size_t k) {
  PolyVec v;
  v.decode(in, k);
  return v;
}

void PolyVec::inner_product_ntt(Poly& acc, const PolyVec& a, const PolyVec& b) {
  multiply_ntts_sum_acc(acc, a.p.data(), b.p.data(), std::min(a.k, b.k));
}

}  // namespace core::mlkem
