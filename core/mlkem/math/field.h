// Arithmetic modulo q = 3329 on canonical values (0 to q - 1, plain form).
// Every function here may see secret coefficients: none branches on or
// indexes by its arguments; corrections are made with masks built from bit 15.
#pragma once

#include <cstdint>

namespace core::mlkem {

inline constexpr uint16_t kQ = 3329;
inline constexpr uint16_t kN = 256;

// cond_sub_q maps r in [0, 2q) to r mod q: r - q when that does not wrap
// below zero (bit 15 of the 16-bit difference clear), else r.
constexpr uint16_t cond_sub_q(uint32_t r) noexcept {
  const uint16_t r_minus_q = static_cast<uint16_t>(r - kQ);
  const uint16_t mask = static_cast<uint16_t>(0 - (r_minus_q >> 15));  // 0xffff if r < q
  return static_cast<uint16_t>(r_minus_q + (kQ & mask));
}

// barrett_reduce returns x mod q for x <= (q - 1)^2. The quotient estimate
// t = floor(x * 20158 / 2^26), with 20158 = floor(2^26 / q), is never above the
// true quotient and at most one below it, so x - t*q lies in [0, 2q).
constexpr uint16_t barrett_reduce(uint32_t x) noexcept {
  const uint32_t t = static_cast<uint32_t>((uint64_t{x} * 20158) >> 26);
  return cond_sub_q(x - t * kQ);
}

constexpr uint16_t field_add(uint16_t a, uint16_t b) noexcept {
  return cond_sub_q(uint32_t{a} + b);
}

// field_sub adds q back when a - b wrapped (bit 15 of the 16-bit difference).
constexpr uint16_t field_sub(uint16_t a, uint16_t b) noexcept {
  const uint16_t d = static_cast<uint16_t>(a - b);
  const uint16_t mask = static_cast<uint16_t>(0 - (d >> 15));
  return static_cast<uint16_t>(d + (kQ & mask));
}

constexpr uint16_t field_mul(uint16_t a, uint16_t b) noexcept {
  return barrett_reduce(uint32_t{a} * b);
}

// field_from_u16 reduces any 16-bit value: x mod q. Used on public constants
// only (the remainder may compile to a division).
constexpr uint16_t field_from_u16(uint16_t x) noexcept {
  return static_cast<uint16_t>(x % kQ);
}

}  // namespace core::mlkem
