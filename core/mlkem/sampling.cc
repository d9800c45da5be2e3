#include "core/mlkem/sampling.h"

#include <array>
#include <cstring>

#include "core/common/hash.h"
#include "core/mlkem/math/dispatch.h"
#include "core/mlkem/math/vec256.h"
#include "core/result.h"

namespace core::mlkem {

namespace {

constexpr size_t kShake128Rate = 168;
// Three blocks give 168 candidates, about 273 accepted values on average;
// a longer prefix is generated in the rare case that they do not suffice.
constexpr size_t kFirstSqueeze = 3 * kShake128Rate;

}  // namespace

#if defined(TARNEL_MLKEM_AVX2)

namespace {

// Left-packing of eight 16-bit lanes: for each 8-bit acceptance mask, the
// byte shuffle that moves the accepted lanes to the front, in order, and
// their number.
struct PackTable {
  alignas(16) std::array<std::array<uint8_t, 16>, 256> shuffle{};
  std::array<uint8_t, 256> count{};
};

constexpr PackTable make_pack_table() {
  PackTable t;
  for (size_t m = 0; m < 256; ++m) {
    size_t n = 0;
    for (size_t lane = 0; lane < 8; ++lane)
      if ((m >> lane) & 1) {
        t.shuffle[m][2 * n] = static_cast<uint8_t>(2 * lane);
        t.shuffle[m][2 * n + 1] = static_cast<uint8_t>(2 * lane + 1);
        ++n;
      }
    for (size_t k = 2 * n; k < 16; ++k) t.shuffle[m][k] = 0x80;  // zero
    t.count[m] = static_cast<uint8_t>(n);
  }
  return t;
}

constexpr PackTable kPack = make_pack_table();

}  // namespace

// Sixteen candidates (24 bytes, v256::unpack12) per step. The accepted
// lanes of each half are packed to the front through
// kPack. Each step writes 16 lanes from position `count`, so it runs while
// count <= 240; it reads 32 bytes, so while 32 remain. The scalar loop
// finishes. The stream is public (it expands rho), so the table look-ups and
// branches on its values reveal nothing secret.
TARNEL_AVX2_BEGIN
namespace {
size_t parse_avx2(uint16_t* out, size_t count, const uint8_t* b, size_t& consumed,
                  size_t size) noexcept {
  using v256::V;
  const V q = v256::splat(kQ);
  size_t pos = 0;
  while (count <= kN - 16 && pos + 32 <= size) {
    const V v = v256::unpack12(b + pos);
    // One bit per lane: the lane masks packed to bytes (each half holds its
    // eight twice), then gathered by movemask; bits 0-7 and 16-23 are used.
    const V accept = _mm256_cmpgt_epi16(q, v);
    const uint32_t m = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_packs_epi16(accept, accept)));
    for (unsigned half = 0; half < 2; ++half) {
      const uint32_t x = (m >> (16 * half)) & 0xFF;
      const __m128i lanes = half == 0 ? _mm256_castsi256_si128(v) : _mm256_extracti128_si256(v, 1);
      const __m128i sh = _mm_load_si128(reinterpret_cast<const __m128i*>(kPack.shuffle[x].data()));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + count), _mm_shuffle_epi8(lanes, sh));
      count += kPack.count[x];
    }
    pos += 24;
  }
  consumed = pos;
  return count;
}
}  // namespace
TARNEL_AVX2_END

#endif  // TARNEL_MLKEM_AVX2

// The stream and the matrix are public, so the loop may branch on the values.
size_t sample_ntt_parse(Poly& a, size_t count, ByteView stream) noexcept {
  const uint8_t* b = stream.data();
  size_t groups = stream.size() / 3;
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active() && count < kN) {
    size_t consumed = 0;
    count = parse_avx2(a.c.data(), count, b, consumed, stream.size());
    b += consumed;
    groups -= consumed / 3;
  }
#endif
  for (size_t g = 0; g < groups && count < kN; ++g, b += 3) {
    const uint16_t d1 = static_cast<uint16_t>(b[0] | ((b[1] & 0x0F) << 8));
    const uint16_t d2 = static_cast<uint16_t>((b[1] >> 4) | (b[2] << 4));
    if (d1 < kQ) a.c[count++] = d1;
    if (d2 < kQ && count < kN) a.c[count++] = d2;
  }
  return count;
}

// SHAKE128 output is prefix-stable: squeezing n bytes gives the first n bytes
// of any longer squeeze, so a longer prefix is regenerated and only its new
// part parsed. The stream is consumed strictly in order.
Poly sample_ntt(Seed rho, uint8_t i, uint8_t j) {
  const uint8_t ji[2] = {j, i};
  std::array<uint8_t, kFirstSqueeze> buf;
  shake128(buf, {ByteView(rho), ByteView(ji, 2)});
  Poly a;
  size_t count = sample_ntt_parse(a, 0, buf);
  size_t parsed = buf.size();
  while (count < kN) {
    Bytes longer(parsed + 2 * kShake128Rate);
    shake128(longer, {ByteView(rho), ByteView(ji, 2)});
    count = sample_ntt_parse(a, count, ByteView(longer).subspan(parsed));
    parsed = longer.size();
  }
  return a;
}

#if defined(TARNEL_MLKEM_AVX2)

// CBD on whole registers. Every coefficient is x - y with x, y sums of eta
// bits; the fields are formed side by side as x + eta - y (no field borrows
// from the next, as x + eta >= y), then spread to sixteen-bit lanes, where
// eta is taken off and q added back through the sign mask. Secret data: the
// PRF bytes and f; only lane-wise operations and fixed shuffles.
TARNEL_AVX2_BEGIN
namespace {

inline __m256i centre(__m256i v, int eta) {
  const __m256i d = _mm256_sub_epi16(v, _mm256_set1_epi16(static_cast<short>(eta)));
  return v256::add_q_if_negative(d);
}

// Eta 2: each byte gives two coefficients, from its two nibbles.
void cbd2_avx2(Poly& f, const uint8_t* b) noexcept {
  const __m256i m55 = _mm256_set1_epi8(0x55), m33 = _mm256_set1_epi8(0x33);
  const __m256i m22 = _mm256_set1_epi8(0x22), m0f = _mm256_set1_epi8(0x0F);
  for (size_t i = 0; i < 128; i += 32) {
    const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    const __m256i s = _mm256_add_epi8(_mm256_and_si256(t, m55),
                                      _mm256_and_si256(_mm256_srli_epi16(t, 1), m55));
    const __m256i x = _mm256_and_si256(s, m33);
    const __m256i y = _mm256_and_si256(_mm256_srli_epi16(s, 2), m33);
    const __m256i d = _mm256_sub_epi8(_mm256_add_epi8(x, m22), y);  // x + 2 - y per nibble
    const __m256i lo = _mm256_and_si256(d, m0f);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(d, 4), m0f);
    // Bytes in coefficient order within each half: coefficients 0-15 and
    // 32-47 in a, 16-31 and 48-63 in b.
    const __m256i a = _mm256_unpacklo_epi8(lo, hi), c = _mm256_unpackhi_epi8(lo, hi);
    uint16_t* out = &f.c[2 * i];
    v256::store(out, centre(_mm256_cvtepu8_epi16(_mm256_castsi256_si128(a)), 2));
    v256::store(out + 16, centre(_mm256_cvtepu8_epi16(_mm256_castsi256_si128(c)), 2));
    v256::store(out + 32, centre(_mm256_cvtepu8_epi16(_mm256_extracti128_si256(a, 1)), 2));
    v256::store(out + 48, centre(_mm256_cvtepu8_epi16(_mm256_extracti128_si256(c, 1)), 2));
  }
}

// Eta 3: each 3 bytes give four coefficients from 6-bit fields. Eight groups
// (24 bytes) per step, one group per 32-bit lane.
inline void cbd3_step(uint16_t* out, __m256i halves) {
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                          0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m256i t = _mm256_shuffle_epi8(halves, spread);
  const __m256i m249 = _mm256_set1_epi32(0x249249);
  const __m256i s = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_and_si256(t, m249), _mm256_and_si256(_mm256_srli_epi32(t, 1), m249)),
      _mm256_and_si256(_mm256_srli_epi32(t, 2), m249));
  const __m256i m1c7 = _mm256_set1_epi32(0x1C71C7);
  const __m256i x = _mm256_and_si256(s, m1c7);
  const __m256i y = _mm256_and_si256(_mm256_srli_epi32(s, 3), m1c7);
  const __m256i d = _mm256_sub_epi32(_mm256_add_epi32(x, _mm256_set1_epi32(0x0C30C3)), y);
  // Fields 0 and 1 of each group in the two 16-bit halves of one lane,
  // fields 2 and 3 in another; interleaving the lanes puts them in order.
  const __m256i m7 = _mm256_set1_epi32(7), m7hi = _mm256_set1_epi32(7 << 16);
  const __m256i f01 = _mm256_or_si256(_mm256_and_si256(d, m7),
                                      _mm256_and_si256(_mm256_slli_epi32(d, 10), m7hi));
  const __m256i f23 = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(d, 12), m7),
                                      _mm256_and_si256(_mm256_srli_epi32(d, 2), m7hi));
  const __m256i lo = _mm256_unpacklo_epi32(f01, f23);  // groups 0, 1 | 4, 5
  const __m256i hi = _mm256_unpackhi_epi32(f01, f23);  // groups 2, 3 | 6, 7
  v256::store(out, centre(_mm256_permute2x128_si256(lo, hi, 0x20), 3));
  v256::store(out + 16, centre(_mm256_permute2x128_si256(lo, hi, 0x31), 3));
}

void cbd3_avx2(Poly& f, const uint8_t* b) noexcept {
  for (size_t i = 0; i < 7; ++i) cbd3_step(&f.c[32 * i], v256::load24(b + 24 * i));
  cbd3_step(&f.c[224], v256::load24_end(b + 168));
}

}  // namespace
TARNEL_AVX2_END

#endif  // TARNEL_MLKEM_AVX2

void cbd(Poly& f, ByteView prf_out, unsigned eta) {
  CORE_CHECK((eta == 2 || eta == 3) && prf_out.size() == 64 * size_t{eta},
             "cbd: bad eta or input size");
  const uint8_t* b = prf_out.data();
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active()) return eta == 2 ? cbd2_avx2(f, b) : cbd3_avx2(f, b);
#endif
  // Each coefficient is x - y with x, y sums of eta bits; q is added back
  // when it is negative, through a mask (no branch on the secret bits).
  auto store = [&f](size_t idx, int32_t x, int32_t y) {
    const int32_t v = x - y;
    f.c[idx] = static_cast<uint16_t>(v + (kQ & (v >> 31)));
  };
  if (eta == 2) {
    for (size_t i = 0; i < 128; ++i) {
      const uint32_t t = b[i];
      const uint32_t s = (t & 0x55) + ((t >> 1) & 0x55);  // pair sums in 2-bit fields
      store(2 * i, s & 3, (s >> 2) & 3);
      store(2 * i + 1, (s >> 4) & 3, (s >> 6) & 3);
    }
  } else {
    for (size_t i = 0; i < 64; ++i) {
      const uint32_t t = uint32_t{b[3 * i]} | (uint32_t{b[3 * i + 1]} << 8) |
                         (uint32_t{b[3 * i + 2]} << 16);
      // Triple sums in 3-bit fields.
      const uint32_t s = (t & 0x249249) + ((t >> 1) & 0x249249) + ((t >> 2) & 0x249249);
      for (size_t n = 0; n < 4; ++n) store(4 * i + n, (s >> (6 * n)) & 7, (s >> (6 * n + 3)) & 7);
    }
  }
}

void sample_noise_poly(Poly& out, Seed seed, uint8_t nonce, unsigned eta) {
  if (eta != 2 && eta != 3) [[unlikely]]
    throw InternalFault("unsupported eta value: ", eta);
  Secret<64 * 3> prf;
  const MutableBytes prf_out(prf.data(), 64 * size_t{eta});
  shake256(prf_out, {ByteView(seed), ByteView(&nonce, 1)});
  cbd(out, prf_out, eta);
}

}  // namespace core::mlkem
