// The armor codec: lines as written, every kind of damage named with its
// line, and a decoder fed in pieces agreeing with one fed whole.
#include "core/armor_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/common/base64.h"

namespace {

using core::ArmorFault;

core::Bytes pattern(size_t n) {
  core::Bytes b(n);
  uint32_t x = 0x9e3779b9;
  for (auto& v : b) {
    x = x * 1103515245 + 12345;
    v = static_cast<uint8_t>(x >> 24);
  }
  return b;
}

// encode writes `data` through an encoder `piece` bytes at a time, between
// the BEGIN and END lines.
std::string encode(const core::Bytes& data, size_t piece) {
  core::ArmorEncoder enc;
  std::string out = std::string(core::kArmorBeginLine) + "\n";
  for (size_t i = 0; i < data.size() || i == 0; i += piece) {
    const core::ByteView part(data.data() + i, std::min(piece, data.size() - i));
    std::string room(enc.update_len(part.size()), '?');
    auto n = enc.update(room, part);
    EXPECT_TRUE(n.ok() && n.value() == room.size());
    out += room;
    if (data.empty()) break;
  }
  std::string last(enc.finish_len(), '?');
  auto n = enc.finish(last);
  EXPECT_TRUE(n.ok() && n.value() == last.size());
  return out + last + std::string(core::kArmorEndLine) + "\n";
}

struct Decoded {
  core::Bytes data;
  core::ArmorStep step;  // the last step: its fault, if any
  bool done = false;
};

// decode feeds `text` to a decoder `piece` bytes at a time, stopping at the
// first fault, and then says the input ended.
Decoded decode(std::string_view text, size_t piece) {
  core::ArmorDecoder dec;
  Decoded d;
  size_t i = 0;
  for (;;) {
    const size_t n = std::min(piece, text.size() - i);
    const bool at_end = i + n == text.size();
    std::vector<uint8_t> out(core::ArmorDecoder::max_output(n));
    auto r = dec.update(out, core::ByteView(reinterpret_cast<const uint8_t*>(text.data()) + i, n),
                        at_end);
    EXPECT_TRUE(r.ok());
    d.step = r.value();
    d.data.insert(d.data.end(), out.begin(), out.begin() + static_cast<ptrdiff_t>(d.step.written));
    i += n;
    if (d.step.fault != ArmorFault::None || at_end) break;
  }
  d.done = dec.done();
  return d;
}

TEST(ArmorEncoder, WritesLinesOf64CharactersWhateverThePieces) {
  for (size_t size : {0, 1, 47, 48, 49, 96, 1000, 4801}) {
    const core::Bytes data = pattern(size);
    std::string expected = std::string(core::kArmorBeginLine) + "\n";
    for (size_t i = 0; i < size; i += 48)
      expected += core::base64_encode(core::ByteView(data).subspan(i, std::min<size_t>(48, size - i))) + "\n";
    expected += std::string(core::kArmorEndLine) + "\n";
    for (size_t piece : {1, 7, 48, 100, 5000}) {
      SCOPED_TRACE(std::to_string(size) + " bytes in pieces of " + std::to_string(piece));
      EXPECT_EQ(encode(data, piece), expected);
    }
  }
}

TEST(ArmorEncoder, RefusesAShortOutput) {
  core::ArmorEncoder enc;
  const core::Bytes data = pattern(100);
  std::string room(enc.update_len(data.size()) - 1, '?');
  auto r = enc.update(room, data);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, core::ErrorKind::InvalidParameter);
  core::ArmorDecoder dec;
  std::vector<uint8_t> out(core::ArmorDecoder::max_output(data.size()) - 1);
  auto d = dec.update(out, data, false);
  ASSERT_FALSE(d.ok());
  EXPECT_EQ(d.error().kind, core::ErrorKind::InvalidParameter);
}

TEST(ArmorDecoder, ReadsWhatTheEncoderWritesAndTheAllowedVariants) {
  const core::Bytes data = pattern(5000);
  const std::string text = encode(data, 333);
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const std::string begin(core::kArmorBeginLine), end(core::kArmorEndLine);
  std::string spaced = text;
  spaced.replace(0, begin.size(), begin + " \t ");
  spaced.replace(spaced.find(end), end.size(), end + "\t" + std::string(100, ' ') + "\r");
  const std::string cases[] = {
      text,
      crlf,
      " \t\r\n\n  \n" + text + "\n \r\n" + std::string(4096 - 4, ' '),
      spaced,
      text.substr(0, text.size() - 1),  // no LF after the END line
      std::string(100000, '\n') + text,
  };
  for (const std::string& c : cases) {
    for (size_t piece : {size_t{1}, size_t{3}, size_t{65}, size_t{4096}, c.size()}) {
      SCOPED_TRACE(std::to_string(piece));
      const Decoded d = decode(c, piece);
      EXPECT_EQ(d.step.fault, ArmorFault::None);
      EXPECT_TRUE(d.done);
      EXPECT_EQ(d.data, data);
    }
  }
  EXPECT_EQ(decode(encode({}, 1), 5).data, core::Bytes{});
}

TEST(ArmorDecoder, NamesEachFaultAndItsLineWhateverThePieces) {
  const std::string begin(core::kArmorBeginLine), end(core::kArmorEndLine);
  const std::string full(64, 'A');
  struct Case {
    const char* name;
    std::string text;
    ArmorFault fault;
    uint64_t line;
    size_t length = 0;
    std::string shown = "";
  };
  const Case kCases[] = {
      {"empty", "", ArmorFault::NoBegin, 1},
      {"whitespace only", " \n\r\n\t ", ArmorFault::NoBegin, 3},
      {"text first", "hello\n" + begin + "\n", ArmorFault::WrongBegin, 1, 0, "hello"},
      {"indented BEGIN", "\n  " + begin + "\n", ArmorFault::WrongBegin, 2, 0, "  " + begin.substr(0, 58)},
      {"other label", "-----BEGIN X-----\r\n", ArmorFault::WrongBegin, 1, 0, "-----BEGIN X-----"},
      {"CR inside BEGIN", begin + "\r \n", ArmorFault::StrayCr, 1},
      {"lone CR ends BEGIN", begin + "\r", ArmorFault::StrayCr, 1},
      {"no END", begin + "\n" + full + "\n", ArmorFault::NoEnd, 3},
      {"BEGIN alone", begin, ArmorFault::NoEnd, 2},
      {"wrong END", begin + "\nQQ==\n-----END X-----\n", ArmorFault::WrongEnd, 3, 0, "-----END X-----"},
      {"data after short", begin + "\nQQ==\n" + full + "\n" + end, ArmorFault::NotLast, 2},
      {"data after padded", begin + "\n" + full.substr(0, 62) + "==\n" + "QQ==\n", ArmorFault::NotLast, 2},
      {"blank line", begin + "\n\n" + end, ArmorFault::BadLength, 2, 0},
      {"65 characters", begin + "\n" + full + "A\n" + end, ArmorFault::BadLength, 2, 65},
      {"65 and a CR", begin + "\n" + full + "A\r\n" + end, ArmorFault::BadLength, 2, 65},
      {"66 characters", begin + "\n" + full + "AA\n" + end, ArmorFault::BadLength, 2, 66},
      {"66 and a CR", begin + "\n" + full + "AA\r\n" + end, ArmorFault::BadLength, 2, 66},
      {"a long line", begin + "\n" + full + full + "\r\n" + end, ArmorFault::BadLength, 2, 128},
      {"a long line after the last", begin + "\nQQ==\n" + full + full + "\n" + end,
       ArmorFault::NotLast, 2},
      {"a long wrong END", begin + "\n-----" + full + full + "\n", ArmorFault::WrongEnd, 2, 0,
       "-----" + full.substr(0, 55)},
      {"a long END with a CR inside", begin + "\n" + end + std::string(40, ' ') + "\r \n",
       ArmorFault::StrayCr, 2},
      {"length 5", begin + "\nQUJDR\n" + end, ArmorFault::BadLength, 2, 5},
      {"67 bytes", begin + "\n" + full + "AAA\n" + end, ArmorFault::BadLength, 2, 67},
      {"long line at the end", begin + "\n" + full + full, ArmorFault::BadLength, 2, 128},
      {"long END at the end", begin + "\nQQ==\n" + end + std::string(40, ' '), ArmorFault::None, 0},
      {"long line and CR at the end", begin + "\n" + full + full + "\r", ArmorFault::StrayCr, 2},
      {"URL-safe", begin + "\nab-_\n" + end, ArmorFault::NotBase64, 2},
      {"inner space", begin + "\nab d\n" + end, ArmorFault::NotBase64, 2},
      {"misplaced pad", begin + "\nQ=QQ\n" + end, ArmorFault::BadBase64, 2},
      {"three pads", begin + "\nQ===\n" + end, ArmorFault::BadBase64, 2},
      {"trailing bits", begin + "\nQR==\n" + end, ArmorFault::NonCanonical, 2},
      {"pad after a group", begin + "\nQUJD====\n" + end, ArmorFault::NonCanonical, 2},
      {"lone CR in data", begin + "\n" + full + "\r" + full + "\n" + end, ArmorFault::StrayCr, 2},
      {"CR in data", begin + "\nQU\rJ\n" + end, ArmorFault::StrayCr, 2},
      {"junk after END", begin + "\nQQ==\n" + end + "\n \nx", ArmorFault::DataAfterEnd, 4},
      {"too much space", begin + "\nQQ==\n" + end + "\n" + std::string(4097, ' '),
       ArmorFault::TooMuchSpace, 4},
  };
  for (const Case& c : kCases) {
    for (size_t piece : {size_t{1}, size_t{2}, size_t{64}, std::max<size_t>(c.text.size(), 1)}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      const Decoded d = decode(c.text, piece);
      EXPECT_EQ(d.step.fault, c.fault);
      EXPECT_EQ(d.step.line, c.line);
      if (c.fault == ArmorFault::BadLength) {
        EXPECT_EQ(d.step.length, c.length);
      }
      EXPECT_EQ(std::string(d.step.shown.data(), d.step.shown_len), c.shown);
      EXPECT_EQ(d.done, c.fault == ArmorFault::None);
    }
  }
}

TEST(ArmorDecoder, RepeatsItsFaultAndDecodesNothingMore) {
  core::ArmorDecoder dec;
  const std::string text = "junk\n";
  std::vector<uint8_t> out(core::ArmorDecoder::max_output(100));
  auto first = dec.update(out, core::ByteView(reinterpret_cast<const uint8_t*>(text.data()), 5), false);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first.value().fault, ArmorFault::WrongBegin);
  const std::string more = std::string(core::kArmorBeginLine) + "\nQUJD\n";
  auto again = dec.update(out, core::ByteView(reinterpret_cast<const uint8_t*>(more.data()), more.size()), true);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value().fault, ArmorFault::WrongBegin);
  EXPECT_EQ(again.value().written, 0u);
  EXPECT_FALSE(dec.done());
}

}  // namespace
