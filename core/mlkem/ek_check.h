// The encapsulation-key check of ML-KEM.Encaps (FIPS 203, Section 7.2).
#pragma once

#include "core/common/bytes.h"
#include "core/mlkem/params.h"

namespace core::mlkem {

// ek_passes_modulus_check is the modulus check of FIPS 203, Section 7.2:
// every 12-bit field of the first 384k bytes of `ek` is below q = 3329, so
// ByteEncode_12(ByteDecode_12(ek)) gives the bytes back. The caller has
// checked the length; ek is public.
bool ek_passes_modulus_check(ByteView ek, const Params& params) noexcept;

}  // namespace core::mlkem
