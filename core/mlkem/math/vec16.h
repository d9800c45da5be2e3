// Eight field elements at a time (SSE2, the x86-64 baseline). Each helper is
// the lane-wise form of the scalar operation of field.h with the same exact
// result; none branches on or indexes by lane values, which may be secret.
//
// TARNEL_MLKEM_SSE2 selects these paths in ntt.cc and poly.cc; without it
// (no SSE2, or TARNEL_MLKEM_PORTABLE from the CMake option
// TARNEL_PORTABLE_ARITHMETIC) the portable scalar forms are compiled.
#pragma once

#if defined(__SSE2__) && !defined(TARNEL_MLKEM_PORTABLE)
#define TARNEL_MLKEM_SSE2 1
#include <emmintrin.h>

#include <cstdint>

#include "core/mlkem/math/field.h"

namespace core::mlkem::v16 {

using V = __m128i;

inline V load(const uint16_t* p) { return _mm_loadu_si128(reinterpret_cast<const V*>(p)); }
inline void store(uint16_t* p, V v) { _mm_storeu_si128(reinterpret_cast<V*>(p), v); }
inline V splat(uint16_t x) { return _mm_set1_epi16(static_cast<short>(x)); }

// x in [0, 2q) (or [-q, q) seen as signed) to [0, q): subtract q, add it back
// where the difference is negative (sign-bit mask).
inline V cond_sub_q(V x) {
  const V q = splat(kQ);
  const V d = _mm_sub_epi16(x, q);
  return _mm_add_epi16(d, _mm_and_si128(q, _mm_srai_epi16(d, 15)));
}
// x in [-q, q) (signed) to [0, q).
inline V add_q_if_negative(V x) {
  return _mm_add_epi16(x, _mm_and_si128(splat(kQ), _mm_srai_epi16(x, 15)));
}
inline V add(V a, V b) { return cond_sub_q(_mm_add_epi16(a, b)); }
inline V sub(V a, V b) { return add_q_if_negative(_mm_sub_epi16(a, b)); }

// b * w mod q for a public multiplier w with w_shoup = floor(w * 2^16 / q):
// t = (b * w_shoup) >> 16 is floor(b*w/q) or one less, so b*w - t*q lies in
// [0, 2q) and is exact modulo 2^16.
inline V mul_const(V b, V w, V w_shoup) {
  const V t = _mm_mulhi_epu16(b, w_shoup);
  const V r = _mm_sub_epi16(_mm_mullo_epi16(b, w), _mm_mullo_epi16(t, splat(kQ)));
  return cond_sub_q(r);
}

// Montgomery reduction of the signed 32-bit products a*b (|a|, |b| < q or the
// bounds stated by the caller): a*b*2^-16 mod q in (-q, q).
inline V mont_mul(V a, V b) {
  constexpr uint16_t kQInv = 62209;  // q^-1 mod 2^16
  const V lo = _mm_mullo_epi16(a, b);
  const V hi = _mm_mulhi_epi16(a, b);
  const V u = _mm_mullo_epi16(lo, splat(kQInv));
  return _mm_sub_epi16(hi, _mm_mulhi_epi16(u, splat(kQ)));
}

}  // namespace core::mlkem::v16

#endif  // __SSE2__
