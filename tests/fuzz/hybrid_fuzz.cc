// Opening of Transit Packages. Input: one byte choosing the level (mod 3)
// and whether to use a key of the wrong size (bit 7), then the package. The
// package is opened with the fixed key pair of fuzz_support.h. Invariants: a
// package that opens yields opened_len() bytes and the plaintext seals and
// opens back; short packages and wrong keys fail with InvalidParameter;
// other failures are Decryption.
#include <algorithm>

#include "core/hybrid.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t mode = in.byte();
  const core::Level level = fuzz::level_from_byte(mode & 0x7f);
  const core::ByteView package = in.rest();
  const core::KeyPairBytes& kp = fuzz::fixed_keypair(level);
  core::ByteView dk = kp.dk;
  if (mode & 0x80) dk = dk.first(dk.size() - 1 - (mode & 0x0f));

  auto opened = core::hybrid::decrypt(package, dk, level);
  if (!opened.ok()) {
    if (package.size() < core::hybrid::min_package_len(level) || (mode & 0x80))
      FUZZ_CHECK(opened.error().kind == core::ErrorKind::InvalidParameter);
    else
      FUZZ_CHECK(opened.error().kind == core::ErrorKind::Decryption);
    return 0;
  }
  FUZZ_CHECK(!(mode & 0x80));
  auto len = core::hybrid::opened_len(package.size(), level);
  FUZZ_CHECK(len.ok() && opened.value().size() == len.value());

  auto sealed = core::hybrid::encrypt(kp.ek, opened.value(), level);
  FUZZ_CHECK(sealed.ok() && sealed.value().size() == package.size());
  auto reopened = core::hybrid::decrypt(sealed.value(), kp.dk, level);
  FUZZ_CHECK(reopened.ok() && reopened.value() == opened.value());
  return 0;
}
