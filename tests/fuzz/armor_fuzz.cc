// The armor decoder (core/armor_text.h). Invariants: the input fed in pieces
// (sizes drawn from the first bytes) gives the same data and the same fault
// as fed whole; what decodes without a fault re-encodes to the same data;
// and any bytes, encoded in pieces and framed, decode back.
#include <algorithm>
#include <string>
#include <vector>

#include "core/armor_text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

struct Outcome {
  core::Bytes data;
  core::ArmorStep step;
  bool done = false;
};

// decode feeds `text` in pieces whose sizes come from `sizes` (cycled; 0
// means all that is left), stopping at the first fault.
Outcome decode(core::ByteView text, core::ByteView sizes) {
  core::ArmorDecoder dec;
  Outcome o;
  size_t i = 0, k = 0;
  for (;;) {
    size_t n = text.size() - i;
    if (!sizes.empty()) {
      const size_t want = sizes[k++ % sizes.size()];
      if (want != 0) n = std::min(n, want);
    }
    const bool at_end = i + n == text.size();
    std::vector<uint8_t> out(core::ArmorDecoder::max_output(n));
    auto r = dec.update(out, text.subspan(i, n), at_end);
    FUZZ_CHECK(r.ok());
    o.step = r.value();
    FUZZ_CHECK(o.step.written <= out.size());
    o.data.insert(o.data.end(), out.begin(), out.begin() + static_cast<ptrdiff_t>(o.step.written));
    i += n;
    if (o.step.fault != core::ArmorFault::None || at_end) break;
  }
  o.done = dec.done();
  return o;
}

bool same(const core::ArmorStep& a, const core::ArmorStep& b) {
  return a.fault == b.fault && a.line == b.line && a.length == b.length &&
         std::string_view(a.shown.data(), a.shown_len) ==
             std::string_view(b.shown.data(), b.shown_len);
}

std::string encode(core::ByteView data, core::ByteView sizes) {
  core::ArmorEncoder enc;
  std::string out = std::string(core::kArmorBeginLine) + "\n";
  size_t i = 0, k = 0;
  while (i < data.size()) {
    size_t n = sizes.empty() ? data.size() : std::max<size_t>(sizes[k++ % sizes.size()], 1);
    n = std::min(n, data.size() - i);
    std::string room(enc.update_len(n), '\0');
    auto w = enc.update(room, data.subspan(i, n));
    FUZZ_CHECK(w.ok() && w.value() == room.size());
    out += room;
    i += n;
  }
  std::string last(enc.finish_len(), '\0');
  auto w = enc.finish(last);
  FUZZ_CHECK(w.ok() && w.value() == last.size());
  return out + last + std::string(core::kArmorEndLine) + "\n";
}

core::ByteView bytes_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const core::ByteView sizes = in.take(in.byte() % 8);
  const core::ByteView text = in.rest();

  const Outcome whole = decode(text, {});
  const Outcome pieces = decode(text, sizes);
  FUZZ_CHECK(same(whole.step, pieces.step));
  FUZZ_CHECK(whole.done == pieces.done);
  if (whole.step.fault == core::ArmorFault::None) {
    FUZZ_CHECK(whole.done && whole.data == pieces.data);
    const std::string again = encode(whole.data, sizes);
    const Outcome back = decode(bytes_of(again), {});
    FUZZ_CHECK(back.done && back.data == whole.data);
  }

  const std::string armored = encode(text, sizes);
  const Outcome round = decode(bytes_of(armored), sizes);
  FUZZ_CHECK(round.done && round.step.fault == core::ArmorFault::None);
  FUZZ_CHECK(round.data.size() == text.size() &&
             std::equal(round.data.begin(), round.data.end(), text.begin()));
  return 0;
}
