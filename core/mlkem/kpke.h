// K-PKE, the public-key encryption scheme inside ML-KEM (FIPS 203, Section 5).
// Callers check every length first; a wrong length here is an internal fault.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "core/common/bytes.h"
#include "core/common/secret.h"
#include "core/mlkem/math/poly.h"
#include "core/mlkem/params.h"

namespace core::mlkem {

using MlKemParams = core::Params;

// k_pke_keygen is FIPS 203, Algorithm 13: writes ek_pke = ByteEncode_12(t_hat)
// || rho (384k + 32 bytes) and dk_pke = ByteEncode_12(s_hat) (384k bytes).
// Secret data: d, sigma, s, e, dk_pke.
void k_pke_keygen(MutableBytes ek_pke, MutableBytes dk_pke, Seed d,
                  const MlKemParams& params);

// k_pke_encrypt is FIPS 203, Algorithm 14: writes the ciphertext c
// (32(du k + dv) bytes) of m under ek_pke with randomness r. Only the first
// 384k + 32 bytes of ek_pke are read; 12-bit fields of q and above are
// reduced. Secret data: m, r, y, e1, e2 (and c's origin in decapsulation).
void k_pke_encrypt(MutableBytes c, ByteView ek_pke, Seed m,
                   Seed r, const MlKemParams& params);

// A k x k matrix of NTT-domain polynomials, entry (i, j) at index i*k + j.
using Matrix = std::array<Poly, kMaxK * kMaxK>;

// ExpandedEkPke is ek_pke in the form encryption uses it: t_hat (every
// 12-bit field reduced mod q) and the transpose of A_hat sampled from rho,
// a_t[i*k + j] = A_hat[j, i]. Public data.
struct ExpandedEkPke {
  Matrix a_t;
  PolyVec t_hat;
};

// k_pke_expand_ek runs steps 2-8 of FIPS 203, Algorithm 14 on the first
// 384k + 32 bytes of ek_pke, filling `out`.
void k_pke_expand_ek(ExpandedEkPke& out, ByteView ek_pke, const MlKemParams& params);

// k_pke_encrypt_expanded runs steps 9-23 of FIPS 203, Algorithm 14: the same
// ciphertext as k_pke_encrypt under the ek_pke that `ek` was expanded from.
// Secret data: m, r, y, e1, e2.
void k_pke_encrypt_expanded(MutableBytes c, const ExpandedEkPke& ek, Seed m, Seed r,
                            const MlKemParams& params);

// k_pke_decrypt is FIPS 203, Algorithm 15: writes the 32-byte message m of
// ciphertext c under dk_pke. Secret data: dk_pke, m.
void k_pke_decrypt(std::span<uint8_t, 32> m, ByteView dk_pke, ByteView c,
                   const MlKemParams& params);

// k_pke_decrypt_expanded is k_pke_decrypt with s_hat = ByteDecode_12(dk_pke)
// already decoded (k entries). Secret data: s_hat, m.
void k_pke_decrypt_expanded(std::span<uint8_t, 32> m, const PolyVec& s_hat, ByteView c,
                            const MlKemParams& params);

}  // namespace core::mlkem
