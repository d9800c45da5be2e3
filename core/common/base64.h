// Base64 (RFC 4648) with strict decoding: characters outside the alphabet,
// non-canonical padding and non-zero trailing bits are refused.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Whole groups in the standard alphabet, without padding, for callers that
// cut the text into lines themselves. base64_encode_groups writes the
// 4 * groups characters of the 3 * groups bytes at `in`.
void base64_encode_groups(char* out, const uint8_t* in, size_t groups) noexcept;
// base64_decode_groups writes the 3 * groups bytes of the 4 * groups
// characters at `in`; false when one of them is outside the alphabet ("="
// included), and then `out` holds a part of the result.
bool base64_decode_groups(uint8_t* out, const char* in, size_t groups) noexcept;

}  // namespace core
