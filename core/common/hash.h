// The Keccak hashes of FIPS 202 (SHA3-256, SHA3-512, SHAKE128, SHAKE256),
// one-shot over the concatenation of byte strings, through OpenSSL's libcrypto.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

#include "core/common/bytes.h"

namespace core {

enum class HashFn : uint8_t { Sha3_256, Sha3_512, Shake128, Shake256 };

// hash writes fn(prefix || parts...) to out: the whole digest for SHA3 (out
// must be its length), out.size() bytes of output for SHAKE. It cannot fail
// on valid arguments; an OpenSSL failure (out of memory) is an internal fault.
// The work happens on a digest context owned by the calling thread; after
// every function but SHAKE128 its state is freed and wiped, so no input or
// output stays behind in it. SHAKE128 is used on public input only (rho).
void hash(HashFn fn, MutableBytes out, ByteView prefix, std::initializer_list<ByteView> parts);

inline void sha3_256(std::span<uint8_t, 32> out, std::initializer_list<ByteView> parts) {
  hash(HashFn::Sha3_256, out, {}, parts);
}
inline void sha3_512(std::span<uint8_t, 64> out, std::initializer_list<ByteView> parts) {
  hash(HashFn::Sha3_512, out, {}, parts);
}
inline void shake128(MutableBytes out, std::initializer_list<ByteView> parts) {
  hash(HashFn::Shake128, out, {}, parts);
}
inline void shake256(MutableBytes out, std::initializer_list<ByteView> parts) {
  hash(HashFn::Shake256, out, {}, parts);
}

}  // namespace core
