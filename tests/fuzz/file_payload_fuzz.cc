// The file format's chunk reader on arbitrary bytes. Input: a byte choosing
// the chunk size (1 to 64), one the first chunk's index, one whether the run
// ends the file, one choosing a byte to flip (0: none), then the data.
// Invariants:
//   - the data opened as a sealed run: refused for its size exactly when no
//     run is that long, else never opened (the fuzzer cannot seal);
//   - the data sealed as a run, then opened: the same bytes, opened again
//     as two runs split at a chunk boundary and chunk by chunk alike; a
//     flipped byte makes every reading refuse, and leaves nothing behind.
#include <algorithm>

#include "core/file_format/payload.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace ff = core::file_format;

const core::Bytes kFileKey(32, 0x42);
const core::Bytes kNonce(32, 0x24);

bool open_run(core::ByteView ct, uint64_t first, size_t chunk, bool ends, core::Bytes& out) {
  const auto len = ff::opened_run_len(ct.size(), chunk, ends);
  if (!len) return false;
  core::Bytes plain(*len, 0xee);
  const core::Status s = ff::open_chunks(plain, kFileKey, kNonce, first, chunk, ct, ends);
  if (!s.ok()) {
    FUZZ_CHECK(s.error().kind == core::ErrorKind::Decryption);
    FUZZ_CHECK(std::all_of(plain.begin(), plain.end(), [](uint8_t b) { return b == 0; }));
    return false;
  }
  out.insert(out.end(), plain.begin(), plain.end());
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const size_t chunk = 1 + in.byte() % 64;
  const uint64_t first = in.byte();
  const bool ends = (in.byte() & 1) != 0;
  const uint8_t flip = in.byte();
  const core::ByteView rest = in.rest();

  // Arbitrary bytes as a sealed run.
  core::Bytes ignored;
  const bool is_run = ff::opened_run_len(rest.size(), chunk, ends).has_value();
  FUZZ_CHECK(!open_run(rest, first, chunk, ends, ignored));
  if (!is_run) {
    core::Bytes any(rest.size() >= 16 ? rest.size() - 16 : 0);
    FUZZ_CHECK(ff::open_chunks(any, kFileKey, kNonce, first, chunk, rest, ends).error().kind ==
               core::ErrorKind::InvalidParameter);
  }

  // The same bytes as plaintext.
  const auto sealed_len = ff::sealed_run_len(rest.size(), chunk, ends);
  if (!sealed_len) return 0;
  core::Bytes ct(*sealed_len);
  FUZZ_CHECK(ff::seal_chunks(ct, kFileKey, kNonce, first, chunk, rest, ends).ok());
  const size_t block = chunk + 16;
  const size_t count = (ct.size() + block - 1) / block;
  if (flip != 0) ct[flip % ct.size()] ^= 0x01;

  core::Bytes whole;
  const bool opened = open_run(ct, first, chunk, ends, whole);
  FUZZ_CHECK(opened == (flip == 0));
  if (opened) FUZZ_CHECK(std::equal(whole.begin(), whole.end(), rest.begin(), rest.end()));

  // Two runs split at a chunk boundary.
  if (count >= 2) {
    const size_t cut = (rest.size() % (count - 1) + 1) * block;
    core::Bytes halves;
    const bool a = open_run(core::ByteView(ct).first(cut), first, chunk, false, halves);
    const bool b = a && open_run(core::ByteView(ct).subspan(cut), first + cut / block, chunk,
                                 ends, halves);
    FUZZ_CHECK(b == opened);
    if (b) FUZZ_CHECK(halves == whole);
  }

  // Chunk by chunk.
  core::Bytes pieces;
  bool all = true;
  for (size_t i = 0; i < count && all; ++i) {
    const core::ByteView one = core::ByteView(ct).subspan(i * block, std::min(block, ct.size() - i * block));
    auto r = ff::open_chunk(kFileKey, kNonce, first + i, ends && i + 1 == count, one);
    all = r.ok();
    if (all) pieces.insert(pieces.end(), r.value().begin(), r.value().end());
  }
  FUZZ_CHECK(all == opened);
  if (all) FUZZ_CHECK(pieces == whole);
  return 0;
}
