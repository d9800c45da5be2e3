// The Base64 public-key text: unpadded URL-safe Base64 (RFC 4648, Section 5).
#include <string>
#include <string_view>

#include "core/common/base64.h"
#include "core/common/text.h"
#include "core/kem.h"

namespace core {

std::string public_key_to_b64(ByteView public_key) { return base64url_encode(public_key); }

// public_key_from_b64 tolerates surrounding White_Space and trailing "="
// characters; everything else must be canonical unpadded URL-safe Base64.
// A text that decodes fails only on the level's encapsulation-key size.
Result<Bytes> public_key_from_b64(std::string_view text, Level level) noexcept {
  return contained<Bytes>([&]() -> Result<Bytes> {
    std::string_view body = trim_unicode_space(text);
    while (!body.empty() && body.back() == '=') body.remove_suffix(1);
    std::optional<Bytes> decoded = base64url_decode(body);
    if (!decoded) return Error{ErrorKind::Base64, "invalid base64 URL-safe string"};
    if (decoded->size() != params(level).ek_len())
      return Error{ErrorKind::InvalidParameter,
                   "decoded public key has incorrect size for the specified security level"};
    return std::move(*decoded);
  });
}

}  // namespace core
