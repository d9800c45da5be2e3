// The JSON public key document
//
//   {"algorithm":"ML-KEM","level":"ML_KEM_768","public_key":"<URL-safe Base64>"}
//
// written from a fixed template and read by a plain text search for each
// field, not by a JSON parser: the reader accepts documents that are not
// valid JSON and takes the first match of a field name wherever it stands.
#pragma once

#include <string>
#include <string_view>

#include "core/common/bytes.h"
#include "core/mlkem/params.h"
#include "core/result.h"

namespace core {

// level_json_name: "ML_KEM_512", "ML_KEM_768" or "ML_KEM_1024".
std::string_view level_json_name(Level level) noexcept;

// write_public_key_json returns the document for `public_key` at `level`,
// with no whitespace and no trailing newline.
std::string write_public_key_json(ByteView public_key, Level level);

// extract_json_string finds the first occurrence of "<name>": (no space
// before the colon), skips Unicode White_Space after the colon, and returns
// the characters up to the next double quote verbatim: escapes are not
// interpreted and a backslash does not protect a quote. Errors
// (KeySerialization): "missing JSON field"; "JSON field value is not a
// string" when the value is absent or does not open with a double quote;
// "unterminated JSON string value".
Result<std::string> extract_json_string(std::string_view document, std::string_view name) noexcept;

struct PublicKeyDocument {
  Bytes public_key;
  Level level;
};

// read_public_key_json extracts algorithm, level and public_key in that
// order (the first failure is returned), then requires the algorithm
// "ML-KEM" (KeySerialization "unsupported algorithm (expected 'ML-KEM')"),
// one of the three exact level names (KeySerialization "unsupported level in
// JSON (expected ML_KEM_512/768/1024)"), and decodes the key with
// public_key_from_b64, whose Base64 and InvalidParameter errors pass through.
Result<PublicKeyDocument> read_public_key_json(std::string_view document) noexcept;

}  // namespace core
