// Byte views, owned buffers and wiping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include <openssl/crypto.h>

namespace core {

using ByteView = std::span<const uint8_t>;
using MutableBytes = std::span<uint8_t>;
using Bytes = std::vector<uint8_t>;

// wipe overwrites memory with zeros in a way the optimiser may not remove.
// With GCC and Clang that is the library memset (vector stores, a few dozen
// instructions for a 2 KiB polynomial vector, where OPENSSL_cleanse stores
// eight bytes at a time) followed by an empty asm statement that takes the
// pointer and clobbers memory: the compiler must assume the zeros are read,
// so the stores cannot be dropped as dead.
inline void wipe(void* p, size_t n) noexcept {
  if (n == 0) return;
#if defined(__GNUC__)
  std::memset(p, 0, n);
  __asm__ __volatile__("" : : "r"(p) : "memory");
#else
  OPENSSL_cleanse(p, n);
#endif
}
inline void wipe(MutableBytes b) noexcept { wipe(b.data(), b.size()); }

// WipingAllocator zeroes every block before it is freed, so a SecretBytes
// never leaves a copy of its contents behind, also when it grows.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}  // NOLINT
  T* allocate(size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, size_t n) noexcept {
    wipe(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

using SecretBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

inline ByteView view(const Bytes& b) noexcept { return {b.data(), b.size()}; }
inline ByteView view(const SecretBytes& b) noexcept { return {b.data(), b.size()}; }

// Big-endian 32-bit store and load.
inline void store_be32(uint8_t* out, uint32_t v) noexcept {
  out[0] = static_cast<uint8_t>(v >> 24);
  out[1] = static_cast<uint8_t>(v >> 16);
  out[2] = static_cast<uint8_t>(v >> 8);
  out[3] = static_cast<uint8_t>(v);
}
inline uint32_t load_be32(const uint8_t* in) noexcept {
  return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) |
         uint32_t{in[3]};
}

}  // namespace core
