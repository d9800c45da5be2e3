// The PEM-like armour of keys: a header line, the payload in standard Base64
// (RFC 4648, Section 4, "=" padded) cut into 64-character lines, a footer
// line, each followed by one LF. It is not DER/ASN.1 and carries no headers
// of its own.
#pragma once

#include <string>
#include <string_view>

#include "core/common/bytes.h"
#include "core/mlkem/params.h"
#include "core/result.h"

namespace core {

struct PemBlockType {
  std::string_view header;
  std::string_view footer;
  const char* bad_body_message;  // KeySerialization message for a body that is not Base64
};

// The raw encapsulation key; the block does not record its level.
inline constexpr PemBlockType kPublicKeyPem{
    "-----BEGIN ML-KEM PUBLIC KEY-----", "-----END ML-KEM PUBLIC KEY-----",
    "PEM body is not valid Base64 STANDARD"};
// A wrapped secret-key blob (key_wrap.h).
inline constexpr PemBlockType kEncryptedPrivateKeyPem{
    "-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----", "-----END ENCRYPTED ML-KEM PRIVATE KEY-----",
    "PEM ENCRYPTED body is not valid Base64 STANDARD"};

inline constexpr size_t kPemLineLen = 64;

// wrap_pem_lines inserts "\n" before every character whose index is a
// positive multiple of 64: no newline at the start or at the end.
std::string wrap_pem_lines(std::string_view text);

// write_pem_block returns header, "\n", the wrapped Base64 of `payload`,
// "\n", footer, "\n". It cannot fail (but for lack of memory, thrown).
std::string write_pem_block(const PemBlockType& type, ByteView payload);

// extract_pem_body returns the text strictly between the end of the first
// occurrence of `header` and the start of the first `footer` after it.
// Anything before the header or after that footer is ignored. Errors
// (KeySerialization): "PEM header not found", "PEM footer not found".
Result<std::string_view> extract_pem_body(std::string_view text, std::string_view header,
                                          std::string_view footer) noexcept;

// unwrap_pem_body returns `body` with every Unicode White_Space character removed.
std::string unwrap_pem_body(std::string_view body);

// read_pem_block finds a block of `type` in `text` and decodes its body as
// strict standard Base64. Errors (KeySerialization): the two of
// extract_pem_body, then the type's bad_body_message. An empty body decodes
// to zero bytes.
Result<Bytes> read_pem_block(std::string_view text, const PemBlockType& type) noexcept;

// read_public_key_pem reads a public key block and checks its payload
// against the level's key size: InvalidParameter "public key size does not
// match the specified security level" after the errors of read_pem_block.
Result<Bytes> read_public_key_pem(std::string_view text, Level level) noexcept;

}  // namespace core
