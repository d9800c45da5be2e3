// Sixteen field elements at a time (AVX2): the lane-wise forms of vec16.h's
// helpers, same exact results, no branch or index on lane values. Only for
// code between TARNEL_AVX2_BEGIN and TARNEL_AVX2_END, run when arith_path()
// is ArithPath::Avx2.
#pragma once

#include "core/mlkem/math/dispatch.h"

#if defined(TARNEL_MLKEM_AVX2)
#include <immintrin.h>

#include <cstdint>

#include "core/mlkem/math/field.h"

TARNEL_AVX2_BEGIN
namespace core::mlkem::v256 {

using V = __m256i;

inline V load(const uint16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
inline void store(uint16_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<V*>(p), v); }
inline V splat(uint16_t x) { return _mm256_set1_epi16(static_cast<short>(x)); }

inline V cond_sub_q(V x) {
  const V q = splat(kQ);
  const V d = _mm256_sub_epi16(x, q);
  return _mm256_add_epi16(d, _mm256_and_si256(q, _mm256_srai_epi16(d, 15)));
}
inline V add_q_if_negative(V x) {
  return _mm256_add_epi16(x, _mm256_and_si256(splat(kQ), _mm256_srai_epi16(x, 15)));
}
inline V add(V a, V b) { return cond_sub_q(_mm256_add_epi16(a, b)); }
inline V sub(V a, V b) { return add_q_if_negative(_mm256_sub_epi16(a, b)); }

inline V mul_const(V b, V w, V w_shoup) {
  const V t = _mm256_mulhi_epu16(b, w_shoup);
  const V r = _mm256_sub_epi16(_mm256_mullo_epi16(b, w), _mm256_mullo_epi16(t, splat(kQ)));
  return cond_sub_q(r);
}

inline V mont_mul(V a, V b) {
  constexpr uint16_t kQInv = 62209;  // q^-1 mod 2^16
  const V lo = _mm256_mullo_epi16(a, b);
  const V hi = _mm256_mulhi_epi16(a, b);
  const V u = _mm256_mullo_epi16(lo, splat(kQInv));
  return _mm256_sub_epi16(hi, _mm256_mulhi_epi16(u, splat(kQ)));
}

// unpack12 reads the 24 bytes of sixteen packed 12-bit values (the packing
// of ByteEncode_12 and of SampleNTT's candidates) into sixteen lanes, in
// order. It loads 32 bytes from p; unpack12_end loads the 32 bytes that end
// where the 24 do (from p - 8), for the last values of a buffer. Each
// 128-bit half takes 12 bytes; a byte shuffle puts bytes (3k, 3k+1) in lane
// 2k and (3k+1, 3k+2) in lane 2k+1; the even lanes keep their low 12 bits
// and the odd lanes their high 12.
inline V unpack12_spread(V halves) {
  const V pick = _mm256_setr_epi8(0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11,  //
                                  0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11);
  const V bytes = _mm256_shuffle_epi8(halves, pick);
  return _mm256_blend_epi16(_mm256_and_si256(bytes, splat(0x0FFF)), _mm256_srli_epi16(bytes, 4),
                            0xAA);
}
// load24 puts bytes 0..11 of p in the low half and 12..23 in the high half
// (each followed by four bytes that the callers ignore); it loads 32 bytes
// from p. load24_end gives the same halves from a load of the 32 bytes that
// end where the 24 do (from p - 8).
inline V load24(const uint8_t* p) {
  const V raw = _mm256_loadu_si256(reinterpret_cast<const V*>(p));
  return _mm256_permutevar8x32_epi32(raw, _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6));
}
inline V load24_end(const uint8_t* p) {
  const V raw = _mm256_loadu_si256(reinterpret_cast<const V*>(p - 8));
  return _mm256_permutevar8x32_epi32(raw, _mm256_setr_epi32(2, 3, 4, 5, 5, 6, 7, 7));
}
inline V unpack12(const uint8_t* p) { return unpack12_spread(load24(p)); }
inline V unpack12_end(const uint8_t* p) { return unpack12_spread(load24_end(p)); }

// pack12 writes sixteen 12-bit lanes as 24 bytes (the inverse of unpack12):
// each pair becomes c0 + 4096 c1 in a 32-bit lane, whose three low bytes are
// gathered per half and then across the halves.
inline void pack12(uint8_t* out, V v) {
  const V pairs = _mm256_madd_epi16(v, _mm256_set1_epi32((4096 << 16) | 1));
  const V gather = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                    0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const V packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(pairs, gather),
                                               _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(packed, 1));
}

}  // namespace core::mlkem::v256
TARNEL_AVX2_END

#endif  // TARNEL_MLKEM_AVX2
