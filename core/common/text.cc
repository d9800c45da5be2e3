// Unicode White_Space handling over UTF-8 text.
#include "core/common/text.h"

#include <cstdint>

namespace core {
namespace {

// decode_one reads the UTF-8 sequence at the start of `s` (at most 3 bytes
// are needed: every White_Space character lies below U+10000). It returns
// the code point and sets `len`, or returns U+FFFF (not a space) when the
// bytes do not form a sequence of up to three bytes.
char32_t decode_one(std::string_view s, size_t& len) noexcept {
  len = 0;
  if (s.empty()) return 0xFFFF;
  const auto b0 = static_cast<uint8_t>(s[0]);
  if (b0 < 0x80) {
    len = 1;
    return b0;
  }
  auto cont = [&](size_t i) {
    return i < s.size() && (static_cast<uint8_t>(s[i]) & 0xC0) == 0x80;
  };
  if ((b0 & 0xE0) == 0xC0 && cont(1)) {
    len = 2;
    return (char32_t{b0 & 0x1Fu} << 6) | (static_cast<uint8_t>(s[1]) & 0x3Fu);
  }
  if ((b0 & 0xF0) == 0xE0 && cont(1) && cont(2)) {
    len = 3;
    return (char32_t{b0 & 0x0Fu} << 12) | ((static_cast<uint8_t>(s[1]) & 0x3Fu) << 6) |
           (static_cast<uint8_t>(s[2]) & 0x3Fu);
  }
  return 0xFFFF;
}

// trailing_space_len returns the byte length of the White_Space character
// that ends `text`, or 0 when the text does not end with one.
size_t trailing_space_len(std::string_view text) noexcept {
  for (size_t n = 1; n <= 3 && n <= text.size(); ++n) {
    const std::string_view tail = text.substr(text.size() - n);
    size_t len = 0;
    const char32_t c = decode_one(tail, len);
    if (len == n) return is_unicode_space(c) ? n : 0;
  }
  return 0;
}

}  // namespace

bool is_unicode_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

size_t space_len(std::string_view text) noexcept {
  size_t len = 0;
  const char32_t c = decode_one(text, len);
  return len != 0 && is_unicode_space(c) ? len : 0;
}

std::string_view trim_unicode_space(std::string_view text) noexcept {
  while (size_t n = space_len(text)) text.remove_prefix(n);
  while (size_t n = trailing_space_len(text)) text.remove_suffix(n);
  return text;
}

std::string remove_unicode_space(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    if (size_t n = space_len(text)) {
      text.remove_prefix(n);
      continue;
    }
    out += text.front();
    text.remove_prefix(1);
  }
  return out;
}

}  // namespace core
