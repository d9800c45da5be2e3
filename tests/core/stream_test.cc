// The stream format: header and frames, nonce and associated data per index,
// both state machines, their errors and check orders, and the counter limit.
#include "core/stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/common/rand.h"
#include "core/kem.h"
#include "tests/core/gcm_oracle.h"
#include "tests/core/test_support.h"

namespace {

using core::ErrorKind;
using core::Level;
using core::StreamDecryptor;
using core::StreamEncryptor;
using core::StreamEncryptorStart;
using symtest::Bytes;
using symtest::ByteView;
using symtest::key_pair;
using symtest::kLevels;
using symtest::pattern;

constexpr const char* kTagLen = "AES-GCM tag must be 16 bytes";
constexpr const char* kCtTooLong = "ciphertext exceeds configured chunk_size";

using testsupport::expect_error;

StreamEncryptorStart start(Level level, uint32_t chunk_size) {
  auto r = StreamEncryptor::create(core::view(key_pair(level).ek), chunk_size, level);
  EXPECT_TRUE(r.ok());
  return std::move(r.value());
}

StreamDecryptor open_stream(const Bytes& header, Level level) {
  auto r = StreamDecryptor::create(core::view(header), core::view(key_pair(level).dk), level);
  EXPECT_TRUE(r.ok());
  return std::move(r.value());
}

struct Frame {
  Bytes ciphertext, tag;
};
Frame split(const Bytes& frame) {
  const uint32_t l = core::load_be32(frame.data());
  EXPECT_EQ(frame.size(), l + 20u);
  return {Bytes(frame.begin() + 4, frame.begin() + 4 + l), Bytes(frame.end() - 16, frame.end())};
}

// A short stream: header, frames of the given plaintexts, EOF marker.
struct Recorded {
  Bytes header;
  std::vector<Bytes> plaintexts;
  std::vector<Frame> frames;
  Bytes eof_tag;
};
Recorded record(Level level, uint32_t chunk_size, std::vector<Bytes> plaintexts) {
  Recorded rec;
  auto s = start(level, chunk_size);
  rec.header = s.header;
  for (const Bytes& pt : plaintexts) {
    auto f = s.encryptor.encrypt_chunk(pt);
    EXPECT_TRUE(f.ok());
    rec.frames.push_back(split(f.value()));
  }
  auto eof = StreamEncryptor::finalize(std::move(s.encryptor));
  EXPECT_TRUE(eof.ok());
  EXPECT_EQ(Bytes(eof.value().begin(), eof.value().begin() + 4), Bytes(4, 0));
  rec.eof_tag.assign(eof.value().begin() + 4, eof.value().end());
  rec.plaintexts = std::move(plaintexts);
  return rec;
}

Bytes index_be(uint32_t i) {
  Bytes b(4);
  core::store_be32(b.data(), i);
  return b;
}

TEST(Stream, HeaderLayout) {
  EXPECT_EQ(core::stream_header_len(Level::MlKem512), 784u);
  EXPECT_EQ(core::stream_header_len(Level::MlKem768), 1104u);
  EXPECT_EQ(core::stream_header_len(Level::MlKem1024), 1584u);
  for (Level level : kLevels) {
    auto s = start(level, 16777216);
    const size_t c = core::params(level).ct_len();
    ASSERT_EQ(s.header.size(), c + 16);
    EXPECT_EQ(Bytes(s.header.begin() + c + 12, s.header.end()), (Bytes{1, 0, 0, 0}));
    const auto& bn = s.encryptor.base_nonce();
    EXPECT_EQ(Bytes(s.header.begin() + c, s.header.begin() + c + 12), Bytes(bn.begin(), bn.end()));
    EXPECT_EQ(s.encryptor.chunk_size(), 16777216u);
    EXPECT_EQ(s.encryptor.chunk_index(), 0u);
  }
}

TEST(Stream, RoundTripAtEveryLevel) {
  for (Level level : kLevels) {
    SCOPED_TRACE(int(level));
    const Recorded rec = record(level, 1000, {pattern(1000), pattern(1), pattern(0), pattern(999)});
    auto dec = open_stream(rec.header, level);
    EXPECT_EQ(dec.chunk_size(), 1000u);
    for (size_t i = 0; i < rec.frames.size(); ++i) {
      auto pt = dec.decrypt_chunk(rec.frames[i].ciphertext, rec.frames[i].tag);
      ASSERT_TRUE(pt.ok());
      EXPECT_EQ(pt.value(), rec.plaintexts[i]);
      EXPECT_EQ(dec.chunk_index(), i + 1);
    }
    EXPECT_FALSE(dec.eof_seen());
    ASSERT_TRUE(dec.process_eof(rec.eof_tag).ok());
    EXPECT_TRUE(dec.eof_seen());
    EXPECT_EQ(dec.chunk_index(), rec.frames.size() + 1);
    StreamDecryptor::finalize(std::move(dec));
  }
}

// Every frame and the marker open with plain AES-256-GCM under the key from
// decapsulating the header's capsule, nonce BE32(i) || base[4..12), aad BE32(i).
TEST(Stream, FramesAgreeWithPlainAesGcm) {
  for (Level level : kLevels) {
    SCOPED_TRACE(int(level));
    const Recorded rec = record(level, 64, {pattern(64, 1), pattern(10, 2), pattern(33, 3)});
    const size_t c = core::params(level).ct_len();
    auto ss = core::ml_kem_decaps(ByteView(rec.header.data(), c), core::view(key_pair(level).dk),
                                  level);
    ASSERT_TRUE(ss.ok());
    const ByteView base(rec.header.data() + c, 12);
    for (uint32_t i = 0; i <= rec.frames.size(); ++i) {
      const Bytes nonce = symtest::concat({index_be(i), base.subspan(4)});
      const bool eof = i == rec.frames.size();
      const Bytes ct_tag = eof ? rec.eof_tag
                               : symtest::concat({rec.frames[i].ciphertext, rec.frames[i].tag});
      auto opened = symtest::gcm_open(ss.value().view(), nonce, index_be(i), ct_tag);
      ASSERT_TRUE(opened.has_value()) << "index " << i;
      EXPECT_EQ(*opened, eof ? Bytes{} : rec.plaintexts[i]);
    }
  }
}

TEST(Stream, EncryptorCreationErrorsInOrder) {
  const auto& kp = key_pair(Level::MlKem768);
  const Bytes short_ek(kp.ek.begin(), kp.ek.end() - 1);
  struct Case {
    const char* name;
    const Bytes& ek;
    uint32_t chunk_size;
    long fail_draw;  // -1: none
    ErrorKind kind;
    const char* message;
  };
  const Case kCases[] = {
      {"key size first", short_ek, 0, -1, ErrorKind::InvalidParameter,
       "encryption key has incorrect size"},
      {"chunk_size 0", kp.ek, 0, -1, ErrorKind::InvalidParameter,
       "chunk_size must be at least 1 byte"},
      {"chunk_size 16 MiB + 1", kp.ek, 16777217, -1, ErrorKind::InvalidParameter,
       "chunk_size exceeds the 16 MiB safety cap"},
      {"chunk_size 2^32 - 1", kp.ek, UINT32_MAX, -1, ErrorKind::InvalidParameter,
       "chunk_size exceeds the 16 MiB safety cap"},
      {"encapsulation draw fails", kp.ek, 64, 0, ErrorKind::Rng, nullptr},
      {"base nonce draw fails", kp.ek, 64, 1, ErrorKind::Rng, nullptr},
      {"nonce draw comes before the chunk_size check", kp.ek, 0, 1, ErrorKind::Rng, nullptr},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    core::testing::fail_random_after(c.fail_draw);
    auto r = StreamEncryptor::create(core::view(c.ek), c.chunk_size, Level::MlKem768);
    core::testing::fail_random_after(-1);
    ASSERT_FALSE(r.ok());
    expect_error(r.error(), c.kind, c.message);
  }
  // A refused chunk_size is reported only after both draws.
  const long before = core::testing::random_calls();
  EXPECT_FALSE(StreamEncryptor::create(core::view(kp.ek), 0, Level::MlKem768).ok());
  EXPECT_EQ(core::testing::random_calls() - before, 2);
  EXPECT_TRUE(StreamEncryptor::create(core::view(kp.ek), 1, Level::MlKem768).ok());
}

TEST(Stream, DecryptorCreationErrorsInOrder) {
  const auto& kp = key_pair(Level::MlKem768);
  const Bytes header = start(Level::MlKem768, 100).header;
  auto with_chunk_size = [&](uint32_t v) {
    Bytes h = header;
    core::store_be32(h.data() + 1100, v);
    return h;
  };
  const Bytes short_dk(kp.dk.begin(), kp.dk.end() - 1);
  const Bytes short_header(header.begin(), header.end() - 1);
  const char* kShort = "stream header too short for the given security level";
  const char* kDk = "decapsulation key has incorrect size";
  const char* kRange = "chunk_size must be 1..=16 MiB";
  struct Case {
    const char* name;
    Bytes header;
    core::ByteView dk;
    const char* message;
  };
  const Case kCases[] = {
      {"header one short", short_header, kp.dk, kShort},
      {"short header beats a bad key", short_header, short_dk, kShort},
      {"empty header", {}, kp.dk, kShort},
      {"bad key", header, short_dk, kDk},
      {"bad key beats a bad chunk_size", with_chunk_size(0), short_dk, kDk},
      {"chunk_size 0", with_chunk_size(0), kp.dk, kRange},
      {"chunk_size 16 MiB + 1", with_chunk_size(16777217), kp.dk, kRange},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto r = StreamDecryptor::create(core::view(c.header), c.dk, Level::MlKem768);
    ASSERT_FALSE(r.ok());
    expect_error(r.error(), ErrorKind::InvalidParameter, c.message);
  }
  auto big = StreamDecryptor::create(core::view(with_chunk_size(16777216)), core::view(kp.dk),
                                     Level::MlKem768);
  ASSERT_TRUE(big.ok());
  EXPECT_EQ(big.value().chunk_size(), 16777216u);
  Bytes longer = header;
  longer.insert(longer.end(), {1, 2, 3});
  EXPECT_TRUE(StreamDecryptor::create(core::view(longer), core::view(kp.dk), Level::MlKem768).ok());
}

TEST(Stream, EncryptChunkSizeLimits) {
  auto s = start(Level::MlKem512, 32);
  auto over = s.encryptor.encrypt_chunk(pattern(33));
  ASSERT_FALSE(over.ok());
  expect_error(over.error(), ErrorKind::InvalidParameter, "plaintext exceeds configured chunk_size");
  EXPECT_EQ(s.encryptor.chunk_index(), 0u);
  auto exact = s.encryptor.encrypt_chunk(pattern(32));
  ASSERT_TRUE(exact.ok());
  EXPECT_EQ(exact.value().size(), 52u);
  EXPECT_EQ(core::load_be32(exact.value().data()), 32u);
  EXPECT_EQ(s.encryptor.chunk_index(), 1u);
}

// An empty chunk's frame is byte for byte the marker finalize gives at the
// same index.
TEST(Stream, EmptyChunkFrameEqualsTheEofMarker) {
  auto s = start(Level::MlKem768, 8);
  ASSERT_TRUE(s.encryptor.encrypt_chunk(pattern(8)).ok());
  auto empty = s.encryptor.encrypt_chunk({});
  ASSERT_TRUE(empty.ok());
  ASSERT_EQ(empty.value().size(), 20u);
  core::testing::set_stream_index(s.encryptor, 1);
  auto eof = StreamEncryptor::finalize(std::move(s.encryptor));
  ASSERT_TRUE(eof.ok());
  EXPECT_EQ(empty.value(), Bytes(eof.value().begin(), eof.value().end()));
}

TEST(Stream, DecryptErrorsAndCheckOrder) {
  const Recorded rec = record(Level::MlKem768, 16, {pattern(16), pattern(5)});
  const Bytes long_ct = pattern(17), tag15(15), tag17(17);
  auto dec = open_stream(rec.header, Level::MlKem768);
  struct Case {
    const char* name;
    Bytes ciphertext, tag;
    ErrorKind kind;
    const char* message;
  };
  const Case kOpen[] = {
      {"short tag beats long ciphertext", long_ct, tag15, ErrorKind::InvalidParameter, kTagLen},
      {"long tag", rec.frames[0].ciphertext, tag17, ErrorKind::InvalidParameter, kTagLen},
      {"long ciphertext", long_ct, rec.frames[0].tag, ErrorKind::InvalidParameter, kCtTooLong},
      {"wrong tag", rec.frames[0].ciphertext, Bytes(16), ErrorKind::Decryption, nullptr},
  };
  for (const Case& c : kOpen) {
    SCOPED_TRACE(c.name);
    auto r = dec.decrypt_chunk(c.ciphertext, c.tag);
    ASSERT_FALSE(r.ok());
    expect_error(r.error(), c.kind, c.message);
    EXPECT_EQ(dec.chunk_index(), 0u);
  }
  auto eof_short = dec.process_eof(tag15);
  ASSERT_FALSE(eof_short.ok());
  expect_error(eof_short.error(), ErrorKind::InvalidParameter, kTagLen);

  for (const Frame& f : rec.frames) ASSERT_TRUE(dec.decrypt_chunk(f.ciphertext, f.tag).ok());
  ASSERT_TRUE(dec.process_eof(rec.eof_tag).ok());
  // After the marker: length checks still come first, then Decryption.
  const Case kAfterEof[] = {
      {"short tag", rec.frames[0].ciphertext, tag15, ErrorKind::InvalidParameter, kTagLen},
      {"long ciphertext", long_ct, rec.frames[0].tag, ErrorKind::InvalidParameter, kCtTooLong},
      {"data after the marker", rec.frames[0].ciphertext, rec.frames[0].tag,
       ErrorKind::Decryption, nullptr},
  };
  for (const Case& c : kAfterEof) {
    SCOPED_TRACE(c.name);
    auto r = dec.decrypt_chunk(c.ciphertext, c.tag);
    ASSERT_FALSE(r.ok());
    expect_error(r.error(), c.kind, c.message);
  }
  auto again = dec.process_eof(rec.eof_tag);
  ASSERT_FALSE(again.ok());
  expect_error(again.error(), ErrorKind::Decryption, nullptr);
  EXPECT_EQ(dec.chunk_index(), 3u);
  EXPECT_TRUE(dec.eof_seen());
}

// The index binds each chunk to its place: swapped, replayed and dropped
// chunks fail without moving the index, so the right chunk still opens.
TEST(Stream, ReorderReplayAndDropAreRefused) {
  const Recorded rec = record(Level::MlKem512, 8, {pattern(8, 1), pattern(8, 2), pattern(8, 3)});
  const auto& f = rec.frames;
  auto dec = open_stream(rec.header, Level::MlKem512);
  auto expect_refused = [&](const Frame& fr, uint32_t index) {
    Bytes out(fr.ciphertext.size(), 0xAA);
    auto r = dec.decrypt_chunk_into(out, fr.ciphertext, fr.tag);
    ASSERT_FALSE(r.ok());
    expect_error(r.error(), ErrorKind::Decryption, nullptr);
    EXPECT_EQ(out, Bytes(out.size(), 0));
    EXPECT_EQ(dec.chunk_index(), index);
  };
  expect_refused(f[1], 0);  // swapped
  expect_refused(rec.frames[2], 0);  // dropped
  ASSERT_EQ(dec.decrypt_chunk(f[0].ciphertext, f[0].tag).value(), rec.plaintexts[0]);
  expect_refused(f[0], 1);  // replayed
  Frame damaged = f[1];
  damaged.ciphertext[3] ^= 0x10;
  expect_refused(damaged, 1);  // recovers after a wrong chunk
  ASSERT_EQ(dec.decrypt_chunk(f[1].ciphertext, f[1].tag).value(), rec.plaintexts[1]);
  // The marker's tag is not accepted in place of chunk 2.
  EXPECT_FALSE(dec.process_eof(rec.eof_tag).ok());
  ASSERT_EQ(dec.decrypt_chunk(f[2].ciphertext, f[2].tag).value(), rec.plaintexts[2]);
  ASSERT_TRUE(dec.process_eof(rec.eof_tag).ok());
}

TEST(Stream, TruncationAndEofTagAsEmptyChunk) {
  const Recorded rec = record(Level::MlKem1024, 8, {pattern(8), pattern(3)});
  auto dec = open_stream(rec.header, Level::MlKem1024);
  for (const Frame& f : rec.frames) ASSERT_TRUE(dec.decrypt_chunk(f.ciphertext, f.tag).ok());
  EXPECT_FALSE(dec.eof_seen());  // truncated before its marker: finalize still succeeds
  // The marker's tag given as an empty data chunk opens, advances the index
  // and does not count as the marker.
  auto empty = dec.decrypt_chunk({}, rec.eof_tag);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty.value().empty());
  EXPECT_EQ(dec.chunk_index(), 3u);
  EXPECT_FALSE(dec.eof_seen());
  auto later = dec.process_eof(rec.eof_tag);
  ASSERT_FALSE(later.ok());
  EXPECT_EQ(later.error().kind, ErrorKind::Decryption);
  StreamDecryptor::finalize(std::move(dec));
}

TEST(Stream, OnlyBaseNonceBytesFourToElevenEnterTheNonce) {
  const Recorded rec = record(Level::MlKem768, 8, {pattern(8), pattern(2)});
  const size_t base = core::params(Level::MlKem768).ct_len();
  for (size_t byte = 0; byte < 12; ++byte) {
    SCOPED_TRACE(byte);
    Bytes header = rec.header;
    header[base + byte] ^= 0xFF;
    auto dec = open_stream(header, Level::MlKem768);
    auto r = dec.decrypt_chunk(rec.frames[0].ciphertext, rec.frames[0].tag);
    EXPECT_EQ(r.ok(), byte < 4);
  }
  Bytes bad_capsule = rec.header;
  bad_capsule[0] ^= 1;
  auto dec = open_stream(bad_capsule, Level::MlKem768);  // implicit rejection
  auto r = dec.decrypt_chunk(rec.frames[0].ciphertext, rec.frames[0].tag);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::Decryption);
}

// At index 2^32 - 1 every advancing operation is an internal fault that
// changes nothing; the index never wraps.
TEST(Stream, CounterLimitIsAnInternalFault) {
  constexpr uint32_t kLast = core::kStreamIndexLimit - 1;
  auto s = start(Level::MlKem768, 8);
  const Bytes header = s.header;
  const auto& kp = key_pair(Level::MlKem768);
  core::testing::set_stream_index(s.encryptor, kLast);
  auto last = s.encryptor.encrypt_chunk(pattern(8));
  ASSERT_TRUE(last.ok());
  EXPECT_EQ(s.encryptor.chunk_index(), core::kStreamIndexLimit);
  Bytes frame(28, 0xAA);
  auto fault = s.encryptor.encrypt_chunk_into(frame, pattern(8));
  ASSERT_FALSE(fault.ok());
  EXPECT_EQ(fault.error().kind, ErrorKind::Internal);
  EXPECT_EQ(frame, Bytes(28, 0));
  EXPECT_EQ(s.encryptor.chunk_index(), core::kStreamIndexLimit);
  auto eof = StreamEncryptor::finalize(std::move(s.encryptor));  // does not advance
  ASSERT_TRUE(eof.ok());
  const Bytes eof_tag(eof.value().begin() + 4, eof.value().end());

  // The frame at index 2^32 - 2 opens with plain AES-GCM at nonce ff ff ff fe.
  auto ss = core::ml_kem_decaps(ByteView(header.data(), 1088), core::view(kp.dk), Level::MlKem768);
  ASSERT_TRUE(ss.ok());
  const Bytes nonce = symtest::concat({index_be(kLast), ByteView(header.data() + 1088 + 4, 8)});
  EXPECT_TRUE(symtest::gcm_open(ss.value().view(), nonce, index_be(kLast),
                                ByteView(last.value()).subspan(4))
                  .has_value());

  auto dec = open_stream(header, Level::MlKem768);
  core::testing::set_stream_index(dec, kLast);
  const Frame f = split(last.value());
  ASSERT_TRUE(dec.decrypt_chunk(f.ciphertext, f.tag).ok());
  EXPECT_EQ(dec.chunk_index(), core::kStreamIndexLimit);
  auto wrong = dec.process_eof(Bytes(16));
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().kind, ErrorKind::Decryption);
  auto at_limit = dec.process_eof(eof_tag);
  ASSERT_FALSE(at_limit.ok());
  EXPECT_EQ(at_limit.error().kind, ErrorKind::Internal);
  EXPECT_FALSE(dec.eof_seen());
  EXPECT_EQ(dec.chunk_index(), core::kStreamIndexLimit);
  // An empty data chunk that verifies at the limit is not returned either.
  auto chunk_at_limit = dec.decrypt_chunk({}, eof_tag);
  ASSERT_FALSE(chunk_at_limit.ok());
  EXPECT_EQ(chunk_at_limit.error().kind, ErrorKind::Internal);
  EXPECT_EQ(dec.chunk_index(), core::kStreamIndexLimit);
}

}  // namespace
