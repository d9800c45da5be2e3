// The number-theoretic transform of FIPS 203 (Algorithms 9 and 10).
#pragma once

#include <array>
#include <cstdint>

#include "core/mlkem/math/field.h"

namespace core::mlkem {

struct Poly;

// kZetas[i] = 17^BitRev7(i) mod q, where BitRev7 reverses the 7 bits of i and
// 17 is a primitive 256th root of unity mod q (FIPS 203, Appendix A).
extern const std::array<uint16_t, 128> kZetas;

// ntt maps f (normal domain) to its NTT representation in place
// (FIPS 203, Algorithm 9). f may be secret.
void ntt(Poly& f) noexcept;

// ntt_inverse maps an NTT representation back to the normal domain in place,
// including the final scaling by 128^-1 = 3303 (FIPS 203, Algorithm 10).
// f may be secret.
void ntt_inverse(Poly& f) noexcept;

}  // namespace core::mlkem
