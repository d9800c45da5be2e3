// ML-KEM's internal algorithms (FIPS 203, Algorithms 16-18) on buffers whose
// sizes the caller has checked; a wrong size here is an internal fault.
#pragma once

#include <cstdint>
#include <span>

#include "core/common/bytes.h"
#include "core/mlkem/kpke.h"

namespace core::mlkem {

// ml_kem_keygen_internal is ML-KEM.KeyGen_internal (FIPS 203, Algorithm 16):
// ek = ek_pke and dk = dk_pke || ek || H(ek) || z. Secret data: d, z, dk.
void ml_kem_keygen_internal(MutableBytes ek, MutableBytes dk, Seed d,
                            Seed z, const MlKemParams& params);

// ml_kem_encaps_internal is ML-KEM.Encaps_internal (FIPS 203, Algorithm 17):
// (K, r) = G(m || H(ek)), c = K-PKE.Encrypt(ek, m, r). Secret data: m, K.
void ml_kem_encaps_internal(MutableBytes c, std::span<uint8_t, 32> shared_secret, ByteView ek,
                            Seed m, const MlKemParams& params);

// ml_kem_decaps_internal is ML-KEM.Decaps_internal (FIPS 203, Algorithm 18)
// with implicit rejection. The stored h is used as it is (no hash check).
// Secret data: dk, m', K', K_bar and the choice between them.
void ml_kem_decaps_internal(std::span<uint8_t, 32> shared_secret, ByteView dk, ByteView c,
                            const MlKemParams& params);

// ml_kem_encaps_expanded is ML-KEM.Encaps_internal with H(ek) given as h and
// ek's K-PKE part already expanded (k_pke_expand_ek): the same c and K as
// ml_kem_encaps_internal under that ek. Secret data: m, K.
void ml_kem_encaps_expanded(MutableBytes c, std::span<uint8_t, 32> shared_secret,
                            const ExpandedEkPke& ek, Seed h, Seed m, const MlKemParams& params);

// ml_kem_decaps_expanded is ML-KEM.Decaps_internal on a decapsulation key in
// parts: s_hat = ByteDecode_12(dk_pke), the expanded ek_pke, h and z. The
// same K as ml_kem_decaps_internal on dk = dk_pke || ek || h || z.
// Secret data: s_hat, z, m', K', K_bar and the choice between them.
void ml_kem_decaps_expanded(std::span<uint8_t, 32> shared_secret, const PolyVec& s_hat,
                            const ExpandedEkPke& ek, Seed h, Seed z, ByteView c,
                            const MlKemParams& params);

}  // namespace core::mlkem
