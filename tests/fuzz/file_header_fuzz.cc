// The file format's header parser on arbitrary bytes. Invariants: a header
// that parses lies inside the data, re-encodes to exactly its bytes, and
// every shorter prefix of it asks for more (NeedMore, with need beyond the
// prefix); NeedMore always asks for more than there is. Then the bytes after
// the header are opened as a chunk under a fixed key: never a success of a
// chunk the fuzzer could not have sealed, and never any error but Decryption.
#include <algorithm>

#include "core/file_format/header.h"
#include "core/file_format/payload.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace ff = core::file_format;

void put(core::Bytes& out, uint64_t v, int n) {
  for (int s = 8 * (n - 1); s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const core::ByteView in(data, size);
  const ff::ParsedHeader p = ff::parse_header(in);
  if (p.fault == ff::HeaderFault::NeedMore) {
    FUZZ_CHECK(p.need > size);
    return 0;
  }
  if (p.fault != ff::HeaderFault::None) return 0;

  FUZZ_CHECK(p.length <= size);
  FUZZ_CHECK(p.entry_count >= 1 && p.entry_count <= ff::kMaxEntries);
  core::Bytes again(ff::kMagic.begin(), ff::kMagic.end());
  again.push_back(ff::kVersion);
  put(again, p.chunk_size, 4);
  again.insert(again.end(), p.nonce.begin(), p.nonce.end());
  put(again, p.entry_count, 2);
  for (size_t i = 0; i < p.entry_count; ++i) {
    const ff::EntryView& e = p.entries[i];
    const uint32_t known = ff::known_entry_length(e.type);
    FUZZ_CHECK(known == 0 || e.body.size() == known);
    put(again, e.type, 2);
    put(again, e.body.size(), 4);
    again.insert(again.end(), e.body.begin(), e.body.end());
  }
  again.insert(again.end(), p.mac.begin(), p.mac.end());
  FUZZ_CHECK(again.size() == p.length && std::equal(again.begin(), again.end(), data));
  for (size_t n : {size_t{0}, size_t{8}, size_t{47}, p.length / 2, p.length - 1}) {
    const ff::ParsedHeader q = ff::parse_header(in.first(n));
    FUZZ_CHECK(q.fault == ff::HeaderFault::NeedMore && q.need > n && q.need <= p.length);
  }

  static const core::Bytes kFileKey(32, 0x42);
  auto chunk = ff::open_chunk(kFileKey, p.nonce, 0, true, in.subspan(p.length));
  FUZZ_CHECK(!chunk.ok() && chunk.error().kind == core::ErrorKind::Decryption);
  return 0;
}
