// The PEM-like armour reader. Invariants: a block that reads is rewritten by
// the writer into text that reads back to the same payload; the body found
// lies after the header and holds no footer; read errors are only
// KeySerialization (and InvalidParameter for a key of the wrong size); line
// wrapping only inserts newlines.
#include <algorithm>
#include <string>

#include "core/common/base64.h"
#include "core/pem.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void check_type(std::string_view text, const core::PemBlockType& type) {
  auto body = core::extract_pem_body(text, type.header, type.footer);
  if (body.ok()) {
    const std::string_view b = body.value();
    FUZZ_CHECK(b.data() >= text.data() + type.header.size());
    FUZZ_CHECK(b.data() + b.size() + type.footer.size() <= text.data() + text.size());
    FUZZ_CHECK(std::string_view(b.data() + b.size(), type.footer.size()) == type.footer);
    FUZZ_CHECK(b.find(type.footer) == std::string_view::npos);
  } else {
    FUZZ_CHECK(body.error().kind == core::ErrorKind::KeySerialization);
  }

  auto payload = core::read_pem_block(text, type);
  if (payload.ok()) {
    FUZZ_CHECK(body.ok());
    const std::string rewritten = core::write_pem_block(type, payload.value());
    auto again = core::read_pem_block(rewritten, type);
    FUZZ_CHECK(again.ok() && again.value() == payload.value());
  } else {
    FUZZ_CHECK(payload.error().kind == core::ErrorKind::KeySerialization);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::as_text({data, size});
  check_type(text, core::kPublicKeyPem);
  check_type(text, core::kEncryptedPrivateKeyPem);

  for (int l = 0; l < 3; ++l) {
    const auto level = static_cast<core::Level>(l);
    auto key = core::read_public_key_pem(text, level);
    if (key.ok())
      FUZZ_CHECK(key.value().size() == core::params(level).ek_len());
    else
      FUZZ_CHECK(fuzz::kind_in(key.error(), {core::ErrorKind::KeySerialization,
                                             core::ErrorKind::InvalidParameter}));
  }

  const std::string wrapped = core::wrap_pem_lines(text);
  std::string unwrapped = wrapped;
  for (size_t i = core::kPemLineLen; i < unwrapped.size(); i += core::kPemLineLen) {
    FUZZ_CHECK(unwrapped[i] == '\n');
    unwrapped.erase(i, 1);
  }
  FUZZ_CHECK(unwrapped == text);

  const std::string b64 = core::base64_encode({data, size});
  FUZZ_CHECK(core::unwrap_pem_body(core::wrap_pem_lines(b64)) == b64);
  return 0;
}
