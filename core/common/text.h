// UTF-8 text helpers shared by the text readers (Base64 key text, PEM-like
// bodies, JSON documents).
#pragma once

#include <string>
#include <string_view>

namespace core {

// is_unicode_space: the characters with the Unicode White_Space property
// (U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000).
bool is_unicode_space(char32_t c) noexcept;

// space_len returns the byte length of the White_Space character that
// starts `text` (valid UTF-8), or 0 when the text does not start with one.
size_t space_len(std::string_view text) noexcept;

// trim_unicode_space removes leading and trailing White_Space characters.
std::string_view trim_unicode_space(std::string_view text) noexcept;

// remove_unicode_space returns `text` with every White_Space character removed.
std::string remove_unicode_space(std::string_view text);

}  // namespace core
