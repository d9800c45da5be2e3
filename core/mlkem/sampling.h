// The samplers of FIPS 203: SampleNTT (Algorithm 7) over the XOF SHAKE128,
// and SamplePolyCBD_eta (Algorithm 8) over the PRF SHAKE256.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/common/bytes.h"
#include "core/common/secret.h"
#include "core/mlkem/math/poly.h"

namespace core::mlkem {


// sample_ntt returns the matrix entry A_hat[i, j] = SampleNTT(rho || j || i):
// 12-bit candidates read in order from SHAKE128(rho || j || i), those below q
// kept until 256 are accepted. rho is public.
Poly sample_ntt(Seed rho, uint8_t i, uint8_t j);

// sample_ntt_parse runs the rejection loop of Algorithm 7 over `stream`
// (whole 3-byte groups), filling a from position `count`; returns the new
// count, at most 256. The groups after the 256th accepted value are not read.
// Entries from the returned count on may have been overwritten (a vector path
// stores whole registers); they are filled by the calls that follow.
size_t sample_ntt_parse(Poly& a, size_t count, ByteView stream) noexcept;

// sample_noise_poly writes SamplePolyCBD_eta(PRF_eta(seed, nonce)) to out, with
// PRF_eta = the first 64*eta bytes of SHAKE256(seed || nonce). eta must be 2
// or 3; any other value is an internal fault "unsupported eta value: {eta}".
// Secret data: seed and out (a SecretPoly at every call in K-PKE).
void sample_noise_poly(Poly& out, Seed seed, uint8_t nonce, unsigned eta);

// cbd is Algorithm 8 over 64*eta bytes of PRF output (eta 2 or 3; the size is
// checked as an internal fault), written to f. Secret data: prf_out and f.
void cbd(Poly& f, ByteView prf_out, unsigned eta);

}  // namespace core::mlkem
