#include "core/mlkem/mlkem.h"

#include <array>
#include <cstring>

#include "core/common/ct.h"
#include "core/common/hash.h"
#include "core/result.h"

namespace core::mlkem {

// Every secret intermediate (K || r, m', K' || r', K_bar, c') lives in a
// Secret and is wiped on every exit; values are marked public (CT_PUBLIC) at
// the point where they become public.

void ml_kem_keygen_internal(MutableBytes ek, MutableBytes dk, Seed d, Seed z,
                            const MlKemParams& params) {
  const size_t pke_len = params.dk_pke_len();
  CORE_CHECK(ek.size() == params.ek_len() && dk.size() == params.dk_len(),
             "ml_kem_keygen_internal: bad output size");
  // Step 1: (ek_pke, dk_pke) = K-PKE.KeyGen(d); ek_pke lands in ek directly.
  k_pke_keygen(ek, dk.first(pke_len), d, params);
  CT_PUBLIC(ek.data(), ek.size());  // the encapsulation key is public
  // Step 2: dk = dk_pke || ek || H(ek) || z.
  std::memcpy(dk.data() + pke_len, ek.data(), ek.size());
  sha3_256(std::span<uint8_t, 32>(dk.data() + pke_len + ek.size(), 32), {ByteView(ek)});
  std::memcpy(dk.data() + pke_len + ek.size() + 32, z.data(), 32);
}

void ml_kem_encaps_internal(MutableBytes c, std::span<uint8_t, 32> shared_secret, ByteView ek,
                            Seed m, const MlKemParams& params) {
  CORE_CHECK(ek.size() == params.ek_len(), "ml_kem_encaps_internal: bad ek size");
  std::array<uint8_t, 32> h;  // H(ek) is public
  sha3_256(h, {ek});
  ExpandedEkPke ek_pke;
  k_pke_expand_ek(ek_pke, ek, params);
  ml_kem_encaps_expanded(c, shared_secret, ek_pke, h, m, params);
}

void ml_kem_encaps_expanded(MutableBytes c, std::span<uint8_t, 32> shared_secret,
                            const ExpandedEkPke& ek, Seed h, Seed m, const MlKemParams& params) {
  CORE_CHECK(c.size() == params.ct_len(), "ml_kem_encaps_internal: bad size");
  // Step 1: (K, r) = G(m || H(ek)).
  Secret<64> k_r;
  sha3_512(k_r.span(), {ByteView(m), ByteView(h)});
  // Step 2: c = K-PKE.Encrypt(ek, m, r); the ciphertext is public.
  k_pke_encrypt_expanded(c, ek, m, Seed(k_r.data() + 32, 32), params);
  CT_PUBLIC(c.data(), c.size());
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
  const Seed h(dk.data() + pke_len + params.ek_len(), 32);
  const Seed z(dk.data() + pke_len + params.ek_len() + 32, 32);

  SecretPolyVec s_hat;
  s_hat.decode(dk_pke, params.k);
  ExpandedEkPke ek;
  k_pke_expand_ek(ek, ek_pke, params);
  ml_kem_decaps_expanded(shared_secret, s_hat, ek, h, z, c, params);
}

void ml_kem_decaps_expanded(std::span<uint8_t, 32> shared_secret, const PolyVec& s_hat,
                            const ExpandedEkPke& ek, Seed h, Seed z, ByteView c,
                            const MlKemParams& params) {
  CORE_CHECK(c.size() == params.ct_len(), "ml_kem_decaps_internal: bad size");

  // Step 5: m' = K-PKE.Decrypt(dk_pke, c).
  Secret<32> m_prime;
  k_pke_decrypt_expanded(m_prime.span(), s_hat, c, params);

  // Step 6: (K', r') = G(m' || h).
  Secret<64> k_r_prime;
  sha3_512(k_r_prime.span(), {m_prime.view(), ByteView(h)});
  const ByteView k_prime(k_r_prime.data(), 32);
  const Seed r_prime(k_r_prime.data() + 32, 32);

  // Step 7: K_bar = J(z || c), always computed.
  Secret<32> k_bar;
  shake256(k_bar.span(), {ByteView(z), c});

  // Step 8: c' = K-PKE.Encrypt(ek_pke, m', r'). It stays secret: whether it
  // equals c is the secret choice below.
  Secret<kMaxCiphertextLen> c_prime_buf;
  const MutableBytes c_prime(c_prime_buf.data(), params.ct_len());
  k_pke_encrypt_expanded(c_prime, ek, m_prime.span(), r_prime, params);

  // Steps 9-11: keep K' when c == c', else K_bar, without branching.
  ct::select_bytes(shared_secret, ct::equal_mask(c, c_prime), k_prime, k_bar.view());
}

}  // namespace core::mlkem
