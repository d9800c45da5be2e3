// The core's one error type. Every failure of a core operation leaves the core
// as an Error value; nothing is thrown across the core's boundary.
#pragma once

#include <cstdint>

namespace core {

enum class ErrorKind : uint8_t {
  InvalidParameter,  // a size, level or chunk-size check; carries a message
  Rng,               // the operating system's random source failed
  Decapsulation,     // structural decapsulation failure; carries a message
  Decryption,        // an AES-GCM tag did not verify
  Base64,            // URL-safe Base64 text refused; carries a message
  KeySerialization,  // malformed PEM-like block, JSON document or blob header
  OutOfMemory,       // never caused by input
  Internal,          // a broken invariant (a bug); see contained()
};

struct Error {
  ErrorKind kind;
  // Static storage; null for the kinds with fixed texts.
  const char* message = nullptr;
};

}  // namespace core
