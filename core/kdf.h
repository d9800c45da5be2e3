// HMAC-SHA3-256 (RFC 2104, FIPS 198-1) and HKDF-SHA3-256 (RFC 5869), the
// password-to-key derivation of wrapped secret keys.
//
// SHA3-256 comes from hash.h; like those hashes, these functions have no
// failure of their own. An OpenSSL failure (no input causes one) is an
// internal fault, thrown as InternalFault, so callers run them inside
// contained(). Every working block lives on the stack and is wiped on every
// exit path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "core/common/bytes.h"
#include "core/common/secret.h"

namespace core {

inline constexpr size_t kSha3_256BlockLen = 136;  // the SHA3-256 rate (FIPS 202)
inline constexpr size_t kSha3_256Len = 32;
inline constexpr size_t kKeyWrapSaltLen = 16;
// The HKDF info of the key wrap: 18 ASCII bytes.
inline constexpr std::string_view kKeyWrapInfo = "tarnel-key-wrap-v1";
// RFC 5869, Section 2.3: L <= 255 * HashLen.
inline constexpr size_t kHkdfMaxOutputLen = 255 * kSha3_256Len;

using KeyWrapSalt = std::span<const uint8_t, kKeyWrapSaltLen>;

// hmac_sha3_256 writes HMAC-SHA3-256(key, message) to `out`, the message
// being the concatenation of `message_parts`. Keys of up to 136 bytes are
// zero-padded to one block as they are. A longer key is first replaced by
// its SHA3-256 digest, the rule of RFC 2104, Section 2, so the result is
// standard HMAC for every key length.
void hmac_sha3_256(std::span<uint8_t, kSha3_256Len> out, ByteView key,
                   std::initializer_list<ByteView> message_parts);

// hkdf_sha3_256_extract is HKDF-Extract (RFC 5869, Section 2.2):
// prk = HMAC-SHA3-256(salt, ikm).
void hkdf_sha3_256_extract(std::span<uint8_t, kSha3_256Len> prk, ByteView salt, ByteView ikm);

// hkdf_sha3_256_expand is HKDF-Expand (RFC 5869, Section 2.3), filling all of
// `okm` (at most kHkdfMaxOutputLen bytes; a longer request is an internal
// fault).
void hkdf_sha3_256_expand(MutableBytes okm, std::span<const uint8_t, kSha3_256Len> prk,
                          ByteView info);

// hkdf_sha3_256_generic is HKDF (RFC 5869) over HMAC-SHA3-256 with any salt,
// info and output length up to kHkdfMaxOutputLen.
void hkdf_sha3_256_generic(MutableBytes okm, ByteView ikm, ByteView salt, ByteView info);

// hkdf_sha3_256 derives the 32-byte key-wrap key: RFC 5869 HKDF with
// HMAC-SHA3-256, IKM = ikm (any length, empty included), the 16-byte salt,
// info = kKeyWrapInfo and L = 32, so one expand block T(1).
Key256 hkdf_sha3_256(ByteView ikm, KeyWrapSalt salt);

}  // namespace core
