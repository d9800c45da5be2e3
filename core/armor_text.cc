// The armor codec (armor_text.h). The Base64 itself is base64.h's: whole
// groups for full lines, the canonical padded codec for the last line.
#include "core/armor_text.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "core/common/base64.h"

namespace core {
namespace {

// copy_bytes is memcpy for `n` bytes that may be none: an empty span may
// hold a null pointer, which memcpy must not be given even for 0 bytes.
inline void copy_bytes(void* dst, const void* src, size_t n) noexcept {
  if (n > 0) std::memcpy(dst, src, n);
}

constexpr size_t kGroupsPerLine = kArmorLineChars / 4;

bool is_space_or_tab(uint8_t c) noexcept { return c == ' ' || c == '\t'; }
bool is_whitespace(uint8_t c) noexcept {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view as_text(ByteView b) noexcept {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// strip_spaces is `text` without its trailing spaces and tabs.
std::string_view strip_spaces(std::string_view text) noexcept {
  while (!text.empty() && is_space_or_tab(static_cast<uint8_t>(text.back())))
    text.remove_suffix(1);
  return text;
}

// padding_well_placed says whether a line of Base64 characters and "="
// (a multiple of 4 long) can be read as Base64 at all: it does not start
// with "=", no character follows an "=" but another "=", and the "=" that
// completes a group ends the line. It is what a strict RFC 4648 reader
// checks before it decodes; whether the text is canonical is checked after.
bool padding_well_placed(std::string_view line) noexcept {
  if (!line.empty() && line.front() == '=') return false;
  size_t quad = 0, pads = 0;
  bool padding = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '=') {
      padding = true;
      if (quad >= 2 && quad + ++pads >= 4) return i + 1 == line.size();
      continue;
    }
    if (padding) return false;
    pads = 0;
    quad = (quad + 1) % 4;
  }
  return quad == 0;
}

bool in_alphabet_or_pad(uint8_t c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '+' || c == '/' || c == '=';
}

}  // namespace

// ---- encoder ----

Result<size_t> ArmorEncoder::update(std::span<char> out, ByteView in) {
  return contained<size_t>([&]() -> Result<size_t> {
    if (out.size() < update_len(in.size()))
      return Error{ErrorKind::InvalidParameter, "armor output buffer too small"};
    char* o = out.data();
    if (pending_len_ > 0) {
      const size_t take = std::min(kArmorLineBytes - pending_len_, in.size());
      copy_bytes(pending_.data() + pending_len_, in.data(), take);
      pending_len_ += take;
      in = in.subspan(take);
      if (pending_len_ < kArmorLineBytes) return size_t{0};
      base64_encode_groups(o, pending_.data(), kGroupsPerLine);
      o[kArmorLineChars] = '\n';
      o += kArmorLineChars + 1;
      pending_len_ = 0;
    }
    const uint8_t* p = in.data();
    for (size_t left = in.size(); left >= kArmorLineBytes; left -= kArmorLineBytes) {
      base64_encode_groups(o, p, kGroupsPerLine);
      o[kArmorLineChars] = '\n';
      o += kArmorLineChars + 1;
      p += kArmorLineBytes;
    }
    pending_len_ = in.size() % kArmorLineBytes;
    copy_bytes(pending_.data(), p, pending_len_);
    return static_cast<size_t>(o - out.data());
  });
}

Result<size_t> ArmorEncoder::finish(std::span<char> out) {
  return contained<size_t>([&]() -> Result<size_t> {
    const size_t n = finish_len();
    if (out.size() < n) return Error{ErrorKind::InvalidParameter, "armor output buffer too small"};
    if (n == 0) return size_t{0};
    const std::string last = base64_encode(ByteView(pending_.data(), pending_len_));
    CORE_CHECK(last.size() + 1 == n, "armor: last line of an unexpected length");
    copy_bytes(out.data(), last.data(), last.size());
    out[last.size()] = '\n';
    pending_len_ = 0;
    return n;
  });
}

// ---- decoder ----

void ArmorDecoder::fail(ArmorStep& step, ArmorFault fault, uint64_t line, ByteView shown) {
  step.fault = fault;
  step.line = line;
  step.shown_len = std::min(shown.size(), kArmorShownChars);
  copy_bytes(step.shown.data(), shown.data(), step.shown_len);
  phase_ = Phase::Failed;
  failed_ = step;
  failed_.written = 0;
}

void ArmorDecoder::reset_begin_line() noexcept {
  begin_head_len_ = 0;
  begin_len_ = 0;
  begin_match_ = 0;
  begin_matches_ = true;
  begin_blank_ = true;
  cr_pending_ = false;
  cr_stray_ = false;
}

// finish_begin_line judges the first line that is not all whitespace: the
// BEGIN line, possibly followed by spaces and tabs, and ending in LF, CRLF
// or the end of the input.
void ArmorDecoder::finish_begin_line(bool has_lf, ArmorStep& step) {
  if (cr_pending_ && !has_lf) cr_stray_ = true;
  if (cr_stray_) return fail(step, ArmorFault::StrayCr, line_);
  if (begin_matches_ && begin_match_ == lines_.begin.size()) {
    phase_ = Phase::Body;
    ++line_;
    return;
  }
  // Shown without the CR of a CRLF.
  const uint64_t visible = begin_len_ - (cr_pending_ ? 1 : 0);
  const size_t shown = static_cast<size_t>(std::min<uint64_t>(visible, kArmorShownChars));
  fail(step, ArmorFault::WrongBegin, line_,
       ByteView(reinterpret_cast<const uint8_t*>(begin_head_.data()), shown));
}

// begin_bytes skips lines of whitespace and reads the BEGIN line a byte at a
// time, keeping no more of it than a fault shows. Returns the bytes used.
size_t ArmorDecoder::begin_bytes(ByteView in, ArmorStep& step) {
  for (size_t i = 0; i < in.size(); ++i) {
    const uint8_t c = in[i];
    if (c == '\n') {
      if (begin_blank_) {
        reset_begin_line();
        ++line_;
        continue;
      }
      finish_begin_line(true, step);
      reset_begin_line();
      return i + 1;
    }
    if (begin_head_len_ < begin_head_.size()) begin_head_[begin_head_len_++] = static_cast<char>(c);
    ++begin_len_;
    if (cr_pending_) cr_stray_ = true;
    cr_pending_ = c == '\r';
    if (cr_pending_) continue;
    if (!is_space_or_tab(c)) begin_blank_ = false;
    if (begin_match_ < lines_.begin.size()) {
      begin_matches_ = begin_matches_ && c == static_cast<uint8_t>(lines_.begin[begin_match_]);
      ++begin_match_;
    } else {
      begin_matches_ = begin_matches_ && is_space_or_tab(c);
    }
  }
  return in.size();
}

// take_line checks the line in line_buf_ and decodes it to `out`; the END
// line moves on to what follows it.
void ArmorDecoder::take_line(bool has_lf, uint8_t*& out, ArmorStep& step) {
  size_t len = line_len_;
  if (has_lf && len > 0 && line_buf_[len - 1] == '\r') --len;
  const ByteView line(line_buf_.data(), len);
  const std::string_view text = as_text(line);
  if (text.find('\r') != std::string_view::npos) return fail(step, ArmorFault::StrayCr, line_);
  if (text.starts_with("-----")) {
    if (strip_spaces(text) != lines_.end) return fail(step, ArmorFault::WrongEnd, line_, line);
    phase_ = Phase::AfterEnd;
    return;
  }
  if (short_) return fail(step, ArmorFault::NotLast, line_ - 1);
  if (len == 0 || len > kArmorLineChars || len % 4 != 0) {
    fail(step, ArmorFault::BadLength, line_);
    step.length = failed_.length = len;
    return;
  }
  if (!std::all_of(line.begin(), line.end(), in_alphabet_or_pad))
    return fail(step, ArmorFault::NotBase64, line_);
  if (!padding_well_placed(text)) return fail(step, ArmorFault::BadBase64, line_);
  const auto data = base64_decode(text);
  if (!data) return fail(step, ArmorFault::NonCanonical, line_);
  copy_bytes(out, data->data(), data->size());
  out += data->size();
  if (len < kArmorLineChars || text.back() == '=') short_ = true;
}

// long_line_bytes follows a line longer than line_buf_ up to its LF,
// noting its length, a stray CR and whether it is all spaces and tabs past
// line_buf_; at the LF it is judged. Returns the bytes used.
size_t ArmorDecoder::long_line_bytes(ByteView in, ArmorStep& step) {
  for (size_t i = 0; i < in.size(); ++i) {
    const uint8_t c = in[i];
    if (c == '\n') {
      take_long_line(true, step);
      return i + 1;
    }
    ++long_len_;
    if (cr_pending_) cr_stray_ = true;
    cr_pending_ = c == '\r';
    if (!cr_pending_ && !is_space_or_tab(c)) long_blank_tail_ = false;
  }
  return in.size();
}

// take_long_line judges a line too long to be data, ended by its LF or by
// the end of the input, as take_line would: a stray CR, then the END line (with trailing spaces and
// tabs) or a wrong one, then a line after the last, then its length.
void ArmorDecoder::take_long_line(bool has_lf, ArmorStep& step) {
  long_ = false;
  if (cr_pending_ && !has_lf) cr_stray_ = true;
  const uint64_t len = long_len_ - (cr_pending_ ? 1 : 0);
  const bool stray = cr_stray_;
  cr_pending_ = cr_stray_ = false;
  if (stray) return fail(step, ArmorFault::StrayCr, line_);
  const ByteView head(line_buf_.data(), kArmorMaxLine);
  if (as_text(head).starts_with("-----")) {
    if (long_blank_tail_ && strip_spaces(as_text(head)) == lines_.end) {
      phase_ = Phase::AfterEnd;
      return;
    }
    return fail(step, ArmorFault::WrongEnd, line_, head);
  }
  if (short_) return fail(step, ArmorFault::NotLast, line_ - 1);
  fail(step, ArmorFault::BadLength, line_);
  step.length = failed_.length = static_cast<size_t>(len);
}

// body_bytes reads data lines up to the END line: whole lines of 64
// characters decoded in place while they come, anything else gathered in
// line_buf_ and checked by take_line. Returns the bytes used.
size_t ArmorDecoder::body_bytes(ByteView in, uint8_t*& out, ArmorStep& step) {
  const uint8_t* p = in.data();
  const uint8_t* const end = p + in.size();
  while (p < end && phase_ == Phase::Body) {
    if (long_) {
      p += long_line_bytes(ByteView(p, end), step);
      if (long_) break;
      line_len_ = 0;
      if (phase_ == Phase::Failed) break;
      ++line_;
      continue;
    }
    if (line_len_ == 0 && !short_) {
      const size_t left = static_cast<size_t>(end - p);
      const char* chars = reinterpret_cast<const char*>(p);
      if (left > kArmorLineChars && p[kArmorLineChars] == '\n' &&
          base64_decode_groups(out, chars, kGroupsPerLine)) {
        out += kArmorLineBytes;
        p += kArmorLineChars + 1;
        ++line_;
        continue;
      }
      if (left > kArmorLineChars + 1 && p[kArmorLineChars] == '\r' &&
          p[kArmorLineChars + 1] == '\n' && base64_decode_groups(out, chars, kGroupsPerLine)) {
        out += kArmorLineBytes;
        p += kArmorLineChars + 2;
        ++line_;
        continue;
      }
    }
    // One line, or the part of it that is here.
    const size_t left = static_cast<size_t>(end - p);
    const size_t room = kArmorMaxLine - line_len_;
    const auto* lf = static_cast<const uint8_t*>(std::memchr(p, '\n', std::min(left, room + 1)));
    if (lf == nullptr) {
      if (left > room) {
        // Too long to hold: keep its start, judge the rest as it passes.
        copy_bytes(line_buf_.data() + line_len_, p, room);
        line_len_ = kArmorMaxLine;
        p += room;
        long_ = true;
        long_len_ = kArmorMaxLine;
        long_blank_tail_ = true;
        cr_pending_ = false;
        cr_stray_ = std::memchr(line_buf_.data(), '\r', kArmorMaxLine) != nullptr;
        p += long_line_bytes(ByteView(p, end), step);
        if (long_) break;
        line_len_ = 0;
        if (phase_ == Phase::Failed) break;
        ++line_;
        continue;
      }
      copy_bytes(line_buf_.data() + line_len_, p, left);
      line_len_ += left;
      p = end;
      break;
    }
    const size_t n = static_cast<size_t>(lf - p);
    copy_bytes(line_buf_.data() + line_len_, p, n);
    line_len_ += n;
    p = lf + 1;
    take_line(true, out, step);
    line_len_ = 0;
    if (phase_ == Phase::Failed) break;
    ++line_;
  }
  return static_cast<size_t>(p - in.data());
}

// trailing_bytes checks what follows the END line: whitespace only, and
// not too much of it.
size_t ArmorDecoder::trailing_bytes(ByteView in, ArmorStep& step) {
  for (size_t i = 0; i < in.size(); ++i) {
    if (!is_whitespace(in[i])) {
      fail(step, ArmorFault::DataAfterEnd, line_);
      return i;
    }
    if (++trailing_ > kArmorMaxTrailingSpace) {
      fail(step, ArmorFault::TooMuchSpace, line_);
      return i;
    }
  }
  return in.size();
}

Result<ArmorStep> ArmorDecoder::update(MutableBytes out, ByteView in, bool at_end) {
  return contained<ArmorStep>([&]() -> Result<ArmorStep> {
    if (out.size() < max_output(in.size()))
      return Error{ErrorKind::InvalidParameter, "armor output buffer too small"};
    if (phase_ == Phase::Failed) return failed_;
    ArmorStep step;
    uint8_t* o = out.data();
    if (phase_ == Phase::Begin) in = in.subspan(begin_bytes(in, step));
    if (phase_ == Phase::Body) in = in.subspan(body_bytes(in, o, step));
    if (phase_ == Phase::AfterEnd) in = in.subspan(trailing_bytes(in, step));
    if (phase_ == Phase::Done && !in.empty()) fail(step, ArmorFault::DataAfterEnd, line_);
    if (at_end && phase_ != Phase::Failed) {
      switch (phase_) {
        case Phase::Begin:
          if (begin_blank_) {
            fail(step, ArmorFault::NoBegin, line_);
          } else {
            finish_begin_line(false, step);
            if (phase_ == Phase::Body) fail(step, ArmorFault::NoEnd, line_);
          }
          break;
        case Phase::Body:
          if (long_) {
            take_long_line(false, step);
          } else if (line_len_ > 0) {
            take_line(false, o, step);
          }
          line_len_ = 0;
          if (phase_ == Phase::Body) fail(step, ArmorFault::NoEnd, line_);
          if (phase_ == Phase::AfterEnd) phase_ = Phase::Done;  // END ends the input
          break;
        case Phase::AfterEnd:
          phase_ = Phase::Done;
          break;
        case Phase::Done:
        case Phase::Failed:
          break;
      }
    }
    step.written = static_cast<size_t>(o - out.data());
    return step;
  });
}

}  // namespace core
