// Stream header parsing and chunk opening. Input: one byte choosing the
// level (mod 3), the header (its length for that level), then frames
// L (4 bytes, big-endian) || ciphertext (L bytes) || tag (16 bytes), the
// last of which may be cut short. The decryptor is created with the fixed
// key pair of fuzz_support.h. Invariants: a header fails only with
// InvalidParameter; the index advances by one on each success and stays put
// on each failure; plaintexts have their ciphertext's length; after the EOF
// marker nothing more verifies.
#include <optional>

#include "core/stream.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const core::Level level = fuzz::level_from_byte(in.byte());
  const core::ByteView header = in.take(core::stream_header_len(level));

  auto created = core::StreamDecryptor::create(header, fuzz::fixed_keypair(level).dk, level);
  if (!created.ok()) {
    FUZZ_CHECK(created.error().kind == core::ErrorKind::InvalidParameter);
    return 0;
  }
  core::StreamDecryptor& dec = created.value();
  FUZZ_CHECK(dec.chunk_size() >= 1 && dec.chunk_size() <= core::kMaxChunkSize);
  FUZZ_CHECK(dec.chunk_index() == 0 && !dec.eof_seen());

  for (int frames = 0; in.remaining() > 0 && frames < 64; ++frames) {
    const uint32_t l = in.be32();
    const core::ByteView ciphertext = in.take(l);
    const core::ByteView tag = in.take(core::kGcmTagLen);
    const uint32_t index = dec.chunk_index();
    const bool eof_before = dec.eof_seen();

    if (l == 0) {
      core::Status s = dec.process_eof(tag);
      if (s.ok()) {
        FUZZ_CHECK(!eof_before && dec.eof_seen() && dec.chunk_index() == index + 1);
      } else {
        FUZZ_CHECK(dec.chunk_index() == index && dec.eof_seen() == eof_before);
        FUZZ_CHECK(fuzz::kind_in(s.error(), {core::ErrorKind::InvalidParameter,
                                             core::ErrorKind::Decryption}));
      }
      continue;
    }
    auto plain = dec.decrypt_chunk(ciphertext, tag);
    if (plain.ok()) {
      FUZZ_CHECK(!eof_before && plain.value().size() == ciphertext.size());
      FUZZ_CHECK(dec.chunk_index() == index + 1);
    } else {
      FUZZ_CHECK(dec.chunk_index() == index && dec.eof_seen() == eof_before);
      if (tag.size() != core::kGcmTagLen || ciphertext.size() > dec.chunk_size())
        FUZZ_CHECK(plain.error().kind == core::ErrorKind::InvalidParameter);
      else
        FUZZ_CHECK(plain.error().kind == core::ErrorKind::Decryption);
    }
  }
  core::StreamDecryptor::finalize(std::move(dec));
  return 0;
}
