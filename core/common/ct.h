// Constant-time helpers for code that touches secrets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/common/bytes.h"

#if defined(TARNEL_CT_CHECK)
#include <valgrind/memcheck.h>
// Under valgrind, memory marked secret is "undefined": any branch or index on
// it is reported. CT_PUBLIC marks a value public again once it may be seen.
#define CT_SECRET(p, n) VALGRIND_MAKE_MEM_UNDEFINED((p), (n))
#define CT_PUBLIC(p, n) VALGRIND_MAKE_MEM_DEFINED((p), (n))
#else
#define CT_SECRET(p, n) ((void)(p), (void)(n))
#define CT_PUBLIC(p, n) ((void)(p), (void)(n))
#endif

namespace core::ct {

// barrier hides v from the optimiser, so a mask is not turned back into a branch.
template <class T>
inline T barrier(T v) noexcept {
  __asm__("" : "+r"(v));
  return v;
}

// equal_mask is 0xff when a and b (equal, public length) match, else 0x00.
// Lengths are public: different lengths give 0x00 at once.
inline uint8_t equal_mask(ByteView a, ByteView b) noexcept {
  if (a.size() != b.size()) return 0;
  uint8_t diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<uint8_t>(a[i] ^ b[i]);
  return barrier(static_cast<uint8_t>((uint32_t{diff} - 1) >> 8));
}

// select_bytes sets out to a when mask is 0xff and to b when it is 0x00.
inline void select_bytes(MutableBytes out, uint8_t mask, ByteView a, ByteView b) noexcept {
  mask = barrier(mask);
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<uint8_t>(b[i] ^ (mask & (a[i] ^ b[i])));
}

}  // namespace core::ct
