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

}  // namespace core::mlkem::v256
TARNEL_AVX2_END

#endif  // TARNEL_MLKEM_AVX2
