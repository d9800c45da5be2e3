#include "core/kdf.h"

#include <algorithm>
#include <cstring>

#include "core/common/hash.h"
#include "core/result.h"

namespace core {
namespace {

using Block = Secret<kSha3_256BlockLen>;

}  // namespace

void hmac_sha3_256(std::span<uint8_t, kSha3_256Len> out, ByteView key,
                   std::initializer_list<ByteView> message_parts) {
  // K0: the key zero-padded to one block, or its digest when it is longer
  // than a block (RFC 2104, Section 2).
  Block k0;
  if (key.size() > kSha3_256BlockLen) {
    sha3_256(std::span<uint8_t, kSha3_256Len>(k0.data(), kSha3_256Len), {key});
  } else if (!key.empty()) {
    std::memcpy(k0.data(), key.data(), key.size());
  }
  Block ki;
  Block ko;
  for (size_t i = 0; i < kSha3_256BlockLen; ++i) {
    ki.bytes[i] = static_cast<uint8_t>(k0.bytes[i] ^ 0x36);  // ipad
    ko.bytes[i] = static_cast<uint8_t>(k0.bytes[i] ^ 0x5c);  // opad
  }
  Secret<kSha3_256Len> inner;
  hash(HashFn::Sha3_256, inner.span(), ki.view(), message_parts);
  hash(HashFn::Sha3_256, out, ko.view(), {inner.view()});
}

void hkdf_sha3_256_extract(std::span<uint8_t, kSha3_256Len> prk, ByteView salt, ByteView ikm) {
  hmac_sha3_256(prk, salt, {ikm});
}

void hkdf_sha3_256_expand(MutableBytes okm, std::span<const uint8_t, kSha3_256Len> prk,
                          ByteView info) {
  CORE_CHECK(okm.size() <= kHkdfMaxOutputLen, "HKDF output longer than 255 blocks");
  // T(0) is empty; T(i) = HMAC(PRK, T(i-1) || info || i).
  Secret<kSha3_256Len> t;
  size_t t_len = 0;
  for (size_t off = 0, i = 1; off < okm.size(); off += kSha3_256Len, ++i) {
    const uint8_t counter = static_cast<uint8_t>(i);
    hmac_sha3_256(t.span(), prk, {ByteView(t.data(), t_len), info, ByteView(&counter, 1)});
    t_len = kSha3_256Len;
    const size_t n = std::min(kSha3_256Len, okm.size() - off);
    std::memcpy(okm.data() + off, t.data(), n);
  }
}

void hkdf_sha3_256_generic(MutableBytes okm, ByteView ikm, ByteView salt, ByteView info) {
  Secret<kSha3_256Len> prk;
  hkdf_sha3_256_extract(prk.span(), salt, ikm);
  hkdf_sha3_256_expand(okm, prk.span(), info);
}

Key256 hkdf_sha3_256(ByteView ikm, KeyWrapSalt salt) {
  static_assert(kKeyWrapInfo.size() == 18);
  const ByteView info(reinterpret_cast<const uint8_t*>(kKeyWrapInfo.data()), kKeyWrapInfo.size());
  Key256 key;
  hkdf_sha3_256_generic(key.span(), ikm, salt, info);
  return key;
}

}  // namespace core
