// Compress_d and Decompress_d of FIPS 203 (Section 4.2.1) and the 1-bit
// message forms used by K-PKE. The values may be secret: the division by q
// is a multiplication by a fixed reciprocal, and nothing branches on a value.
#pragma once

#include <cstdint>
#include <span>

#include "core/mlkem/math/dispatch.h"
#include "core/mlkem/math/field.h"
#include "core/mlkem/math/poly.h"
#include "core/result.h"

namespace core::mlkem {

namespace detail {
// floor(n / q) = (n * kDivM) >> 48 for every n < 2^27: kDivM = ceil(2^48 / q)
// exceeds 2^48 / q by less than 1, so the error n * (kDivM - 2^48/q) / 2^48
// stays below 2^-21 < 1/q and never crosses an integer.
inline constexpr uint64_t kDivM = ((uint64_t{1} << 48) + kQ - 1) / kQ;
constexpr uint32_t div_q(uint32_t n) noexcept {
  return static_cast<uint32_t>((uint64_t{n} * kDivM) >> 48);
}
}  // namespace detail

// compress_d(x, d) = round(2^d * x / q) mod 2^d for canonical x, computed as
// floor((x * 2^d + 1664) / q) mod 2^d (1 <= d <= 15).
constexpr uint16_t compress_d(uint16_t x, unsigned d) noexcept {
  const uint32_t n = (uint32_t{x} << d) + (kQ - 1) / 2;
  return static_cast<uint16_t>(detail::div_q(n) & ((uint32_t{1} << d) - 1));
}

// decompress_d(y, d) = round(q * y / 2^d) for y < 2^d (1 <= d <= 11).
constexpr uint16_t decompress_d(uint16_t y, unsigned d) noexcept {
  return static_cast<uint16_t>((uint32_t{kQ} * y + (uint32_t{1} << (d - 1))) >> d);
}

namespace detail {
// The sixteen-lane forms of the functions below (defined with the AVX2
// kernels in poly.cc); same values.
void compress_poly_avx2(Poly& f, unsigned d) noexcept;
void decompress_poly_avx2(Poly& f, unsigned d) noexcept;
void add_message_avx2(Poly& f, const uint8_t* m) noexcept;
void message_from_poly_avx2(uint8_t* m, const Poly& w) noexcept;
}  // namespace detail

// In-place coefficient-wise forms; d outside 1..11 is an internal fault.
inline void compress_poly(Poly& f, unsigned d) {
  CORE_CHECK(d >= 1 && d <= 11, "compress_d: unsupported width");
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active()) return detail::compress_poly_avx2(f, d);
#endif
  for (uint16_t& v : f.c) v = compress_d(v, d);
}
inline void decompress_poly(Poly& f, unsigned d) {
  CORE_CHECK(d >= 1 && d <= 11, "decompress_d: unsupported width");
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active()) return detail::decompress_poly_avx2(f, d);
#endif
  for (uint16_t& v : f.c) v = decompress_d(v, d);
}

// The message polynomial is Decompress_1(ByteDecode_1(m)): bit i of m (least
// significant bit of byte 0 first) gives coefficient i = 1665 when set, else 0.
// add_message adds it to f in place (the polynomial itself is never
// materialised). Secret data: m and f; the value is selected with a mask.
inline void add_message(Poly& f, Seed m) noexcept {
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active()) return detail::add_message_avx2(f, m.data());
#endif
  for (size_t i = 0; i < kN; ++i) {
    const uint16_t bit = (m[i / 8] >> (i % 8)) & 1;
    f.c[i] = field_add(f.c[i], static_cast<uint16_t>((0 - bit) & ((kQ + 1) / 2)));
  }
}

// message_bit is Compress_1(w) for canonical w: 1 exactly when
// 833 <= w <= 2496. ((2w + 1664) * 1290168) >> 32, with 1290168 = ceil(2^32 / q),
// is floor((2w + 1664) / q) for every canonical w, without a division.
constexpr uint8_t message_bit(uint16_t w) noexcept {
  return static_cast<uint8_t>(((uint64_t{2} * w + 1664) * 1290168 >> 32) & 1);
}

// message_from_poly is ByteEncode_1(Compress_1(w)). Secret data: w and m.
inline void message_from_poly(std::span<uint8_t, 32> m, const Poly& w) noexcept {
#if defined(TARNEL_MLKEM_AVX2)
  if (avx2_active()) return detail::message_from_poly_avx2(m.data(), w);
#endif
  for (size_t j = 0; j < 32; ++j) {
    uint8_t byte = 0;
    for (size_t b = 0; b < 8; ++b) byte |= static_cast<uint8_t>(message_bit(w.c[8 * j + b]) << b);
    m[j] = byte;
  }
}

}  // namespace core::mlkem
