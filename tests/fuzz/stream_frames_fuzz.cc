// Reading stream framing from fed bytes. Input: one byte choosing the level
// (mod 3), one choosing how many bytes are fed at a time (1 to 64), then the
// stream. Invariants: the input read whole and read piece by piece end the
// same way, at the same frame, with the same fields; every refusal has a
// message; a NeedMore step always asks for more than was there.
#include <algorithm>
#include <string>

#include "core/stream_frames.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

struct Outcome {
  core::FrameStep step{core::Framing::Accepted};
  uint64_t frames = 0;
  size_t at = 0;
};

bool same(const Outcome& a, const Outcome& b) {
  return a.frames == b.frames && a.at == b.at && a.step.kind == b.step.kind &&
         a.step.why == b.step.why && a.step.length == b.step.length &&
         a.step.total == b.step.total && a.step.got == b.step.got &&
         a.step.other_level == b.step.other_level;
}

Outcome walk(core::ByteView input, core::Level level, size_t step) {
  Outcome o;
  size_t fed = std::min(step, input.size());
  auto feed_to = [&](size_t need) {
    while (fed < need && fed < input.size()) fed = std::min(input.size(), fed + step);
  };
  core::FrameStep s;
  for (;;) {
    s = core::read_stream_header(input.first(fed), level, fed == input.size());
    if (s.kind != core::Framing::NeedMore) break;
    FUZZ_CHECK(s.total > fed);
    feed_to(s.total);
  }
  if (s.kind != core::Framing::Accepted) {
    o.step = s;
    return o;
  }
  const uint32_t chunk_size = s.length;
  o.at = s.total;
  for (;;) {
    feed_to(o.at + 1);
    const core::ByteView rest = input.subspan(o.at, fed - o.at);
    s = core::read_frame(rest, rest.size(), chunk_size, fed == input.size());
    if (s.kind == core::Framing::NeedMore) {
      FUZZ_CHECK(s.total > rest.size());
      feed_to(o.at + s.total);
      continue;
    }
    if (s.kind != core::Framing::Accepted) break;
    FUZZ_CHECK(s.total == 20 + size_t{s.length} && s.length <= chunk_size);
    o.at += s.total;
    if (s.length == 0) {
      for (;;) {
        feed_to(o.at + 1);
        s = core::read_after_end(fed - o.at, fed == input.size());
        if (s.kind != core::Framing::NeedMore) break;
      }
      break;
    }
    ++o.frames;
  }
  o.step = s;
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const core::Level level = fuzz::level_from_byte(in.byte());
  const size_t step = 1 + in.byte() % 64;
  const core::ByteView stream = in.rest();

  const Outcome whole = walk(stream, level, stream.size());
  const Outcome pieces = walk(stream, level, step);
  FUZZ_CHECK(same(whole, pieces));
  if (whole.step.kind != core::Framing::Accepted) {
    auto m = core::framing_message(whole.step, level, whole.frames, 1);
    FUZZ_CHECK(m.ok() && !m.value().empty());
  }
  return 0;
}
