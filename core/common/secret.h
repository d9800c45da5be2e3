// Fixed-size secrets that wipe themselves on every exit path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "core/common/bytes.h"

namespace core {

// Secret<N> holds seeds (d, z, m), shared secrets and derived keys. It can be
// moved (the source is wiped) but not copied.
template <size_t N>
struct Secret {
  std::array<uint8_t, N> bytes{};

  Secret() = default;
  explicit Secret(std::span<const uint8_t, N> src) noexcept {
    std::memcpy(bytes.data(), src.data(), N);
  }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  Secret(Secret&& other) noexcept : bytes(other.bytes) { other.clear(); }
  Secret& operator=(Secret&& other) noexcept {
    if (this != &other) {
      bytes = other.bytes;
      other.clear();
    }
    return *this;
  }
  ~Secret() { clear(); }

  void clear() noexcept { wipe(bytes.data(), N); }
  uint8_t* data() noexcept { return bytes.data(); }
  const uint8_t* data() const noexcept { return bytes.data(); }
  static constexpr size_t size() noexcept { return N; }
  std::span<uint8_t, N> span() noexcept { return bytes; }
  std::span<const uint8_t, N> span() const noexcept { return bytes; }
  ByteView view() const noexcept { return {bytes.data(), N}; }
};

using Key256 = Secret<32>;

// A 32-byte seed passed by reference (d, z, m, rho, sigma, r); whether it is
// secret is said where it is used.
using Seed = std::span<const uint8_t, 32>;

// Wiped<T> is a T (a plain value such as a polynomial or a vector of them)
// that is wiped when it goes out of scope, on every exit path. Like Secret it
// is never copied; it is built from a public T (a zero value, say) or filled
// in place.
template <class T>
class Wiped : public T {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  Wiped() = default;
  explicit Wiped(const T& start) noexcept : T(start) {}
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;
  ~Wiped() { wipe(static_cast<T*>(this), sizeof(T)); }
};

}  // namespace core
