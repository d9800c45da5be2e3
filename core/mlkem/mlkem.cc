#include "core/mlkem/mlkem.h"

#include <array>
#include <cstring>

#include "core/common/ct.h"
#include "core/common/ossl.h"
#include "core/result.h"

namespace core::mlkem {

void ml_kem_keygen_internal(MutableBytes ek, MutableBytes dk, std::span<const uint8_t, 32> d,
                            std::span<const uint8_t, 32> z, const MlKemParams& params) {
  const size_t pke_len = params.dk_pke_len();
  CORE_CHECK(ek.size() == params.ek_len() && dk.size() == params.dk_len(),
             "ml_kem_keygen_internal: bad output size");
  // Step 1: (ek_pke, dk_pke) = K-PKE.KeyGen(d); ek_pke lands in ek directly.
  k_pke_keygen(ek, dk.first(pke_len), d, params);
  // Step 2: dk = dk_pke || ek || H(ek) || z.
  std::memcpy(dk.data() + pke_len, ek.data(), ek.size());
  sha3_256(std::span<uint8_t, 32>(dk.data() + pke_len + ek.size(), 32), {ByteView(ek)});
  std::memcpy(dk.data() + pke_len + ek.size() + 32, z.data(), 32);
}

void ml_kem_encaps_internal(MutableBytes c, std::span<uint8_t, 32> shared_secret, ByteView ek,
                            std::span<const uint8_t, 32> m, const MlKemParams& params) {
  CORE_CHECK(ek.size() == params.ek_len(), "ml_kem_encaps_internal: bad ek size");
  // Step 1: (K, r) = G(m || H(ek)).
  std::array<uint8_t, 32> h;
  sha3_256(h, {ek});
  std::array<uint8_t, 64> k_r;
  sha3_512(k_r, {ByteView(m), ByteView(h)});
  // Step 2: c = K-PKE.Encrypt(ek, m, r).
  k_pke_encrypt(c, ek, m, std::span<const uint8_t, 32>(k_r.data() + 32, 32), params);
  std::memcpy(shared_secret.data(), k_r.data(), 32);
}

void ml_kem_decaps_internal(std::span<uint8_t, 32> shared_secret, ByteView dk, ByteView c,
                            const MlKemParams& params) {
  CORE_CHECK(dk.size() == params.dk_len() && c.size() == params.ct_len(),
             "ml_kem_decaps_internal: bad size");
  // Steps 1-4: split dk.
  const size_t pke_len = params.dk_pke_len();
  const ByteView dk_pke = dk.first(pke_len);
  const ByteView ek_pke = dk.subspan(pke_len, params.ek_len());
  const ByteView h = dk.subspan(pke_len + params.ek_len(), 32);
  const ByteView z = dk.subspan(pke_len + params.ek_len() + 32, 32);

  // Step 5: m' = K-PKE.Decrypt(dk_pke, c).
  std::array<uint8_t, 32> m_prime;
  k_pke_decrypt(m_prime, dk_pke, c, params);

  // Step 6: (K', r') = G(m' || h).
  std::array<uint8_t, 64> k_r_prime;
  sha3_512(k_r_prime, {ByteView(m_prime), h});
  const ByteView k_prime(k_r_prime.data(), 32);
  const std::span<const uint8_t, 32> r_prime(k_r_prime.data() + 32, 32);

  // Step 7: K_bar = J(z || c), always computed.
  std::array<uint8_t, 32> k_bar;
  shake256(k_bar, {z, c});

  // Step 8: c' = K-PKE.Encrypt(ek_pke, m', r').
  Bytes c_prime(params.ct_len());
  k_pke_encrypt(c_prime, ek_pke, m_prime, r_prime, params);

  // Steps 9-11: keep K' when c == c', else K_bar, without branching.
  ct::select_bytes(shared_secret, ct::equal_mask(c, c_prime), k_prime, k_bar);
}

}  // namespace core::mlkem
