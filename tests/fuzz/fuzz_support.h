// Helpers shared by the libFuzzer harnesses: an invariant check that aborts
// with a message, a reader that consumes the fuzzer's input, and the fixed
// key pairs the harnesses open packages and streams with.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string_view>

#include "core/common/bytes.h"
#include "core/error.h"
#include "core/kem.h"
#include "core/mlkem/params.h"

// FUZZ_CHECK stops the run (and makes libFuzzer save the input) when an
// invariant does not hold.
#define FUZZ_CHECK(cond)                                                        \
  do {                                                                          \
    if (!(cond)) {                                                              \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, \
                   #cond);                                                      \
      std::abort();                                                             \
    }                                                                           \
  } while (0)

namespace fuzz {

// Input consumes the fuzzer's bytes front to back; reads past the end give
// what is left (possibly nothing).
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t byte() { return size_ == 0 ? 0 : (--size_, *data_++); }
  uint32_t be32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
    return v;
  }
  core::ByteView take(size_t n) {
    if (n > size_) n = size_;
    core::ByteView out(data_, n);
    data_ += n;
    size_ -= n;
    return out;
  }
  core::ByteView rest() { return take(size_); }
  size_t remaining() const { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
};

inline core::Level level_from_byte(uint8_t b) { return static_cast<core::Level>(b % 3); }

inline std::string_view as_text(core::ByteView b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

inline bool kind_in(const core::Error& e, std::initializer_list<core::ErrorKind> kinds) {
  for (core::ErrorKind k : kinds)
    if (e.kind == k) return true;
  return false;
}

// fixed_keypair is the key pair of ML-KEM.KeyGen_internal with d = 00 01 .. 1f
// and z = 20 21 .. 3f at `level`; tests/fuzz/make_corpus.py seals its seeds
// to the same keys.
inline const core::KeyPairBytes& fixed_keypair(core::Level level) {
  static const std::array<core::KeyPairBytes, 3> pairs = [] {
    std::array<uint8_t, 32> d, z;
    for (int i = 0; i < 32; ++i) {
      d[i] = static_cast<uint8_t>(i);
      z[i] = static_cast<uint8_t>(32 + i);
    }
    std::array<core::KeyPairBytes, 3> out;
    for (int l = 0; l < 3; ++l) {
      auto kp = core::ml_kem_keygen_deterministic(d, z, static_cast<core::Level>(l));
      if (!kp.ok()) std::abort();
      out[l] = std::move(kp.value());
    }
    return out;
  }();
  return pairs[static_cast<size_t>(level)];
}

}  // namespace fuzz
