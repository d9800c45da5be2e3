// Reading stream framing from fed bytes: real streams cut at every boundary,
// fed a byte at a time, extended, and inputs that are no stream at all.
#include "core/stream_frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/core/gcm_oracle.h"

namespace {

using core::FrameStep;
using core::Framing;
using core::FramingWhy;
using core::Level;
using symtest::Bytes;
using symtest::key_pair;
using symtest::kLevels;
using symtest::pattern;

// make_stream encrypts `plain` in chunks of `chunk_size`, end marker included.
Bytes make_stream(Level level, uint32_t chunk_size, const Bytes& plain) {
  auto r = core::StreamEncryptor::create(core::view(key_pair(level).ek), chunk_size, level);
  EXPECT_TRUE(r.ok());
  Bytes out = r.value().header;
  for (size_t at = 0; at < plain.size(); at += chunk_size) {
    const size_t n = std::min<size_t>(chunk_size, plain.size() - at);
    auto f = r.value().encryptor.encrypt_chunk(core::ByteView(plain.data() + at, n));
    EXPECT_TRUE(f.ok());
    out.insert(out.end(), f.value().begin(), f.value().end());
  }
  auto eof = core::StreamEncryptor::finalize(std::move(r.value().encryptor));
  EXPECT_TRUE(eof.ok());
  out.insert(out.end(), eof.value().begin(), eof.value().end());
  return out;
}

// Walk feeds `input` to the reader `step` bytes more at a time (or all at
// once) and returns the first refusal, or Accepted after the end check; it
// records each frame length accepted.
struct Walk {
  FrameStep end{Framing::Accepted};
  uint64_t index = 0;  // the frame being read at the end
  std::vector<uint32_t> lengths;
};

Walk walk(const Bytes& input, Level level, size_t step) {
  Walk w;
  size_t fed = std::min(step, input.size());
  auto view = [&](size_t from) { return core::ByteView(input.data() + from, fed - from); };
  auto feed_to = [&](size_t need) {
    while (fed < need && fed < input.size()) fed = std::min(input.size(), fed + step);
  };
  FrameStep s;
  for (;;) {
    s = core::read_stream_header(view(0), level, fed == input.size());
    if (s.kind != Framing::NeedMore) break;
    feed_to(s.total);
  }
  if (s.kind != Framing::Accepted) {
    w.end = s;
    return w;
  }
  const uint32_t chunk_size = s.length;
  size_t at = s.total;
  for (;;) {
    feed_to(at + 1);
    s = core::read_frame(view(at), fed - at, chunk_size, fed == input.size());
    if (s.kind == Framing::NeedMore) {
      feed_to(at + s.total);
      continue;
    }
    if (s.kind != Framing::Accepted) break;
    w.lengths.push_back(s.length);
    at += s.total;
    if (s.length == 0) {
      for (;;) {
        feed_to(at + 1);
        s = core::read_after_end(fed - at, fed == input.size());
        if (s.kind != Framing::NeedMore) break;
      }
      break;
    }
    ++w.index;
  }
  w.end = s;
  return w;
}

std::string message(const Walk& w, Level level, uint32_t chunk_size) {
  auto m = core::framing_message(w.end, level, w.index, chunk_size);
  EXPECT_TRUE(m.ok());
  return m.ok() ? m.value() : std::string();
}

TEST(StreamFrames, SizesFollowTheLevelTable) {
  const size_t expected[3][4] = {{800, 1632, 768, 784}, {1184, 2400, 1088, 1104},
                                 {1568, 3168, 1568, 1584}};
  for (Level level : kLevels) {
    const auto s = core::stream_sizes(level);
    const auto& e = expected[static_cast<size_t>(level)];
    EXPECT_EQ(s.public_key_len, e[0]);
    EXPECT_EQ(s.secret_key_len, e[1]);
    EXPECT_EQ(s.capsule_len, e[2]);
    EXPECT_EQ(s.header_len, e[3]);
    EXPECT_EQ(s.secret_key_len, s.dk_pke_len + s.public_key_len + 64);  // FIPS 203, Alg. 16
    EXPECT_EQ(s.wrapped_key_len, s.secret_key_len + 50);  // magic .. nonce (34), tag (16)
  }
}

TEST(StreamFrames, WholeStreamsReadTheSameWhateverTheFeed) {
  for (Level level : kLevels) {
    const Bytes stream = make_stream(level, 100, pattern(250));
    for (size_t step : {size_t{1}, size_t{7}, size_t{100}, stream.size()}) {
      SCOPED_TRACE(step);
      const Walk w = walk(stream, level, step);
      EXPECT_EQ(w.end.kind, Framing::Accepted);
      EXPECT_EQ(w.lengths, (std::vector<uint32_t>{100, 100, 50, 0}));
    }
  }
}

TEST(StreamFrames, EveryCutIsNamed) {
  const Level level = Level::MlKem768;
  const Bytes stream = make_stream(level, 100, pattern(250));
  const size_t hlen = core::stream_header_len(level);
  for (size_t cut = 0; cut < stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    const Bytes part(stream.begin(), stream.begin() + cut);
    const Walk w = walk(part, level, 64);
    if (cut == 0) {
      EXPECT_EQ(w.end.kind, Framing::NotAStream);
      EXPECT_EQ(message(w, level, 100), "not an encrypted stream: the input is empty");
      continue;
    }
    if (w.end.kind == Framing::OtherLevel) continue;  // a prefix may frame as ML-KEM-512
    ASSERT_EQ(w.end.kind, Framing::Truncated);
    if (cut < hlen) {
      EXPECT_EQ(message(w, level, 100), "stream header is truncated: " + std::to_string(cut) +
                                             " of " + std::to_string(hlen) + " bytes");
      continue;
    }
    // Frames of 120, 120, 70 bytes, then the 20-byte marker.
    const size_t sizes[] = {120, 120, 70, 20};
    size_t start = hlen, i = 0;
    while (cut >= start + sizes[i]) start += sizes[i++];
    EXPECT_EQ(w.index, i);
    const size_t in = cut - start;
    std::string want;
    if (in == 0) {
      want = "stream ended after " + std::to_string(i) + " frames without its end-of-stream marker";
    } else if (in < 4) {
      want = "stream ended inside the length field of frame " + std::to_string(i);
    } else {
      want = "stream ended inside frame " + std::to_string(i) + ": " + std::to_string(in - 4) +
             " of " + std::to_string(sizes[i] - 4) + " bytes";
    }
    EXPECT_EQ(message(w, level, 100), want);
  }
}

TEST(StreamFrames, TooLongFramesAndTrailingData) {
  const Level level = Level::MlKem512;
  Bytes stream = make_stream(level, 100, pattern(150));
  const size_t hlen = core::stream_header_len(level);

  Bytes longer = stream;
  core::store_be32(longer.data() + hlen + 120, 101);  // frame 1 claims 101 bytes
  Walk w = walk(longer, level, 5);
  EXPECT_EQ(w.end.kind, Framing::TooLong);
  EXPECT_EQ(message(w, level, 100),
            "frame 1 claims 101 bytes, more than the stream's chunk size of 100");

  // The first frame too long: the header is still accepted, the frame named.
  Bytes first = stream;
  core::store_be32(first.data() + hlen, 0xffffffff);
  w = walk(first, level, first.size());
  EXPECT_EQ(w.end.kind, Framing::TooLong);
  EXPECT_EQ(w.index, 0u);

  for (const Bytes& extra : {Bytes{0}, Bytes(20, 0), pattern(3000)}) {
    Bytes more = stream;
    more.insert(more.end(), extra.begin(), extra.end());
    w = walk(more, level, 9);
    EXPECT_EQ(w.end.kind, Framing::Trailing);
    EXPECT_EQ(message(w, level, 100), "data follows the end-of-stream marker");
  }
}

TEST(StreamFrames, OtherLevelsAndInputsThatAreNoStream) {
  for (Level made : kLevels) {
    const Bytes stream = make_stream(made, 64, pattern(10));
    for (Level key : kLevels) {
      if (key == made) continue;
      const Walk w = walk(stream, key, 1000);
      ASSERT_EQ(w.end.kind, Framing::OtherLevel);
      EXPECT_EQ(w.end.other_level, made);
    }
  }
  struct Case {
    const char* name;
    std::string input;
    const char* message;
  };
  const std::string mail =
      "From: someone\nSubject: a file\n\nHere it is.\n\n-----BEGIN X-----\nAAAA\n";
  const Case kCases[] = {
      {"a short text file", "hello world\n", "not an encrypted stream: the input is text"},
      {"a mail", mail, "not an encrypted stream: the input is text"},
      {"a long text", std::string(3000, 'a') + "\n", "not an encrypted stream: the input is text"},
      {"UTF-8 text", "gr\xc3\xbc\xc3\x9f dich\n", "not an encrypted stream: the input is text"},
      {"zeros", std::string(3000, '\0'), "not an encrypted stream: its header fits no security level"},
      // Only the first bytes are judged, however much the reader holds.
      {"text, then binary far on", std::string(3000, 'a') + std::string(5, '\xff'),
       "not an encrypted stream: the input is text"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const Bytes input(c.input.begin(), c.input.end());
    for (size_t step : {size_t{27}, size_t{100}, input.size()}) {
      const Walk w = walk(input, Level::MlKem768, step);
      EXPECT_EQ(w.end.kind, Framing::NotAStream);
      EXPECT_EQ(message(w, Level::MlKem768, 0), c.message);
    }
  }
  // Short binary input is a cut header, not text: a NUL, a stray lead byte,
  // a line feed with no word on it.
  for (const std::string& bad : {std::string("abc\0\n", 5), std::string("abc\xc3\n"),
                                std::string(" \n\n"), std::string("abc")}) {
    EXPECT_FALSE(core::looks_like_text(core::ByteView(
        reinterpret_cast<const uint8_t*>(bad.data()), bad.size())));
  }
}

}  // namespace
