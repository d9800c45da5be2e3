#include "core/mlkem/ek_check.h"

#include <cstdint>

namespace core::mlkem {

bool ek_passes_modulus_check(ByteView ek, const Params& params) noexcept {
  constexpr uint32_t kQ = 3329;
  const size_t n = params.dk_pke_len();
  if (ek.size() < n) return false;
  uint32_t bad = 0;
  // Three bytes hold two little-endian 12-bit fields.
  for (size_t i = 0; i < n; i += 3) {
    const uint32_t a = ek[i] | (uint32_t{ek[i + 1]} & 0x0f) << 8;
    const uint32_t b = ek[i + 1] >> 4 | uint32_t{ek[i + 2]} << 4;
    bad |= ((kQ - 1 - a) | (kQ - 1 - b)) >> 31;
  }
  return bad == 0;
}

}  // namespace core::mlkem
