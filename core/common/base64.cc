// Base64 codecs of RFC 4648: the URL-safe alphabet without padding
// (Section 5) and the standard alphabet with "=" padding (Section 4).
// The decoders accept only what the matching encoder writes.
#include "core/common/base64.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace core {
namespace {

constexpr char kStdAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrlAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr uint8_t kInvalid = 0xff;

// Reverse table: character -> 6-bit value, kInvalid outside the alphabet.
constexpr std::array<uint8_t, 256> reverse_table(const char* alphabet) {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = kInvalid;
  for (uint8_t i = 0; i < 64; ++i) t[static_cast<uint8_t>(alphabet[i])] = i;
  return t;
}
constexpr auto kStdReverse = reverse_table(kStdAlphabet);
constexpr auto kUrlReverse = reverse_table(kUrlAlphabet);

// encode writes 4 characters per 3 bytes; a final group of 1 or 2 bytes gives
// 2 or 3 characters, followed by "==" or "=" when `pad` is set.
std::string encode(ByteView in, const char* alphabet, bool pad) {
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  const size_t rest = in.size() - i;
  if (rest == 1) {
    const uint32_t v = uint32_t{in[i]} << 16;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    if (pad) out += "==";
  } else if (rest == 2) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    if (pad) out += '=';
  }
  return out;
}

// decode_unpadded decodes `text` with no padding characters. It refuses a
// character outside the table, a length of 1 modulo 4, and non-zero unused
// bits in the last character (so only the canonical encoding is accepted).
std::optional<Bytes> decode_unpadded(std::string_view text,
                                     const std::array<uint8_t, 256>& reverse) {
  if (text.size() % 4 == 1) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3 + 2);
  uint32_t acc = 0;
  int bits = 0;
  for (char ch : text) {
    const uint8_t v = reverse[static_cast<uint8_t>(ch)];
    if (v == kInvalid) return std::nullopt;
    acc = (acc << 6) | v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> bits));
      acc &= (uint32_t{1} << bits) - 1;
    }
  }
  // 2 or 4 bits are left over for a final group of 2 or 3 characters.
  if (acc != 0) return std::nullopt;
  return out;
}

// kStdPairs[v] is the two characters of the 12-bit value v, so that three
// bytes are encoded with two lookups.
// Each entry holds the first character in its low byte, so that entries
// or-ed into a little-endian word come out in order.
constexpr std::array<uint16_t, 4096> pair_table(const char* alphabet) {
  std::array<uint16_t, 4096> t{};
  for (size_t v = 0; v < 4096; ++v) {
    t[v] = static_cast<uint16_t>(static_cast<uint8_t>(alphabet[v >> 6]) |
                                 (static_cast<uint8_t>(alphabet[v & 63]) << 8));
  }
  return t;
}
constexpr auto kStdPairs = pair_table(kStdAlphabet);

// kStdShifted[j][c] is the 6-bit value of character c placed at bit
// 18 - 6j of a 24-bit group; characters outside the alphabet set bit 31, so
// one test after or-ing a group's four values finds any of them.
constexpr std::array<std::array<uint32_t, 256>, 4> shifted_tables() {
  std::array<std::array<uint32_t, 256>, 4> t{};
  for (size_t j = 0; j < 4; ++j) {
    for (size_t c = 0; c < 256; ++c) {
      const uint8_t v = kStdReverse[c];
      t[j][c] = v == kInvalid ? 0x80000000u : uint32_t{v} << (18 - 6 * j);
    }
  }
  return t;
}
constexpr auto kStdShifted = shifted_tables();

}  // namespace

void base64_encode_groups(char* out, const uint8_t* in, size_t groups) noexcept {
  size_t g = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // Two groups at a time: 48 bits in, four 12-bit lookups, 8 characters out.
    for (; g + 2 <= groups; g += 2, in += 6, out += 8) {
      const uint64_t v = (uint64_t{in[0]} << 40) | (uint64_t{in[1]} << 32) |
                         (uint64_t{in[2]} << 24) | (uint64_t{in[3]} << 16) |
                         (uint64_t{in[4]} << 8) | in[5];
      const uint64_t chars = uint64_t{kStdPairs[(v >> 36) & 0xfff]} |
                             (uint64_t{kStdPairs[(v >> 24) & 0xfff]} << 16) |
                             (uint64_t{kStdPairs[(v >> 12) & 0xfff]} << 32) |
                             (uint64_t{kStdPairs[v & 0xfff]} << 48);
      std::memcpy(out, &chars, 8);
    }
  }
  for (; g < groups; ++g, in += 3, out += 4) {
    const uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    const uint16_t a = kStdPairs[v >> 12], b = kStdPairs[v & 0xfff];
    out[0] = static_cast<char>(a & 0xff);
    out[1] = static_cast<char>(a >> 8);
    out[2] = static_cast<char>(b & 0xff);
    out[3] = static_cast<char>(b >> 8);
  }
}

bool base64_decode_groups(uint8_t* out, const char* in, size_t groups) noexcept {
  const auto* p = reinterpret_cast<const uint8_t*>(in);
  uint32_t bad = 0;
  for (size_t g = 0; g < groups; ++g, p += 4, out += 3) {
    const uint32_t v = kStdShifted[0][p[0]] | kStdShifted[1][p[1]] | kStdShifted[2][p[2]] |
                       kStdShifted[3][p[3]];
    bad |= v;
    out[0] = static_cast<uint8_t>(v >> 16);
    out[1] = static_cast<uint8_t>(v >> 8);
    out[2] = static_cast<uint8_t>(v);
  }
  return (bad & 0x80000000u) == 0;
}

std::string base64url_encode(ByteView in) { return encode(in, kUrlAlphabet, false); }

std::optional<Bytes> base64url_decode(std::string_view text) {
  return decode_unpadded(text, kUrlReverse);
}

std::string base64_encode(ByteView in) { return encode(in, kStdAlphabet, true); }

std::optional<Bytes> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  // Exactly the padding the encoder writes: none, "=" or "==" at the end.
  size_t pad = 0;
  if (!text.empty() && text.back() == '=') ++pad;
  if (text.size() >= 2 && text[text.size() - 2] == '=') {
    if (pad == 0) return std::nullopt;  // "=x" at the end
    ++pad;
  }
  // Any other "=" falls outside the alphabet and is refused by the decoder.
  return decode_unpadded(text.substr(0, text.size() - pad), kStdReverse);
}

}  // namespace core
