// Every arithmetic path this build and processor can take, forced in turn,
// against direct definitions: the NTT and its inverse (FIPS 203, Algorithms
// 9 and 10, with % q), the NTT-domain product (Algorithm 11), the
// rejection parse of SampleNTT (Algorithm 7), SamplePolyCBD (Algorithm 8),
// the byte codings (Algorithms 5 and 6), Compress / Decompress and the
// message forms.
//
// TARNEL_TEST_ARITH=<portable|sse2|avx2> in the environment forces that path
// for the whole test run (so that the known-answer tests run on it); a path
// that cannot run here fails the run instead of being skipped.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/mlkem/math/compress.h"
#include "core/mlkem/math/dispatch.h"
#include "core/mlkem/math/field.h"
#include "core/mlkem/math/ntt.h"
#include "core/mlkem/math/poly.h"
#include "core/mlkem/sampling.h"

namespace {

using core::mlkem::ArithPath;
using core::mlkem::kQ;
using core::mlkem::Poly;

constexpr ArithPath kAllPaths[] = {ArithPath::Portable, ArithPath::Sse2, ArithPath::Avx2};

const bool kForcedFromEnvironment = [] {
  const char* want = std::getenv("TARNEL_TEST_ARITH");
  if (want == nullptr || *want == '\0') return false;
  for (ArithPath p : kAllPaths)
    if (std::strcmp(want, core::mlkem::arith_path_name(p)) == 0) {
      if (core::mlkem::set_arith_path(p)) return true;
      std::fprintf(stderr, "TARNEL_TEST_ARITH=%s: not available in this build or on this CPU\n",
                   want);
      std::exit(2);
    }
  std::fprintf(stderr, "TARNEL_TEST_ARITH=%s: unknown path\n", want);
  std::exit(2);
}();

std::vector<ArithPath> available_paths() {
  std::vector<ArithPath> out;
  for (ArithPath p : kAllPaths)
    if (core::mlkem::arith_path_available(p)) out.push_back(p);
  return out;
}

// Runs body once per available path, restoring the path in use afterwards.
template <class Body>
void on_every_path(Body body) {
  const ArithPath before = core::mlkem::arith_path();
  for (ArithPath p : available_paths()) {
    SCOPED_TRACE(core::mlkem::arith_path_name(p));
    ASSERT_TRUE(core::mlkem::set_arith_path(p));
    ASSERT_EQ(core::mlkem::arith_path(), p);
    body();
  }
  ASSERT_TRUE(core::mlkem::set_arith_path(before));
}

uint32_t pow_mod(uint32_t b, uint32_t e) {
  uint32_t r = 1;
  for (; e; e >>= 1, b = b * b % kQ)
    if (e & 1) r = r * b % kQ;
  return r;
}
uint32_t bitrev7(uint32_t i) {
  uint32_t r = 0;
  for (int k = 0; k < 7; ++k) r |= ((i >> k) & 1) << (6 - k);
  return r;
}
uint32_t zeta(uint32_t i) { return pow_mod(17, bitrev7(i)); }

Poly ref_ntt(Poly f) {
  uint32_t k = 1;
  for (uint32_t len = 128; len >= 2; len /= 2)
    for (uint32_t start = 0; start < 256; start += 2 * len) {
      const uint32_t z = zeta(k++);
      for (uint32_t j = start; j < start + len; ++j) {
        const uint32_t t = z * f.c[j + len] % kQ;
        f.c[j + len] = static_cast<uint16_t>((f.c[j] + kQ - t) % kQ);
        f.c[j] = static_cast<uint16_t>((f.c[j] + t) % kQ);
      }
    }
  return f;
}

Poly ref_ntt_inverse(Poly f) {
  uint32_t i = 127;
  for (uint32_t len = 2; len <= 128; len *= 2)
    for (uint32_t start = 0; start < 256; start += 2 * len) {
      const uint32_t z = zeta(i--);
      for (uint32_t j = start; j < start + len; ++j) {
        const uint32_t t = f.c[j];
        f.c[j] = static_cast<uint16_t>((t + f.c[j + len]) % kQ);
        f.c[j + len] = static_cast<uint16_t>(z * ((f.c[j + len] + kQ - t) % kQ) % kQ);
      }
    }
  for (auto& v : f.c) v = static_cast<uint16_t>(v * 3303u % kQ);
  return f;
}

Poly ref_multiply(const Poly& a, const Poly& b) {
  Poly r;
  for (uint32_t i = 0; i < 128; ++i) {
    const uint64_t g = pow_mod(17, 2 * bitrev7(i) + 1);
    const uint64_t a0 = a.c[2 * i], a1 = a.c[2 * i + 1], b0 = b.c[2 * i], b1 = b.c[2 * i + 1];
    r.c[2 * i] = static_cast<uint16_t>((a0 * b0 + a1 * b1 % kQ * g) % kQ);
    r.c[2 * i + 1] = static_cast<uint16_t>((a0 * b1 + a1 * b0) % kQ);
  }
  return r;
}

// Random polynomials, plus the extremes every lane trick must survive.
std::vector<Poly> inputs() {
  std::mt19937 rng(18);
  std::uniform_int_distribution<int> dist(0, kQ - 1);
  std::vector<Poly> out(3);
  out[1].c.fill(kQ - 1);
  for (size_t i = 0; i < 256; ++i) out[2].c[i] = static_cast<uint16_t>(i % 2 ? kQ - 1 : 0);
  for (int n = 0; n < 12; ++n) {
    Poly f;
    for (auto& v : f.c) v = static_cast<uint16_t>(dist(rng));
    out.push_back(f);
  }
  return out;
}

TEST(MlKemDispatch, AtLeastTheBaselinePathRuns) {
  const auto paths = available_paths();
  ASSERT_FALSE(paths.empty());
  EXPECT_TRUE(core::mlkem::arith_path_available(core::mlkem::arith_path()));
  EXPECT_FALSE(core::mlkem::set_arith_path(static_cast<ArithPath>(7)));
  std::string names;
  for (ArithPath p : paths) names += std::string(" ") + core::mlkem::arith_path_name(p);
  std::printf("arithmetic paths here:%s; in use: %s%s\n", names.c_str(),
              core::mlkem::arith_path_name(core::mlkem::arith_path()),
              kForcedFromEnvironment ? " (forced)" : "");
}

TEST(MlKemDispatch, NttAndInverseMatchTheDefinitionOnEveryPath) {
  const auto polys = inputs();
  on_every_path([&] {
    for (const Poly& f : polys) {
      Poly g = f;
      core::mlkem::ntt(g);
      ASSERT_EQ(g, ref_ntt(f));
      Poly h = f;
      core::mlkem::ntt_inverse(h);
      ASSERT_EQ(h, ref_ntt_inverse(f));
      core::mlkem::ntt_inverse(g);
      ASSERT_EQ(g, f);
    }
  });
}

TEST(MlKemDispatch, NttProductsMatchTheDefinitionOnEveryPath) {
  const auto polys = inputs();
  on_every_path([&] {
    for (size_t i = 0; i < polys.size(); ++i) {
      const Poly& a = polys[i];
      const Poly& b = polys[(i * 5 + 1) % polys.size()];
      Poly acc = polys[(i + 3) % polys.size()];
      Poly want = ref_multiply(a, b);
      for (size_t n = 0; n < 256; ++n)
        want.c[n] = static_cast<uint16_t>((want.c[n] + acc.c[n]) % kQ);
      core::mlkem::multiply_ntts_acc(acc, a, b);
      ASSERT_EQ(acc, want);
    }
  });
}

TEST(MlKemDispatch, AdditionAndSubtractionMatchTheDefinitionOnEveryPath) {
  const auto polys = inputs();
  on_every_path([&] {
    for (const Poly& a : polys)
      for (const Poly& b : polys) {
        Poly sum = a, diff = a;
        sum.add_assign(b);
        diff.sub_assign(b);
        for (size_t i = 0; i < 256; ++i) {
          ASSERT_EQ(sum.c[i], (a.c[i] + b.c[i]) % kQ);
          ASSERT_EQ(diff.c[i], (a.c[i] + kQ - b.c[i]) % kQ);
        }
      }
  });
}

// Sums of up to four products (reduced once on the vector path), with the
// all-(q-1) polynomials among the terms, which push the unreduced sums
// furthest.
TEST(MlKemDispatch, SumsOfNttProductsMatchTheDefinitionOnEveryPath) {
  const auto polys = inputs();
  on_every_path([&] {
    for (size_t n = 0; n <= 4; ++n)
      for (size_t start = 0; start < polys.size(); ++start) {
        std::array<Poly, 4> a{}, b{};
        for (size_t j = 0; j < n; ++j) {
          a[j] = polys[(start + j) % polys.size()];
          b[j] = polys[(start * 3 + j + 1) % polys.size()];
        }
        if (start == 0)
          for (size_t j = 0; j < n; ++j) a[j] = b[j] = polys[1];
        Poly acc = polys[(start + 5) % polys.size()];
        Poly want = acc;
        for (size_t j = 0; j < n; ++j) {
          const Poly p = ref_multiply(a[j], b[j]);
          for (size_t i = 0; i < 256; ++i)
            want.c[i] = static_cast<uint16_t>((want.c[i] + p.c[i]) % kQ);
        }
        core::mlkem::multiply_ntts_sum_acc(acc, a.data(), b.data(), n);
        ASSERT_EQ(acc, want) << "terms " << n << " start " << start;
      }
  });
}

// The scalar definition: 12-bit candidates, those below q kept, up to 256.
size_t ref_parse(Poly& a, size_t count, const std::vector<uint8_t>& s) {
  for (size_t g = 0; g + 3 <= s.size() && count < 256; g += 3) {
    const uint16_t d1 = static_cast<uint16_t>(s[g] | ((s[g + 1] & 0x0F) << 8));
    const uint16_t d2 = static_cast<uint16_t>((s[g + 1] >> 4) | (s[g + 2] << 4));
    if (d1 < kQ) a.c[count++] = d1;
    if (d2 < kQ && count < 256) a.c[count++] = d2;
  }
  return count;
}

TEST(MlKemDispatch, RejectionParseMatchesTheDefinitionOnEveryPath) {
  std::mt19937 rng(7);
  struct Stream {
    std::vector<uint8_t> bytes;
    size_t start;
  };
  std::vector<Stream> streams;
  // Uniform bytes (about 19% rejected), bytes that make every candidate 4095
  // or 3329 (all rejected), mixes dense in rejects, and lengths around the
  // vector step (24 bytes) and the read width (32 bytes), from several counts.
  for (size_t len : {0, 2, 3, 24, 31, 32, 33, 56, 168, 504, 507, 840})
    for (size_t start : {0, 1, 200, 239, 240, 241, 255, 256}) {
      std::vector<uint8_t> b(len);
      for (auto& v : b) v = static_cast<uint8_t>(rng());
      streams.push_back({b, start});
    }
  std::vector<uint8_t> rejects(504, 0xFF);
  streams.push_back({rejects, 0});
  std::vector<uint8_t> exact_q(504);
  for (size_t i = 0; i < exact_q.size(); i += 3) {
    exact_q[i] = 0x01, exact_q[i + 1] = 0xD0 | 0x0D, exact_q[i + 2] = 0xD0;  // 3329, 3329
  }
  streams.push_back({exact_q, 0});
  for (int n = 0; n < 20; ++n) {
    std::vector<uint8_t> b(504);
    for (auto& v : b) v = static_cast<uint8_t>(rng() % 4 == 0 ? 0xFF : rng());
    streams.push_back({b, static_cast<size_t>(n * 7)});
  }
  on_every_path([&] {
    for (const Stream& s : streams) {
      Poly want, got;
      for (size_t i = 0; i < 256; ++i) want.c[i] = got.c[i] = static_cast<uint16_t>(i);
      const size_t n_want = ref_parse(want, s.start, s.bytes);
      const size_t n_got = core::mlkem::sample_ntt_parse(got, s.start, s.bytes);
      ASSERT_EQ(n_got, n_want) << "length " << s.bytes.size() << " from " << s.start;
      // Entries before the start stay; those after the new count are free.
      for (size_t i = 0; i < n_got; ++i)
        ASSERT_EQ(got.c[i], want.c[i]) << "entry " << i << ", length " << s.bytes.size()
                                       << " from " << s.start;
    }
  });
}

// Compress_d on every canonical value and every width, against rounding
// with integers: round(2^d x / q) = floor((2^(d+1) x + q) / 2q), mod 2^d.
TEST(MlKemDispatch, CompressMatchesRoundingOnEveryPath) {
  on_every_path([&] {
    for (unsigned d = 1; d <= 11; ++d)
      for (uint32_t base = 0; base < kQ; base += 256) {
        Poly f;
        for (uint32_t i = 0; i < 256; ++i) f.c[i] = static_cast<uint16_t>((base + i) % kQ);
        const Poly in = f;
        core::mlkem::compress_poly(f, d);
        for (uint32_t i = 0; i < 256; ++i) {
          const uint32_t want = (((uint32_t{in.c[i]} << (d + 1)) + kQ) / (2 * kQ)) % (1u << d);
          ASSERT_EQ(f.c[i], want) << "x " << in.c[i] << " d " << d;
        }
      }
  });
}

// ByteEncode_12 / ByteDecode_12 (values of q and above reduced), on a
// buffer of exactly 384*k bytes so that a read past its end shows under
// AddressSanitizer.
TEST(MlKemDispatch, TwelveBitCodingMatchesTheDefinitionOnEveryPath) {
  std::mt19937 rng(12);
  on_every_path([&] {
    for (size_t k = 1; k <= 4; ++k) {
      std::vector<uint8_t> in(384 * k);
      for (auto& v : in) v = static_cast<uint8_t>(rng());
      in[0] = 0xFF, in[1] = 0x0F;  // 4095 first
      in[384 * k - 1] = 0xFF;      // 4080 or more last
      const core::mlkem::PolyVec v = core::mlkem::PolyVec::from_bytes(in, k);
      for (size_t n = 0; n < k; ++n)
        for (size_t i = 0; i < 128; ++i) {
          const uint8_t* b = &in[384 * n + 3 * i];
          const uint32_t d1 = b[0] | ((b[1] & 0x0Fu) << 8), d2 = (b[1] >> 4) | (uint32_t{b[2]} << 4);
          ASSERT_EQ(v[n].c[2 * i], d1 % kQ) << n << " " << i;
          ASSERT_EQ(v[n].c[2 * i + 1], d2 % kQ) << n << " " << i;
        }
      std::vector<uint8_t> out(384 * k);
      v.to_bytes(out);
      // Re-encoding the reduced values: the input wherever it was below q.
      for (size_t n = 0; n < k; ++n)
        for (size_t i = 0; i < 256; ++i) {
          const uint8_t* b = &out[384 * n + 3 * (i / 2)];
          const uint32_t d = i % 2 ? (b[1] >> 4) | (uint32_t{b[2]} << 4) : b[0] | ((b[1] & 0x0Fu) << 8);
          ASSERT_EQ(d, v[n].c[i]) << n << " " << i;
        }
    }
  });
}

// Byte patterns for the coding and sampling kernels: all zero, all 0xFF,
// alternating bits, and random bytes.
std::vector<std::vector<uint8_t>> byte_patterns(size_t len, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::vector<uint8_t>> out;
  out.emplace_back(len, 0x00);
  out.emplace_back(len, 0xFF);
  out.emplace_back(len, 0xAA);
  out.emplace_back(len, 0x5B);
  for (int n = 0; n < 8; ++n) {
    std::vector<uint8_t> b(len);
    for (auto& v : b) v = static_cast<uint8_t>(rng());
    out.push_back(b);
  }
  return out;
}

uint32_t bit_at(const std::vector<uint8_t>& b, size_t i) { return (b[i / 8] >> (i % 8)) & 1; }

// SamplePolyCBD_eta as written: coefficient i is the sum of bits 2*i*eta ..
// 2*i*eta + eta - 1 minus the sum of the next eta bits, mod q. The buffer has
// exactly 64*eta bytes, so a read past its end shows under AddressSanitizer.
TEST(MlKemDispatch, CbdMatchesTheDefinitionOnEveryPath) {
  on_every_path([&] {
    for (unsigned eta : {2u, 3u})
      for (const auto& bytes : byte_patterns(64 * eta, 40 + eta)) {
        Poly f;
        f.c.fill(0xFFFF);
        core::mlkem::cbd(f, bytes, eta);
        for (size_t i = 0; i < 256; ++i) {
          int32_t x = 0, y = 0;
          for (unsigned j = 0; j < eta; ++j) {
            x += static_cast<int32_t>(bit_at(bytes, 2 * i * eta + j));
            y += static_cast<int32_t>(bit_at(bytes, 2 * i * eta + eta + j));
          }
          ASSERT_EQ(f.c[i], (x - y + kQ) % kQ) << "eta " << eta << " coefficient " << i;
        }
      }
  });
}

// ByteDecode_d and ByteEncode_d for every width of the ciphertext (1 to 11):
// bit j of coefficient i is bit d*i + j of the bytes. Encoding keeps the low
// d bits of each coefficient (so canonical values above 2^d are masked).
TEST(MlKemDispatch, ByteCodingMatchesTheDefinitionOnEveryPath) {
  std::mt19937 rng(5);
  on_every_path([&] {
    for (unsigned d = 1; d <= 11; ++d) {
      for (const auto& bytes : byte_patterns(32 * d, 60 + d)) {
        const Poly f = Poly::decode_d(bytes, d);
        for (size_t i = 0; i < 256; ++i) {
          uint32_t want = 0;
          for (unsigned j = 0; j < d; ++j) want |= bit_at(bytes, d * i + j) << j;
          ASSERT_EQ(f.c[i], want) << "d " << d << " coefficient " << i;
        }
        std::vector<uint8_t> back(32 * d);
        f.encode_d(back, d);
        ASSERT_EQ(back, bytes) << "d " << d;
      }
      std::vector<Poly> polys = inputs();
      Poly top;
      top.c.fill(static_cast<uint16_t>((1u << d) - 1));
      polys.push_back(top);
      for (Poly f : polys) {
        if (d == 1) f.c[255] = 1;  // a set bit in the last byte
        std::vector<uint8_t> out(32 * d, 0xEE);
        f.encode_d(out, d);
        for (size_t i = 0; i < 256; ++i)
          for (unsigned j = 0; j < d; ++j)
            ASSERT_EQ(bit_at(out, d * i + j), (f.c[i] >> j) & 1u)
                << "d " << d << " coefficient " << i << " bit " << j;
      }
    }
  });
}

// Decompress_d on every d-bit value: round(q y / 2^d) = floor((2 q y + 2^d) / 2^(d+1)).
TEST(MlKemDispatch, DecompressMatchesRoundingOnEveryPath) {
  on_every_path([&] {
    for (unsigned d = 1; d <= 11; ++d)
      for (uint32_t base = 0; base < (1u << d); base += 256) {
        Poly f;
        for (uint32_t i = 0; i < 256; ++i) f.c[i] = static_cast<uint16_t>((base + i) % (1u << d));
        const Poly in = f;
        core::mlkem::decompress_poly(f, d);
        for (uint32_t i = 0; i < 256; ++i) {
          const uint32_t want = (2 * kQ * uint32_t{in.c[i]} + (1u << d)) >> (d + 1);
          ASSERT_EQ(f.c[i], want) << "y " << in.c[i] << " d " << d;
        }
      }
  });
}

// The message forms: Compress_1 of every canonical value, with
// round(2w / q) mod 2 = floor((4w + q) / 2q) mod 2, into the bits of m; and
// adding Decompress_1 of m's bits, 1665 per set bit, to a polynomial.
TEST(MlKemDispatch, MessageFormsMatchTheDefinitionOnEveryPath) {
  on_every_path([&] {
    for (uint32_t base = 0; base < kQ; base += 256) {
      Poly w;
      for (uint32_t i = 0; i < 256; ++i) w.c[i] = static_cast<uint16_t>((base + i * 13) % kQ);
      std::array<uint8_t, 32> m;
      m.fill(0xEE);
      core::mlkem::message_from_poly(m, w);
      for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t want = ((4 * uint32_t{w.c[i]} + kQ) / (2 * kQ)) % 2;
        ASSERT_EQ((m[i / 8] >> (i % 8)) & 1u, want) << "w " << w.c[i];
      }
    }
    const auto polys = inputs();
    size_t n = 0;
    for (const auto& bytes : byte_patterns(32, 77))
      for (const Poly& f : {polys[n++ % polys.size()], polys[1]}) {
        Poly g = f;
        core::mlkem::add_message(g, core::Seed(bytes.data(), 32));
        for (size_t i = 0; i < 256; ++i)
          ASSERT_EQ(g.c[i], (f.c[i] + bit_at(bytes, i) * 1665u) % kQ) << "coefficient " << i;
      }
  });
}

}  // namespace
