#include "core/file_format/header.h"

#include <algorithm>

namespace core::file_format {
namespace {

uint32_t be32(const uint8_t* p) noexcept {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint16_t be16(const uint8_t* p) noexcept { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

ParsedHeader fault(HeaderFault f, uint64_t value = 0) noexcept {
  ParsedHeader h;
  h.fault = f;
  h.value = value;
  return h;
}

ParsedHeader need(size_t n) noexcept {
  ParsedHeader h;
  h.fault = HeaderFault::NeedMore;
  h.need = n;
  return h;
}

bool same(const EntryView& a, const EntryView& b) noexcept {
  return a.type == b.type && a.body.size() == b.body.size() &&
         std::equal(a.body.begin(), a.body.end(), b.body.begin());
}

}  // namespace

ParsedHeader parse_header(ByteView data) noexcept {
  const size_t magic_seen = std::min(data.size(), kMagic.size());
  if (!std::equal(data.begin(), data.begin() + magic_seen, kMagic.begin()))
    return fault(HeaderFault::BadMagic);
  if (data.size() <= kMagic.size()) return need(kFixedLen);
  if (data[8] != kVersion) return fault(HeaderFault::BadVersion, data[8]);
  if (data.size() < kFixedLen) return need(kFixedLen);

  const uint32_t chunk_size = be32(&data[9]);
  if (chunk_size < kMinChunkSize || chunk_size > kMaxChunkSize ||
      (chunk_size & (chunk_size - 1)) != 0)
    return fault(HeaderFault::BadChunkSize, chunk_size);
  const uint16_t count = be16(&data[45]);
  if (count == 0 || count > kMaxEntries) return fault(HeaderFault::BadEntryCount, count);

  ParsedHeader h;
  h.chunk_size = chunk_size;
  h.nonce = data.subspan(13, 32);
  h.entry_count = count;
  size_t at = kFixedLen;
  for (size_t i = 0; i < count; ++i) {
    if (data.size() < at + kEntryHeadLen) return need(at + kEntryHeadLen);
    const uint16_t type = be16(&data[at]);
    const uint32_t length = be32(&data[at + 2]);
    const uint32_t expected = known_entry_length(type);
    if (expected != 0 && length != expected) {
      ParsedHeader f = fault(HeaderFault::BadEntryLength, length);
      f.entry_type = type;
      f.expected = expected;
      return f;
    }
    if (length > kMaxEntryBody) {
      ParsedHeader f = fault(HeaderFault::EntryTooLong, length);
      f.entry_type = type;
      return f;
    }
    at += kEntryHeadLen;
    if (data.size() < at + length) return need(at + length);
    h.entries[i] = EntryView{type, data.subspan(at, length)};
    at += length;
  }
  if (data.size() < at + kHeaderMacLen) return need(at + kHeaderMacLen);
  h.mac = data.subspan(at, kHeaderMacLen);
  h.length = at + kHeaderMacLen;

  // At most 64 entries: the quadratic scan is at most 2016 comparisons.
  for (size_t i = 0; i < count; ++i) {
    for (size_t j = i + 1; j < count; ++j) {
      if (same(h.entries[i], h.entries[j])) return fault(HeaderFault::DuplicateEntry);
    }
  }
  if (count > 1) {
    for (size_t i = 0; i < count; ++i) {
      if (h.entries[i].type == kTypePassphrase) return fault(HeaderFault::PassphraseNotAlone);
    }
  }
  return h;
}

}  // namespace core::file_format
