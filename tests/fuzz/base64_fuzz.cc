// Standard Base64 with "=" padding (RFC 4648, Section 4). Invariants: what
// decodes re-encodes to the same text; any bytes encode and decode back.
#include <algorithm>
#include <string>

#include "core/common/base64.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const core::ByteView bytes(data, size);
  const std::string_view text = fuzz::as_text(bytes);

  if (auto decoded = core::base64_decode(text)) {
    FUZZ_CHECK(size % 4 == 0);
    FUZZ_CHECK(core::base64_encode(*decoded) == text);
  }

  const std::string encoded = core::base64_encode(bytes);
  FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
  auto back = core::base64_decode(encoded);
  FUZZ_CHECK(back && back->size() == size && std::equal(back->begin(), back->end(), data));
  return 0;
}
