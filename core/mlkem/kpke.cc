#include "core/mlkem/kpke.h"

#include <array>

#include "core/common/ct.h"
#include "core/common/hash.h"
#include "core/mlkem/math/compress.h"
#include "core/mlkem/math/ntt.h"
#include "core/mlkem/math/poly.h"
#include "core/mlkem/sampling.h"
#include "core/result.h"

namespace core::mlkem {

namespace {

// sample_matrix fills a_hat[i*k + j] = SampleNTT(rho || j || i), or its
// transpose when `transposed` (entry (i, j) then holds A_hat[j, i]).
void sample_matrix(Matrix& a_hat, Seed rho, size_t k, bool transposed) {
  for (size_t i = 0; i < k; ++i)
    for (size_t j = 0; j < k; ++j) {
      const auto row = static_cast<uint8_t>(transposed ? j : i);
      const auto col = static_cast<uint8_t>(transposed ? i : j);
      a_hat[i * k + j] = sample_ntt(rho, row, col);
    }
}

void check_params(const MlKemParams& params) {
  CORE_CHECK(params.k >= 1 && params.k <= kMaxK, "K-PKE: k out of range");
}

}  // namespace

// Secret values live in Secret / SecretPoly / SecretPolyVec and are wiped on
// every exit; plain types hold public values only (rho, A_hat, t_hat, u', v').

void k_pke_keygen(MutableBytes ek_pke, MutableBytes dk_pke, Seed d, const MlKemParams& params) {
  check_params(params);
  const size_t k = params.k;
  CORE_CHECK(ek_pke.size() == 384 * k + 32 && dk_pke.size() == 384 * k,
             "k_pke_keygen: bad output size");

  // Step 1: (rho, sigma) = G(d || k).
  Secret<64> rho_sigma;
  const uint8_t k_byte = params.k;
  sha3_512(rho_sigma.span(), {ByteView(d), ByteView(&k_byte, 1)});
  CT_PUBLIC(rho_sigma.data(), 32);  // rho is public from here: it ends ek_pke
  const Seed rho(rho_sigma.data(), 32);
  const Seed sigma(rho_sigma.data() + 32, 32);

  // Steps 3-8: A_hat.
  Matrix a_hat;
  sample_matrix(a_hat, rho, k, false);

  // Steps 9-16: s and e from CBD_eta1 with nonces 0..2k-1; then to the NTT domain.
  SecretPolyVec s_hat(PolyVec::zero(k)), e_hat(PolyVec::zero(k));
  uint8_t nonce = 0;
  for (size_t i = 0; i < k; ++i) sample_noise_poly(s_hat[i], sigma, nonce++, params.eta1);
  for (size_t i = 0; i < k; ++i) sample_noise_poly(e_hat[i], sigma, nonce++, params.eta1);
  for (size_t i = 0; i < k; ++i) {
    ntt(s_hat[i]);
    ntt(e_hat[i]);
  }

  // Step 18: t_hat = A_hat * s_hat + e_hat, summed in place from e_hat[i]
  // (the sum is the same in any order), so no partial product outlives it.
  // t_hat is public once complete.
  PolyVec t_hat = PolyVec::zero(k);
  for (size_t i = 0; i < k; ++i) {
    t_hat[i] = e_hat[i];
    multiply_ntts_sum_acc(t_hat[i], &a_hat[i * k], &s_hat[0], k);
  }

  // Steps 19-20.
  t_hat.to_bytes(ek_pke.first(384 * k));
  std::copy(rho.begin(), rho.end(), ek_pke.begin() + 384 * k);
  s_hat.to_bytes(dk_pke);
}

void k_pke_expand_ek(ExpandedEkPke& out, ByteView ek_pke, const MlKemParams& params) {
  check_params(params);
  const size_t k = params.k;
  CORE_CHECK(ek_pke.size() >= 384 * k + 32, "k_pke_expand_ek: bad size");

  // Steps 2-3: t_hat (reduced, never refused) and rho.
  out.t_hat = PolyVec::from_bytes(ek_pke, k);
  const Seed rho(ek_pke.data() + 384 * k, 32);

  // Steps 4-8, transposed: a_t[i*k + j] = A_hat[j, i].
  sample_matrix(out.a_t, rho, k, true);
}

void k_pke_encrypt(MutableBytes c, ByteView ek_pke, Seed m, Seed r, const MlKemParams& params) {
  check_params(params);
  CORE_CHECK(ek_pke.size() >= 384 * size_t{params.k} + 32 && c.size() == params.ct_len(),
             "k_pke_encrypt: bad size");
  ExpandedEkPke ek;
  k_pke_expand_ek(ek, ek_pke, params);
  k_pke_encrypt_expanded(c, ek, m, r, params);
}

void k_pke_encrypt_expanded(MutableBytes c, const ExpandedEkPke& ek, Seed m, Seed r,
                            const MlKemParams& params) {
  check_params(params);
  const size_t k = params.k;
  const unsigned du = params.du, dv = params.dv;
  CORE_CHECK(ek.t_hat.size() == k && c.size() == params.ct_len(), "k_pke_encrypt: bad size");
  const Matrix& a_t = ek.a_t;
  const PolyVec& t_hat = ek.t_hat;

  // Steps 9-17: y (eta1), e1 and e2 (eta2), nonces 0..2k.
  SecretPolyVec y_hat(PolyVec::zero(k)), e1(PolyVec::zero(k));
  SecretPoly e2;
  uint8_t nonce = 0;
  for (size_t i = 0; i < k; ++i) sample_noise_poly(y_hat[i], r, nonce++, params.eta1);
  for (size_t i = 0; i < k; ++i) sample_noise_poly(e1[i], r, nonce++, params.eta2);
  sample_noise_poly(e2, r, nonce, params.eta2);

  // Step 18.
  for (size_t i = 0; i < k; ++i) ntt(y_hat[i]);

  // Step 19: u = NTT^-1(A_hat^T * y_hat) + e1, compressed and packed (step 22).
  for (size_t i = 0; i < k; ++i) {
    SecretPoly u;
    multiply_ntts_sum_acc(u, &a_t[i * k], &y_hat[0], k);
    ntt_inverse(u);
    u.add_assign(e1[i]);
    compress_poly(u, du);
    u.encode_d(c.subspan(32 * du * i, 32 * du), du);
  }

  // Steps 20-21: v = NTT^-1(t_hat . y_hat) + e2 + mu, compressed and packed (step 23).
  SecretPoly v;
  PolyVec::inner_product_ntt(v, t_hat, y_hat);
  ntt_inverse(v);
  v.add_assign(e2);
  add_message(v, m);
  compress_poly(v, dv);
  v.encode_d(c.subspan(32 * du * k, 32 * dv), dv);
}

void k_pke_decrypt(std::span<uint8_t, 32> m, ByteView dk_pke, ByteView c,
                   const MlKemParams& params) {
  check_params(params);
  const size_t k = params.k;
  CORE_CHECK(dk_pke.size() >= 384 * k && c.size() == params.ct_len(), "k_pke_decrypt: bad size");
  SecretPolyVec s_hat;
  s_hat.decode(dk_pke, k);
  k_pke_decrypt_expanded(m, s_hat, c, params);
}

void k_pke_decrypt_expanded(std::span<uint8_t, 32> m, const PolyVec& s_hat, ByteView c,
                            const MlKemParams& params) {
  check_params(params);
  const size_t k = params.k;
  const unsigned du = params.du, dv = params.dv;
  CORE_CHECK(s_hat.size() == k && c.size() == params.ct_len(), "k_pke_decrypt: bad size");

  // Steps 1-4: u' and v' (public: they come from the ciphertext).
  PolyVec u_hat = PolyVec::zero(k);
  for (size_t i = 0; i < k; ++i) {
    u_hat[i] = Poly::decode_d(c.subspan(32 * du * i, 32 * du), du);
    decompress_poly(u_hat[i], du);
    ntt(u_hat[i]);
  }
  Poly v_prime = Poly::decode_d(c.subspan(32 * du * k, 32 * dv), dv);
  decompress_poly(v_prime, dv);

  // Steps 5-7: w = v' - NTT^-1(s_hat . NTT(u')); m = ByteEncode_1(Compress_1(w)).
  SecretPoly su;
  PolyVec::inner_product_ntt(su, s_hat, u_hat);
  ntt_inverse(su);
  SecretPoly w(v_prime);
  w.sub_assign(su);
  message_from_poly(m, w);
}

}  // namespace core::mlkem
