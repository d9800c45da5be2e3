// Base64 (RFC 4648) with strict decoding: characters outside the alphabet,
// non-canonical padding and non-zero trailing bits are refused.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/common/bytes.h"

namespace core {

// URL-safe alphabet (RFC 4648, Section 5), written without padding.
std::string base64url_encode(ByteView in);
// Decodes canonical unpadded URL-safe text; nullopt when it is not that.
std::optional<Bytes> base64url_decode(std::string_view text);

// Standard alphabet (RFC 4648, Section 4) with "=" padding.
std::string base64_encode(ByteView in);
// Decodes canonical padded standard text (length a multiple of 4, exactly
// the padding the encoder writes); nullopt otherwise. "" decodes to {}.
std::optional<Bytes> base64_decode(std::string_view text);

}  // namespace core
