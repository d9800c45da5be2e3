// The labeled KDF functions of HPKE: LabeledExtract and LabeledExpand over
// HKDF (RFC 9180, Section 4; RFC 5869) and LabeledDerive over SHAKE
// (draft-ietf-hpke-pq). Internal to core/hpke; secrets in, secrets out.
#pragma once

#include <initializer_list>
#include <string_view>

#include "core/common/bytes.h"
#include "core/common/ossl.h"
#include "core/hpke/hpke.h"

namespace core::hpke {

// hkdf_extract writes HMAC-Hash(salt, concatenation of ikm parts) to `prk`
// (Nh bytes); an empty salt is Nh zero bytes (RFC 5869, Section 2.2).
void hkdf_extract(KdfId kdf, MutableBytes prk, ByteView salt, std::initializer_list<ByteView> ikm);
// hkdf_expand writes out.size() <= 255 * Nh bytes of HKDF-Expand(prk, info
// parts) (RFC 5869, Section 2.3).
void hkdf_expand(KdfId kdf, MutableBytes out, ByteView prk, std::initializer_list<ByteView> info);

// labeled_extract: Extract(salt, "HPKE-v1" || suite_id || label || ikm).
void labeled_extract(KdfId kdf, MutableBytes prk, ByteView suite_id, ByteView salt,
                     std::string_view label, ByteView ikm);
// labeled_expand: Expand(prk, I2OSP(L, 2) || "HPKE-v1" || suite_id || label
// || info, L), L = out.size().
void labeled_expand(KdfId kdf, MutableBytes out, ByteView suite_id, ByteView prk,
                    std::string_view label, ByteView info);
// Prk is an HKDF pseudorandom key handed to HMAC once, for several
// LabeledExpand calls under it: each copies the keyed HMAC instead of
// keying one anew. OpenSSL wipes the keyed state when it is freed.
class Prk {
 public:
  Prk(KdfId kdf, ByteView prk);
  // labeled_expand is the free labeled_expand's, under this key.
  void labeled_expand(MutableBytes out, ByteView suite_id, std::string_view label,
                      ByteView info) const;

 private:
  KdfId kdf_;
  MacCtx keyed_;
};

// labeled_derive: SHAKE(ikm || "HPKE-v1" || suite_id || I2OSP(len(label), 2)
// || label || I2OSP(L, 2) || context, L), L = out.size() <= 65535; ikm may be
// given in parts.
void labeled_derive(KdfId kdf, MutableBytes out, ByteView suite_id,
                    std::initializer_list<ByteView> ikm, std::string_view label,
                    ByteView context);

// hash_len is Nh of an HKDF (32, 48, 64).
size_t hash_len(KdfId kdf) noexcept;

inline ByteView bytes_of(std::string_view s) noexcept {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace core::hpke
