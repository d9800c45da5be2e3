// URL-safe Base64 (RFC 4648, Section 5) and the public-key text reader.
// Invariants: what decodes re-encodes to the same text (only canonical text
// is accepted); any bytes encode and decode back; the key reader accepts
// exactly the trimmed, "="-stripped canonical text of a key of the level's size.
#include <algorithm>
#include <string>

#include "core/common/base64.h"
#include "core/common/text.h"
#include "core/kem.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const core::ByteView bytes(data, size);
  const std::string_view text = fuzz::as_text(bytes);

  if (auto decoded = core::base64url_decode(text)) {
    FUZZ_CHECK(core::base64url_encode(*decoded) == text);
    FUZZ_CHECK(decoded->size() == size * 3 / 4);
  }

  const std::string encoded = core::base64url_encode(bytes);
  FUZZ_CHECK(encoded.find('=') == std::string::npos);
  auto back = core::base64url_decode(encoded);
  FUZZ_CHECK(back && core::view(*back).size() == size &&
             std::equal(back->begin(), back->end(), data));

  std::string_view stripped = core::trim_unicode_space(text);
  while (!stripped.empty() && stripped.back() == '=') stripped.remove_suffix(1);
  for (int l = 0; l < 3; ++l) {
    const auto level = static_cast<core::Level>(l);
    auto key = core::public_key_from_b64(text, level);
    if (key.ok()) {
      FUZZ_CHECK(key.value().size() == core::params(level).ek_len());
      FUZZ_CHECK(core::public_key_to_b64(key.value()) == stripped);
    } else if (key.error().kind == core::ErrorKind::Base64) {
      FUZZ_CHECK(!core::base64url_decode(stripped));
    } else {
      FUZZ_CHECK(key.error().kind == core::ErrorKind::InvalidParameter);
      auto raw = core::base64url_decode(stripped);
      FUZZ_CHECK(raw && raw->size() != core::params(level).ek_len());
    }
  }
  return 0;
}
