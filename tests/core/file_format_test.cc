// The file format's header parser and payload crypto: every structural rule
// in its order, the NeedMore protocol over every prefix, and the chunk nonce,
// seal/open and key wrap against their definitions.
#include <openssl/evp.h>
#include <openssl/hmac.h>

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
  core::Bytes h = header({{ff::kTypeXWing, 1184, 1}, {0x7a7a, 3, 2}, {ff::kTypeMlKem768, 1152, 3}});
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
  core::Bytes bad_magic = header({{ff::kTypeXWing, 1184, 1}});
  bad_magic[7] = '\r';
  const FaultCase cases[] = {
      {"magic", bad_magic, ff::HeaderFault::BadMagic, 0},
      {"magic prefix", core::Bytes{0x89, 'T', 'X'}, ff::HeaderFault::BadMagic, 0},
      {"version", header({{ff::kTypeXWing, 1184, 1}}, 65536, 2), ff::HeaderFault::BadVersion, 2},
      {"version before chunk", header({}, 1000, 0), ff::HeaderFault::BadVersion, 0},
      {"chunk not a power of two", header({{0x7a7a, 1, 1}}, 1000), ff::HeaderFault::BadChunkSize,
       1000},
      {"chunk too small", header({{0x7a7a, 1, 1}}, 512), ff::HeaderFault::BadChunkSize, 512},
      {"chunk too large", header({{0x7a7a, 1, 1}}, 1u << 25), ff::HeaderFault::BadChunkSize,
       1u << 25},
      {"chunk zero", header({{0x7a7a, 1, 1}}, 0), ff::HeaderFault::BadChunkSize, 0},
      {"no entries", header({}), ff::HeaderFault::BadEntryCount, 0},
      {"65 entries", header({}, 65536, 1, 65), ff::HeaderFault::BadEntryCount, 65},
      {"known type, extra byte", header({{ff::kTypeMlKem1024, 1633, 1}}),
       ff::HeaderFault::BadEntryLength, 1633},
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
  const ff::ParsedHeader wrong = ff::parse_header(header({{ff::kTypeXWing, 1185, 1}}));
  EXPECT_EQ(wrong.entry_type, ff::kTypeXWing);
  EXPECT_EQ(wrong.expected, 1184u);
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

// seal and open runs as the binding does: into a buffer of the other side's size.
core::Result<core::Bytes> seal_run(const core::Bytes& key, const core::Bytes& nonce, uint64_t first,
                                   size_t chunk, core::ByteView pt, bool ends) {
  const auto len = ff::sealed_run_len(pt.size(), chunk, ends);
  if (!len) return core::Error{core::ErrorKind::InvalidParameter};
  core::Bytes out(*len);
  if (auto s = ff::seal_chunks(out, key, nonce, first, chunk, pt, ends); !s.ok()) return s.error();
  return out;
}
core::Result<core::Bytes> open_run(const core::Bytes& key, const core::Bytes& nonce, uint64_t first,
                                   size_t chunk, core::ByteView ct, bool ends) {
  const auto len = ff::opened_run_len(ct.size(), chunk, ends);
  if (!len) return core::Error{core::ErrorKind::InvalidParameter};
  core::Bytes out(*len, 0xee);
  auto s = ff::open_chunks(out, key, nonce, first, chunk, ct, ends);
  if (!s.ok()) {
    EXPECT_EQ(out, core::Bytes(*len, 0)) << "a refused run leaves its buffer wiped";
    return s.error();
  }
  return out;
}

// A run sealed at once is the chunks sealed one by one, for runs that stop
// inside the file and runs that end it (empty, short, exactly full).
TEST(FilePayload, RunsAreTheirChunksOneByOne) {
  const core::Bytes key(32, 7), nonce(32, 9);
  const size_t chunk = 16;
  struct Case {
    uint64_t first;
    size_t len;
    bool ends;
  } cases[] = {{0, 0, true}, {0, 5, true}, {3, 16, true}, {0, 48, false}, {2, 40, true},
               {7, 64, true}, {1, 16, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << " " << c.len << " " << c.ends);
    core::Bytes pt(c.len);
    for (size_t i = 0; i < pt.size(); ++i) pt[i] = static_cast<uint8_t>(i * 13 + c.first);
    core::Bytes expect;
    const size_t count = c.ends ? std::max<size_t>(1, (c.len + chunk - 1) / chunk) : c.len / chunk;
    for (size_t i = 0; i < count; ++i) {
      const size_t at = i * chunk, n = std::min(chunk, c.len - at);
      auto one = ff::seal_chunk(key, nonce, c.first + i, c.ends && i + 1 == count,
                                core::ByteView(pt.data() + at, n));
      ASSERT_TRUE(one.ok());
      expect.insert(expect.end(), one.value().begin(), one.value().end());
    }
    auto run = seal_run(key, nonce, c.first, chunk, pt, c.ends);
    ASSERT_TRUE(run.ok());
    EXPECT_EQ(hex(run.value()), hex(expect));
    auto back = open_run(key, nonce, c.first, chunk, run.value(), c.ends);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(hex(back.value()), hex(pt));
    // At another place, or with the other ending, nothing of it opens.
    EXPECT_EQ(open_run(key, nonce, c.first + 1, chunk, run.value(), c.ends).error().kind,
              core::ErrorKind::Decryption);
    if (!c.ends) {
      EXPECT_EQ(open_run(key, nonce, c.first, chunk, run.value(), true).error().kind,
                core::ErrorKind::Decryption);
    }
  }
  // A run that does not end the file is whole chunks; pieces are nonzero;
  // a buffer of another size is refused.
  for (size_t len : {size_t{0}, size_t{15}, size_t{17}}) {
    EXPECT_FALSE(ff::sealed_run_len(len, chunk, false));
    EXPECT_FALSE(ff::opened_run_len(len + 16, chunk, false));
  }
  EXPECT_FALSE(ff::sealed_run_len(4, 0, true));
  EXPECT_FALSE(ff::opened_run_len(15, chunk, true));
  core::Bytes small(20);
  EXPECT_EQ(ff::seal_chunks(small, key, nonce, 0, chunk, core::Bytes(5), true).error().kind,
            core::ErrorKind::InvalidParameter);
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

// hmac_sha256 is OpenSSL's one-shot HMAC, independent of the core's HKDF.
core::Bytes hmac_sha256(const core::Bytes& key, const core::Bytes& msg) {
  core::Bytes out(32);
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), msg.data(), msg.size(),
       out.data(), &len);
  return out;
}

TEST(FilePayload, RecipientTagIsTheTruncatedHmacOfTypeAndKey) {
  const core::Bytes file_key(32, 0x5a);
  // HKDF-SHA256 (RFC 5869, Section 2.2-2.3) with an empty salt and L = 32:
  // PRK = HMAC(0^32, ikm), K_r = HMAC(PRK, info || 0x01).
  const core::Bytes prk = hmac_sha256(core::Bytes(32, 0), file_key);
  core::Bytes info(ff::kRecipientInfo.size() + 1, 0x01);
  std::copy(ff::kRecipientInfo.begin(), ff::kRecipientInfo.end(), info.begin());
  const core::Bytes k_r = hmac_sha256(prk, info);
  for (uint16_t type : {ff::kTypeXWing, ff::kTypeMlKem768, ff::kTypeMlKem1024}) {
    SCOPED_TRACE(type);
    core::Bytes pk(ff::kem_public_key_length(type));
    for (size_t i = 0; i < pk.size(); ++i) pk[i] = static_cast<uint8_t>(i * 7);
    core::Bytes msg(2 + pk.size());
    msg[0] = static_cast<uint8_t>(type >> 8);
    msg[1] = static_cast<uint8_t>(type);
    std::copy(pk.begin(), pk.end(), msg.begin() + 2);
    const core::Bytes want = hmac_sha256(k_r, msg);
    auto tag = ff::recipient_tag(file_key, type, pk);
    ASSERT_TRUE(tag.ok());
    EXPECT_EQ(hex(tag.value()), hex(core::ByteView(want).first(16)));
    pk[pk.size() - 1] ^= 1;  // another key, another tag
    EXPECT_NE(hex(ff::recipient_tag(file_key, type, pk).value()), hex(tag.value()));
  }
  struct Refused {
    const char* name;
    size_t key_len;
    uint16_t type;
    size_t pk_len;
  } refused[] = {{"short file key", 31, ff::kTypeXWing, 1216},
                 {"passphrase type", 32, ff::kTypePassphrase, 1216},
                 {"unknown type", 32, 0x7a7a, 1216},
                 {"X-Wing key for ML-KEM-768", 32, ff::kTypeMlKem768, 1216},
                 {"ML-KEM-768 key for X-Wing", 32, ff::kTypeXWing, 1184}};
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.name);
    auto tag = ff::recipient_tag(core::Bytes(r.key_len, 1), r.type, core::Bytes(r.pk_len, 2));
    ASSERT_FALSE(tag.ok());
    EXPECT_EQ(tag.error().kind, core::ErrorKind::InvalidParameter);
  }
}

}  // namespace
