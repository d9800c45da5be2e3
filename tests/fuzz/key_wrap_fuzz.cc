// Unwrapping of password-wrapped secret-key blobs. Input: one byte giving the
// password length (mod 64), the password, then the blob. Invariants: a blob
// that opens yields a key of its level's size that wraps and unwraps back
// under the same password; a blob shorter than the header and tag fails with
// KeySerialization; all other failures are KeySerialization or Decryption.
#include <algorithm>

#include "core/key_wrap.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const core::ByteView password = in.take(in.byte() % 64);
  const core::ByteView blob = in.rest();

  auto opened = core::unwrap_secret_key(blob, password);
  if (opened.ok()) {
    const core::UnwrappedSecretKey& k = opened.value();
    FUZZ_CHECK(blob.size() == core::wrapped_blob_len(k.level));
    FUZZ_CHECK(blob[5] == static_cast<uint8_t>(k.level));
    FUZZ_CHECK(k.secret_key.size() == core::params(k.level).dk_len());
    auto rewrapped = core::wrap_secret_key_blob(core::view(k.secret_key), k.level, password);
    FUZZ_CHECK(rewrapped.ok() && rewrapped.value().size() == blob.size());
    FUZZ_CHECK(std::equal(blob.begin(), blob.begin() + 6, rewrapped.value().begin()));
    auto again = core::unwrap_secret_key(rewrapped.value(), password);
    FUZZ_CHECK(again.ok() && again.value().secret_key == k.secret_key &&
               again.value().level == k.level);
  } else if (blob.size() < core::kWrapOverhead) {
    FUZZ_CHECK(opened.error().kind == core::ErrorKind::KeySerialization);
  } else {
    FUZZ_CHECK(fuzz::kind_in(opened.error(), {core::ErrorKind::KeySerialization,
                                              core::ErrorKind::Decryption}));
  }
  return 0;
}
