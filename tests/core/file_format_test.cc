// The file format's header parser and payload crypto: every structural rule
// in its order, the NeedMore protocol over every prefix, and the chunk nonce,
// seal/open and key wrap against their definitions.
#include <algorithm>

#include "core/file_format/header.h"
#include "core/file_format/payload.h"
#include "tests/core/test_support.h"

namespace {

namespace ff = core::file_format;
using testsupport::hex;

void put16(core::Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
void put32(core::Bytes& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

struct E {
  uint16_t type;
  uint32_t length;
  uint8_t fill;
};

// header encodes a header with zero nonce and MAC and bodies of `fill`.
core::Bytes header(std::initializer_list<E> entries, uint32_t chunk = 65536, uint8_t version = 1,
                   int count = -1) {
  core::Bytes out(ff::kMagic.begin(), ff::kMagic.end());
  out.push_back(version);
  put32(out, chunk);
  out.insert(out.end(), 32, 0xaa);
  put16(out, count < 0 ? static_cast<uint16_t>(entries.size()) : static_cast<uint16_t>(count));
  for (const E& e : entries) {
    put16(out, e.type);
    put32(out, e.length);
    out.insert(out.end(), e.length, e.fill);
  }
  out.insert(out.end(), 32, 0xbb);
  return out;
}

TEST(FileHeader, ParsesAndPointsIntoTheData) {
  core::Bytes h = header({{ff::kTypeXWing, 1168, 1}, {0x7a7a, 3, 2}, {ff::kTypeMlKem768, 1136, 3}});
  const size_t len = h.size();
  h.insert(h.end(), 100, 0xcc);  // payload after the header is not read
  const ff::ParsedHeader p = ff::parse_header(h);
  ASSERT_EQ(p.fault, ff::HeaderFault::None);
  EXPECT_EQ(p.length, len);
  EXPECT_EQ(p.chunk_size, 65536u);
  EXPECT_EQ(p.entry_count, 3u);
  EXPECT_EQ(p.entries[1].type, 0x7a7a);
  EXPECT_EQ(hex(p.entries[1].body), "020202");
  EXPECT_EQ(p.nonce.data(), h.data() + 13);
  EXPECT_EQ(p.mac.data(), h.data() + len - 32);
}

TEST(FileHeader, EveryShorterPrefixAsksForMore) {
  const core::Bytes h = header({{ff::kTypePassphrase, 67, 1}});
  for (size_t n = 0; n < h.size(); ++n) {
    const ff::ParsedHeader p = ff::parse_header(core::ByteView(h).first(n));
    ASSERT_EQ(p.fault, ff::HeaderFault::NeedMore) << n;
    EXPECT_GT(p.need, n);
    EXPECT_LE(p.need, h.size());
  }
}

struct FaultCase {
  const char* name;
  core::Bytes data;
  ff::HeaderFault fault;
  uint64_t value;
};

TEST(FileHeader, EachRuleInItsOrder) {
  core::Bytes bad_magic = header({{ff::kTypeXWing, 1168, 1}});
  bad_magic[7] = '\r';
  const FaultCase cases[] = {
      {"magic", bad_magic, ff::HeaderFault::BadMagic, 0},
      {"magic prefix", core::Bytes{0x89, 'T', 'X'}, ff::HeaderFault::BadMagic, 0},
      {"version", header({{ff::kTypeXWing, 1168, 1}}, 65536, 2), ff::HeaderFault::BadVersion, 2},
      {"version before chunk", header({}, 1000, 0), ff::HeaderFault::BadVersion, 0},
      {"chunk not a power of two", header({{0x7a7a, 1, 1}}, 1000), ff::HeaderFault::BadChunkSize,
       1000},
      {"chunk too small", header({{0x7a7a, 1, 1}}, 512), ff::HeaderFault::BadChunkSize, 512},
      {"chunk too large", header({{0x7a7a, 1, 1}}, 1u << 25), ff::HeaderFault::BadChunkSize,
       1u << 25},
      {"chunk zero", header({{0x7a7a, 1, 1}}, 0), ff::HeaderFault::BadChunkSize, 0},
      {"no entries", header({}), ff::HeaderFault::BadEntryCount, 0},
      {"65 entries", header({}, 65536, 1, 65), ff::HeaderFault::BadEntryCount, 65},
      {"known type, extra byte", header({{ff::kTypeMlKem1024, 1617, 1}}),
       ff::HeaderFault::BadEntryLength, 1617},
      {"known type, short", header({{ff::kTypePassphrase, 66, 1}}),
       ff::HeaderFault::BadEntryLength, 66},
      {"unknown type too long", header({{0x7a7a, 65537, 1}}), ff::HeaderFault::EntryTooLong,
       65537},
      {"duplicate", header({{0x7a7a, 4, 1}, {0x7a7b, 4, 1}, {0x7a7a, 4, 1}}),
       ff::HeaderFault::DuplicateEntry, 0},
      {"passphrase beside", header({{0x7a7a, 4, 1}, {ff::kTypePassphrase, 67, 1}}),
       ff::HeaderFault::PassphraseNotAlone, 0},
  };
  for (const FaultCase& c : cases) {
    const ff::ParsedHeader p = ff::parse_header(c.data);
    EXPECT_EQ(p.fault, c.fault) << c.name;
    EXPECT_EQ(p.value, c.value) << c.name;
  }
  // The bounds themselves are accepted.
  for (uint32_t chunk : {1024u, 1u << 24}) {
    EXPECT_EQ(ff::parse_header(header({{0x7a7a, 65536, 1}}, chunk)).fault, ff::HeaderFault::None);
  }
  const ff::ParsedHeader wrong = ff::parse_header(header({{ff::kTypeXWing, 1169, 1}}));
  EXPECT_EQ(wrong.entry_type, ff::kTypeXWing);
  EXPECT_EQ(wrong.expected, 1168u);
}

TEST(FilePayload, ChunkNonceIsTheIndexAndTheFlag) {
  EXPECT_EQ(hex(ff::chunk_nonce(0, false)), "000000000000000000000000");
  EXPECT_EQ(hex(ff::chunk_nonce(0x0102030405060708, true)), "000000010203040506070801");
}

TEST(FilePayload, ChunksOpenOnlyAtTheirPlace) {
  const core::Bytes key(32, 7), nonce(32, 9), other(32, 8), pt{1, 2, 3};
  auto ct = ff::seal_chunk(key, nonce, 5, false, pt);
  ASSERT_TRUE(ct.ok());
  ASSERT_EQ(ct.value().size(), pt.size() + 16);
  auto back = ff::open_chunk(key, nonce, 5, false, ct.value());
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(hex(core::view(back.value())), "010203");
  struct Wrong {
    const core::Bytes& key;
    const core::Bytes& nonce;
    uint64_t index;
    bool last;
  } wrongs[] = {{key, nonce, 4, false}, {key, nonce, 5, true}, {other, nonce, 5, false},
                {key, other, 5, false}};
  for (const Wrong& w : wrongs) {
    auto r = ff::open_chunk(w.key, w.nonce, w.index, w.last, ct.value());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, core::ErrorKind::Decryption);
  }
  EXPECT_EQ(ff::seal_chunk(core::Bytes(31), nonce, 0, true, pt).error().kind,
            core::ErrorKind::InvalidParameter);
  EXPECT_EQ(ff::open_chunk(key, nonce, 0, true, core::Bytes(15)).error().kind,
            core::ErrorKind::Decryption);
}

TEST(FilePayload, KeyWrapNeedsItsLabel) {
  const core::Bytes kek(32, 1), file_key(32, 2);
  const core::Bytes label{'a'}, other{'b'};
  auto w = ff::wrap_file_key(kek, label, file_key);
  ASSERT_TRUE(w.ok());
  ASSERT_EQ(w.value().size(), 48u);
  EXPECT_TRUE(ff::unwrap_file_key(kek, label, w.value()).ok());
  EXPECT_EQ(ff::unwrap_file_key(kek, other, w.value()).error().kind,
            core::ErrorKind::Decryption);
  EXPECT_EQ(ff::unwrap_file_key(kek, label, core::ByteView(w.value()).first(47)).error().kind,
            core::ErrorKind::InvalidParameter);
}

}  // namespace
