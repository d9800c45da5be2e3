// ASCII armor of a stream: a BEGIN line, the stream in standard Base64 with
// "=" padding (RFC 4648, Section 4) in lines of 64 characters (the last one
// 1 to 64), and an END line; each line ends in LF.
//
// ArmorEncoder writes the Base64 lines (the caller writes BEGIN and END);
// ArmorDecoder reads a whole block, BEGIN to END and what surrounds it, fed
// in pieces of any size, with the same outcome whatever the pieces are.
// Reading is strict:
//   - before the BEGIN line only whitespace (space, tab, CR, LF), any amount;
//     the BEGIN line starts its line and may end in spaces and tabs;
//   - lines end in LF or CRLF; a CR anywhere else is refused;
//   - every data line but the last has exactly 64 characters; the last has
//     a multiple of 4 up to 64; a line ending in "=" is the last one;
//   - the padding is canonical (unused bits zero, "=" only where an encoder
//     puts it);
//   - a line starting "-----" must be the END line (trailing spaces and tabs
//     allowed); after it only whitespace, at most 4096 bytes.
// A decoder holds at most 66 bytes of a line (64 characters, a CR and one
// more); a longer line is judged as it streams past, by the same rules in
// the same order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/common/bytes.h"
#include "core/result.h"

namespace core {

// The BEGIN and END lines of a block: a stream's, or a file's of the format
// for several recipients (file_format/); the line rules are the same.
struct ArmorLines {
  std::string_view begin, end;
};
inline constexpr ArmorLines kStreamArmor{"-----BEGIN TARNEL ENCRYPTED STREAM-----",
                                         "-----END TARNEL ENCRYPTED STREAM-----"};
inline constexpr ArmorLines kFileArmor{"-----BEGIN TARNEL ENCRYPTED FILE-----",
                                       "-----END TARNEL ENCRYPTED FILE-----"};
inline constexpr std::string_view kArmorBeginLine = kStreamArmor.begin;
inline constexpr std::string_view kArmorEndLine = kStreamArmor.end;
inline constexpr size_t kArmorLineChars = 64;
inline constexpr size_t kArmorLineBytes = kArmorLineChars / 4 * 3;
// The most bytes of a line a decoder holds: 64 characters, a CR and one
// more.
inline constexpr size_t kArmorMaxLine = kArmorLineChars + 2;
inline constexpr size_t kArmorMaxTrailingSpace = 4096;
// How much of a wrong BEGIN or END line a fault shows.
inline constexpr size_t kArmorShownChars = 60;

// ArmorEncoder turns bytes into LF-terminated Base64 lines, 48 bytes to a
// line of 64 characters; the last, shorter line comes from finish().
class ArmorEncoder {
 public:
  // update_len is how many characters update() writes for `in_len` bytes.
  size_t update_len(size_t in_len) const noexcept {
    return (pending_len_ + in_len) / kArmorLineBytes * (kArmorLineChars + 1);
  }
  // update writes the whole lines that `in` completes into `out`, which
  // holds update_len(in.size()) characters, and keeps the rest (less than a
  // line). Returns the count written; InvalidParameter when `out` is short.
  Result<size_t> update(std::span<char> out, ByteView in);

  // finish_len is how many characters finish() writes: the last line, if
  // any bytes are pending, with its LF.
  size_t finish_len() const noexcept {
    return pending_len_ == 0 ? 0 : (pending_len_ + 2) / 3 * 4 + 1;
  }
  // finish writes the last line into `out` (finish_len() characters) and
  // leaves the encoder empty. Returns the count written.
  Result<size_t> finish(std::span<char> out);

 private:
  std::array<uint8_t, kArmorLineBytes> pending_{};
  size_t pending_len_ = 0;
};

enum class ArmorFault : uint8_t {
  None,
  NoBegin,       // the input ends holding only whitespace
  StrayCr,       // `line` holds a CR that does not end it
  WrongBegin,    // `line` is not the BEGIN line; `shown`
  WrongEnd,      // `line` starts with "-----" and is not the END line; `shown`
  NotLast,       // a data line follows `line`, which was short (the last)
  BadLength,     // `line` has `length` characters: not 64, nor a multiple
                 // of 4 from 4 to 64
  NotBase64,     // `line` holds a character outside the alphabet and "="
  BadBase64,     // `line` has "=" where no Base64 text can have it
  NonCanonical,  // `line` decodes, but is not what the encoder writes
  NoEnd,         // the input ends before the END line
  DataAfterEnd,  // more than whitespace after the END line
  TooMuchSpace,  // more than kArmorMaxTrailingSpace bytes after the END line
};

// ArmorStep is what one ArmorDecoder::update did: bytes decoded, and the
// fault that stopped it, if any, with what the fault names.
struct ArmorStep {
  size_t written = 0;
  ArmorFault fault = ArmorFault::None;
  uint64_t line = 0;   // 1-based, counted from the first byte of the input
  size_t length = 0;   // BadLength: the line's characters
  std::array<char, kArmorShownChars> shown{};
  size_t shown_len = 0;  // WrongBegin, WrongEnd: the first characters of the line
};

class ArmorDecoder {
 public:
  // A decoder for a block with the BEGIN and END lines of `lines`.
  explicit ArmorDecoder(ArmorLines lines = kStreamArmor) noexcept : lines_(lines) {}

  // max_output bounds the bytes one update() of `in_len` bytes writes.
  static constexpr size_t max_output(size_t in_len) noexcept {
    return (in_len + kArmorMaxLine) / 4 * 3 + 3;
  }

  // update reads `in`, the next bytes of the input, and writes the data it
  // decodes to `out` (at least max_output(in.size()) bytes); `at_end` says
  // the input ends after `in`. A fault stops the decoder: what it names is
  // in the step (bytes decoded in the same update before it are counted in
  // `written`), and every later update returns it again. InvalidParameter
  // when `out` is short.
  Result<ArmorStep> update(MutableBytes out, ByteView in, bool at_end);

  // ended: the END line has been read. done: the input has ended after it,
  // so the block is whole and well formed.
  bool ended() const noexcept { return phase_ == Phase::AfterEnd || phase_ == Phase::Done; }
  bool done() const noexcept { return phase_ == Phase::Done; }

 private:
  enum class Phase : uint8_t { Begin, Body, AfterEnd, Done, Failed };

  size_t begin_bytes(ByteView in, ArmorStep& step);
  void finish_begin_line(bool has_lf, ArmorStep& step);
  void reset_begin_line() noexcept;
  size_t body_bytes(ByteView in, uint8_t*& out, ArmorStep& step);
  void take_line(bool has_lf, uint8_t*& out, ArmorStep& step);
  size_t long_line_bytes(ByteView in, ArmorStep& step);
  void take_long_line(bool has_lf, ArmorStep& step);
  size_t trailing_bytes(ByteView in, ArmorStep& step);
  void fail(ArmorStep& step, ArmorFault fault, uint64_t line, ByteView shown = {});

  ArmorLines lines_;
  Phase phase_ = Phase::Begin;
  uint64_t line_ = 1;  // the line being read
  // The BEGIN line (or a line of whitespace before it), read byte by byte.
  std::array<char, kArmorShownChars + 1> begin_head_{};
  size_t begin_head_len_ = 0;
  uint64_t begin_len_ = 0;
  size_t begin_match_ = 0;  // characters of kArmorBeginLine matched
  bool begin_matches_ = true;
  bool begin_blank_ = true;  // only whitespace so far
  // CRs on the BEGIN line or a long line.
  bool cr_pending_ = false;  // the last byte was a CR
  bool cr_stray_ = false;    // a CR followed by something other than LF
  // The body: the current line, and whether a short line was read.
  std::array<uint8_t, kArmorMaxLine> line_buf_{};
  size_t line_len_ = 0;
  bool short_ = false;
  // A line longer than line_buf_: its first bytes are in line_buf_.
  bool long_ = false;
  uint64_t long_len_ = 0;
  bool long_blank_tail_ = true;  // only spaces and tabs after line_buf_
  size_t trailing_ = 0;  // bytes after the END line
  ArmorStep failed_{};   // the fault, once there is one
};

}  // namespace core
