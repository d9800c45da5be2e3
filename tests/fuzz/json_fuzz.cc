// The JSON public key document's field finder and reader. Invariants: a
// found value holds no double quote and stands in the document right after
// its field name; a document that reads is rewritten by the writer into one
// that reads back to the same key and level; errors are only of the kinds
// the reader documents.
#include <string>

#include "core/json_doc.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view doc = fuzz::as_text({data, size});

  for (std::string_view name : {"algorithm", "level", "public_key"}) {
    auto value = core::extract_json_string(doc, name);
    if (value.ok()) {
      FUZZ_CHECK(value.value().find('"') == std::string::npos);
      FUZZ_CHECK(doc.find("\"" + std::string(name) + "\":") != std::string_view::npos);
      FUZZ_CHECK(doc.find("\"" + value.value() + "\"") != std::string_view::npos);
    } else {
      FUZZ_CHECK(value.error().kind == core::ErrorKind::KeySerialization);
    }
  }

  auto read = core::read_public_key_json(doc);
  if (read.ok()) {
    const core::PublicKeyDocument& d = read.value();
    FUZZ_CHECK(d.public_key.size() == core::params(d.level).ek_len());
    const std::string rewritten = core::write_public_key_json(d.public_key, d.level);
    auto again = core::read_public_key_json(rewritten);
    FUZZ_CHECK(again.ok() && again.value().public_key == d.public_key &&
               again.value().level == d.level);
  } else {
    FUZZ_CHECK(fuzz::kind_in(read.error(), {core::ErrorKind::KeySerialization,
                                            core::ErrorKind::Base64,
                                            core::ErrorKind::InvalidParameter}));
  }
  return 0;
}
