#include "core/stream_frames.h"

#include <algorithm>
#include <array>

namespace core {
namespace {

constexpr std::array<Level, 3> kLevels{Level::MlKem512, Level::MlKem768, Level::MlKem1024};

// chunk_size_at reads the chunk size of a header at `level`, when present.
bool chunk_size_at(ByteView head, Level level, uint32_t& out) {
  const size_t off = params(level).ct_len() + kBaseNonceLen;
  if (head.size() < off + 4) return false;
  out = load_be32(head.data() + off);
  return true;
}

// fits_level: the header at `level` is whole, its chunk size 1 to 16 MiB,
// and the first frame's length, when present, no more than that.
bool fits_level(ByteView head, Level level) {
  const size_t hlen = stream_header_len(level);
  uint32_t chunk_size = 0;
  if (head.size() < hlen || !chunk_size_at(head, level, chunk_size)) return false;
  if (chunk_size < 1 || chunk_size > kMaxChunkSize) return false;
  return head.size() < hlen + kFrameLengthLen || load_be32(head.data() + hlen) <= chunk_size;
}

// utf8_tail is the count of continuation bytes after lead byte b, or -1.
int utf8_tail(uint8_t b) {
  if (b >= 0xc2 && b <= 0xdf) return 1;
  if (b >= 0xe0 && b <= 0xef) return 2;
  if (b >= 0xf0 && b <= 0xf4) return 3;
  return -1;
}

const char* level_name(Level level) {
  switch (level) {
    case Level::MlKem512: return "ML-KEM-512";
    case Level::MlKem768: return "ML-KEM-768";
    case Level::MlKem1024: return "ML-KEM-1024";
  }
  return "ML-KEM";
}

}  // namespace

bool looks_like_text(ByteView bytes) noexcept {
  bool line = false, word = false;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const uint8_t b = bytes[i];
    if (b >= 0x80) {
      const int tail = utf8_tail(b);
      // A character cut at the end of what was read still counts as text.
      for (int t = 1; t <= tail && i + 1 < bytes.size(); ++t) {
        if ((bytes[++i] & 0xc0) != 0x80) return false;
      }
      if (tail < 0) return false;
      continue;
    }
    if (b == '\n') line = true;
    if ((b >= '0' && b <= '9') || ((b | 0x20) >= 'a' && (b | 0x20) <= 'z')) word = true;
    if ((b < 0x20 && b != '\t' && b != '\n' && b != '\r') || b == 0x7f) return false;
  }
  return word && (line || bytes.size() >= 64);
}

FrameStep read_stream_header(ByteView head, Level level, bool at_end) noexcept {
  const size_t hlen = stream_header_len(level);
  const size_t want = hlen + kFrameLengthLen;
  if (!at_end && head.size() < want) return {Framing::NeedMore, FramingWhy::None, 0, want};
  uint32_t chunk_size = 0;
  if (fits_level(head, level)) {
    (void)chunk_size_at(head, level, chunk_size);
    return {Framing::Accepted, FramingWhy::None, chunk_size, hlen};
  }
  // Look a little further, to say what the input is instead. The answer
  // depends on the first `look` bytes only, however many the caller holds,
  // so a file read whole and a pipe read piece by piece are named alike.
  const size_t look = kMaxStreamHeaderLen + kFrameLengthLen;
  if (!at_end && head.size() < look) return {Framing::NeedMore, FramingWhy::None, 0, look};
  head = head.first(std::min(head.size(), look));
  if (head.empty()) return {Framing::NotAStream, FramingWhy::Empty};
  for (Level other : kLevels) {
    if (other != level && fits_level(head, other)) {
      FrameStep s{Framing::OtherLevel};
      s.other_level = other;
      return s;
    }
  }
  if (head.size() >= hlen && chunk_size_at(head, level, chunk_size) && chunk_size >= 1 &&
      chunk_size <= kMaxChunkSize) {
    // A whole header whose first frame is too long: read_frame says so.
    return {Framing::Accepted, FramingWhy::None, chunk_size, hlen};
  }
  if (looks_like_text(head)) return {Framing::NotAStream, FramingWhy::Text};
  if (head.size() < hlen) {
    return {Framing::Truncated, FramingWhy::InHeader, 0, hlen, head.size()};
  }
  return {Framing::NotAStream, FramingWhy::FitsNoLevel};
}

FrameStep read_frame(ByteView prefix, size_t have, uint32_t chunk_size, bool at_end) noexcept {
  if (have < kFrameLengthLen) {
    if (!at_end) return {Framing::NeedMore, FramingWhy::None, 0, kFrameLengthLen};
    return {Framing::Truncated, have == 0 ? FramingWhy::NoEndMarker : FramingWhy::InLengthField,
            0, kFrameLengthLen, have};
  }
  if (prefix.size() < kFrameLengthLen) return {Framing::NeedMore, FramingWhy::None, 0, kFrameLengthLen};
  const uint32_t length = load_be32(prefix.data());
  if (length > chunk_size) return {Framing::TooLong, FramingWhy::None, length};
  const size_t total = kFrameLengthLen + size_t{length} + kGcmTagLen;
  if (have >= total) return {Framing::Accepted, FramingWhy::None, length, total};
  if (!at_end) return {Framing::NeedMore, FramingWhy::None, length, total};
  return {Framing::Truncated, FramingWhy::InFrame, length, total - kFrameLengthLen,
          have - kFrameLengthLen};
}

FrameStep read_after_end(size_t have, bool at_end) noexcept {
  if (have > 0) return {Framing::Trailing};
  if (!at_end) return {Framing::NeedMore, FramingWhy::None, 0, 1};
  return {Framing::Accepted};
}

Result<std::string> framing_message(const FrameStep& step, Level level, uint64_t index,
                                    uint32_t chunk_size) noexcept {
  return contained<std::string>([&]() -> Result<std::string> {
    const std::string i = std::to_string(index);
    switch (step.kind) {
      case Framing::NotAStream:
        if (step.why == FramingWhy::Empty) return std::string("not an encrypted stream: the input is empty");
        if (step.why == FramingWhy::Text) return std::string("not an encrypted stream: the input is text");
        return std::string("not an encrypted stream: its header fits no security level");
      case Framing::OtherLevel:
        return std::string("the stream was made for another security level (") +
               level_name(step.other_level) + "), not " + level_name(level);
      case Framing::Truncated:
        switch (step.why) {
          case FramingWhy::InHeader:
            return "stream header is truncated: " + std::to_string(step.got) + " of " +
                   std::to_string(step.total) + " bytes";
          case FramingWhy::NoEndMarker:
            return "stream ended after " + i + " frames without its end-of-stream marker";
          case FramingWhy::InLengthField:
            return "stream ended inside the length field of frame " + i;
          default:
            return "stream ended inside frame " + i + ": " + std::to_string(step.got) + " of " +
                   std::to_string(step.total) + " bytes";
        }
      case Framing::TooLong:
        return "frame " + i + " claims " + std::to_string(step.length) +
               " bytes, more than the stream's chunk size of " + std::to_string(chunk_size);
      case Framing::Trailing:
        return std::string("data follows the end-of-stream marker");
      case Framing::Accepted:
      case Framing::NeedMore:
        break;
    }
    return Error{ErrorKind::InvalidParameter, "the step refuses nothing"};
  });
}

}  // namespace core
