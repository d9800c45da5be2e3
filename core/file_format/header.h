// The header of the multi-recipient file format (docs/file-format.md):
//
//   magic (8) "\x89TNL\r\n\x1a\n" || version (1) = 1 || chunk size (u32) ||
//   payload nonce (32) || entry count (u16) ||
//   count x [ type (u16) || length (u32) || body ] || MAC (32)
//
// parse_header checks the structure and never allocates; the MAC and the
// entries' contents are checked by the caller, who holds the keys.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/common/bytes.h"
#include "core/mlkem/params.h"
#include "core/xwing.h"

namespace core::file_format {

inline constexpr std::array<uint8_t, 8> kMagic{0x89, 'T', 'N', 'L', '\r', '\n', 0x1a, '\n'};
inline constexpr uint8_t kVersion = 1;
inline constexpr size_t kFixedLen = 8 + 1 + 4 + 32 + 2;  // 47: up to the entries
inline constexpr size_t kEntryHeadLen = 6;
inline constexpr size_t kHeaderMacLen = 32;
inline constexpr size_t kMaxEntries = 64;
inline constexpr uint32_t kMaxEntryBody = 65536;
inline constexpr uint32_t kMinChunkSize = 1024;
inline constexpr uint32_t kMaxChunkSize = uint32_t{1} << 24;

// The entry types this version knows: the HPKE KEM identifiers and the
// passphrase entry.
inline constexpr uint16_t kTypeXWing = 0x647a;
inline constexpr uint16_t kTypeMlKem768 = 0x0041;
inline constexpr uint16_t kTypeMlKem1024 = 0x0042;
inline constexpr uint16_t kTypePassphrase = 0xff01;

// A KEM entry's body is enc || ct || tag: the KEM ciphertext, the file key
// sealed by HPKE (32 bytes and a 16-byte AEAD tag) and the recipient tag
// (see recipient_tag in payload.h).
inline constexpr size_t kSealedKeyLen = 32 + 16;
inline constexpr size_t kRecipientTagLen = 16;
// A passphrase entry's body is log2 N, r, p (one byte each), a 16-byte salt
// and the wrapped file key.
inline constexpr size_t kPassphraseBodyLen = 3 + 16 + kSealedKeyLen;

// kem_enc_length is the length of enc for a KEM entry type, or 0 for any
// other type.
constexpr size_t kem_enc_length(uint16_t type) noexcept {
  switch (type) {
    case kTypeXWing: return kXWingCiphertextLen;
    case kTypeMlKem768: return kParams[1].ct_len();
    case kTypeMlKem1024: return kParams[2].ct_len();
    default: return 0;
  }
}

// kem_public_key_length is the length of a recipient public key (X-Wing's
// 1216-byte key, an ML-KEM encapsulation key) for a KEM entry type, or 0
// for any other type.
constexpr size_t kem_public_key_length(uint16_t type) noexcept {
  switch (type) {
    case kTypeXWing: return kXWingPublicKeyLen;
    case kTypeMlKem768: return kParams[1].ek_len();
    case kTypeMlKem1024: return kParams[2].ek_len();
    default: return 0;
  }
}

// known_entry_length is the body length of a known type, or 0 for a type
// this version does not know.
constexpr uint32_t known_entry_length(uint16_t type) noexcept {
  if (type == kTypePassphrase) return kPassphraseBodyLen;
  const size_t enc = kem_enc_length(type);
  return enc == 0 ? 0 : static_cast<uint32_t>(enc + kSealedKeyLen + kRecipientTagLen);
}
static_assert(known_entry_length(kTypeXWing) == 1184 &&
              known_entry_length(kTypeMlKem768) == 1152 &&
              known_entry_length(kTypeMlKem1024) == 1632 &&
              known_entry_length(kTypePassphrase) == 67);

// The first rule a header breaks, in the order they are checked.
enum class HeaderFault : uint8_t {
  None,
  NeedMore,            // `need` bytes are needed before anything more can be said
  BadMagic,
  BadVersion,          // value = the version
  BadChunkSize,        // value = the chunk size
  BadEntryCount,       // value = the count
  BadEntryLength,      // entry_type, value = its length, expected = the type's length
  EntryTooLong,        // entry_type, value = its length
  DuplicateEntry,
  PassphraseNotAlone,
};

struct EntryView {
  uint16_t type = 0;
  ByteView body;
};

struct ParsedHeader {
  HeaderFault fault = HeaderFault::None;
  size_t need = 0;
  uint64_t value = 0;
  uint32_t expected = 0;
  uint16_t entry_type = 0;
  // With fault None: the header's length (MAC included) and its fields, as
  // views into the parsed data.
  size_t length = 0;
  uint32_t chunk_size = 0;
  ByteView nonce;
  size_t entry_count = 0;
  std::array<EntryView, kMaxEntries> entries{};
  ByteView mac;
};

// parse_header reads the header at the start of `data` (which may hold more:
// the payload). Checks, in order: the magic (on as many bytes as there
// are), the version, the chunk size (a power of two in 1 KiB..16 MiB), the
// entry count (1..64), then per entry the exact length of a known type and
// the 65536-byte bound of any body; then the whole header must be there
// (NeedMore otherwise, with `need` the least total length to read next);
// then no two entries may be equal in type and body, and a passphrase entry
// must be alone.
ParsedHeader parse_header(ByteView data) noexcept;

}  // namespace core::file_format
