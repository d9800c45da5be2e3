// Polynomials of Z_q[X]/(X^256 + 1), vectors of them, their NTT-domain
// products (FIPS 203, Algorithms 11 and 12) and their byte encodings
// (ByteEncode_d / ByteDecode_d, Algorithms 5 and 6).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/common/bytes.h"
#include "core/common/secret.h"
#include "core/mlkem/math/field.h"

namespace core::mlkem {

// Poly holds 256 canonical coefficients. In the NTT domain it holds the 128
// pairs (2i, 2i + 1) in the order of FIPS 203; the type does not record which
// domain it is in.
struct alignas(32) Poly {
  std::array<uint16_t, kN> c{};

  uint16_t& operator[](size_t i) noexcept { return c[i]; }
  uint16_t operator[](size_t i) const noexcept { return c[i]; }
  bool operator==(const Poly&) const = default;

  // Coefficient-wise field_add / field_sub, in place (so that a secret
  // polynomial never leaves an unwiped temporary behind).
  void add_assign(const Poly& b) noexcept;
  void sub_assign(const Poly& b) noexcept;

  // encode_d writes the low d bits of every coefficient, coefficient 0 first
  // and least significant bit first (ByteEncode_d); out is 32*d bytes.
  // d above 12 or a wrong out size is an internal fault.
  void encode_d(MutableBytes out, unsigned d) const;
  // decode_d reads 32*d bytes written by encode_d (ByteDecode_d, d <= 11:
  // every value is below q already). A wrong size is an internal fault.
  static Poly decode_d(ByteView in, unsigned d);
};

// basecase_multiply is FIPS 203, Algorithm 12: (a0 + a1 X)(b0 + b1 X) mod
// (X^2 - gamma). Each product is reduced on its own.
struct Pair {
  uint16_t c0, c1;
};
Pair basecase_multiply(Pair a, Pair b, uint16_t gamma) noexcept;

// multiply_ntts is FIPS 203, Algorithm 11: the product of a and b in the NTT
// domain. Both may be secret.
Poly multiply_ntts(const Poly& a, const Poly& b) noexcept;

// multiply_ntts_acc adds multiply_ntts(a, b) to acc (same result as
// acc.add_assign(multiply_ntts(a, b))).
void multiply_ntts_acc(Poly& acc, const Poly& a, const Poly& b) noexcept;

inline constexpr size_t kMaxK = 4;

// multiply_ntts_sum_acc adds to acc the sum of multiply_ntts(a[j], b[j]) for
// j < n (the same result as n calls of multiply_ntts_acc, reduced once on the
// vector path). n above 4 is an internal fault.
void multiply_ntts_sum_acc(Poly& acc, const Poly* a, const Poly* b, size_t n);

// PolyVec is a vector of k <= 4 polynomials, stored without heap allocation.
struct PolyVec {
  std::array<Poly, kMaxK> p{};
  size_t k = 0;

  static PolyVec zero(size_t k);  // k above 4 is an internal fault

  Poly& operator[](size_t i) noexcept { return p[i]; }
  const Poly& operator[](size_t i) const noexcept { return p[i]; }
  size_t size() const noexcept { return k; }

  // to_bytes writes ByteEncode_12 of each polynomial, 384*k bytes in all.
  void to_bytes(MutableBytes out) const;
  // from_bytes decodes the first 384*k bytes of in (ByteDecode_12); 12-bit
  // values of q and above are reduced by q, never refused. Fewer bytes or
  // k above 4 is an internal fault. The bytes may be secret (dk_pke).
  static PolyVec from_bytes(ByteView in, size_t k);
  // decode is from_bytes in place, for a vector that is secret (Wiped).
  void decode(ByteView in, size_t k);

  // inner_product_ntt adds to acc the sum of multiply_ntts(a[i], b[i]) over
  // the indices both vectors have.
  static void inner_product_ntt(Poly& acc, const PolyVec& a, const PolyVec& b);
};

// The secret forms: the same values, wiped when they go out of scope. Every
// polynomial derived from a seed other than rho, from the message or from
// dk_pke lives in one of these until it is encoded into a public output.
using SecretPoly = Wiped<Poly>;
using SecretPolyVec = Wiped<PolyVec>;

}  // namespace core::mlkem
