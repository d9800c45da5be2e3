// Wiping: the self-wiping types on their own, then a residue check of the
// ML-KEM and X-Wing operations. The residue check clears a stretch of the stack, runs
// one operation below it, and searches what the operation left there, and
// every heap block freed while it ran, for its secret intermediates (seeds,
// sigma, K, r, m', K', K_bar, PRF output, noise and secret-key polynomials,
// computed here independently), and OpenSSL's blocks that are still live
// (a reused digest context) as well. It is meant for debug builds, where
// locals live in memory rather than in registers whose spills no type can
// reach: it runs in builds without NDEBUG (the portable-arithmetic run of
// scripts/test.sh, at -O1, is one) and skips otherwise, and under the
// sanitizers, whose allocator and fake stacks it cannot see.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <openssl/crypto.h>

#include "core/common/ecdh.h"
#include "core/common/hash.h"
#include "core/common/secret.h"
#include "core/kem.h"
#include "core/kem_key.h"
#include "core/mlkem/kpke.h"
#include "core/mlkem/math/ntt.h"
#include "core/mlkem/math/poly.h"
#include "core/mlkem/sampling.h"
#include "core/xwing.h"

namespace {

using core::Level;
using core::mlkem::Poly;
using Pattern = std::array<uint8_t, 32>;

#if defined(__SANITIZE_ADDRESS__)
#define TARNEL_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNEL_TEST_SANITIZED 1
#endif
#endif

#if !defined(NDEBUG) && !defined(TARNEL_TEST_SANITIZED)
#define TARNEL_RESIDUE_CHECK 1
constexpr bool kActive = true;
#else
constexpr bool kActive = false;
#endif
constexpr const char* kSkipReason =
    "the residue check runs in unoptimised builds without sanitizers (see the file comment)";

struct Secrets {
  std::vector<std::string> names;
  std::vector<Pattern> values;
  void add(const std::string& name, core::ByteView b) {
    Pattern p;
    std::memcpy(p.data(), b.data(), 32);
    names.push_back(name);
    values.push_back(p);
  }
  void add(const std::string& name, const Poly& f) {
    add(name, core::ByteView(reinterpret_cast<const uint8_t*>(f.c.data()), 32));
  }
};

// ---- Heap: freed blocks are searched while a watch is armed. ----

constexpr size_t kMaxHits = 16;
std::atomic<const Secrets*> g_watch{nullptr};
std::array<size_t, kMaxHits> g_heap_hits{};
std::atomic<size_t> g_heap_hit_count{0};

size_t find_in(const uint8_t* p, size_t n, const Secrets& s, size_t* hits, size_t max_hits) {
  size_t count = 0;
  for (size_t i = 0; i + 32 <= n; ++i)
    for (size_t j = 0; j < s.values.size(); ++j)
      if (p[i] == s.values[j][0] && std::memcmp(p + i, s.values[j].data(), 32) == 0) {
        if (count < max_hits) hits[count] = j;
        ++count;
      }
  return count;
}

void check_freed(void* p) noexcept {
  const Secrets* s = g_watch.load();
  if (s == nullptr || p == nullptr) return;
  std::array<size_t, kMaxHits> hits{};
  const size_t n = find_in(static_cast<uint8_t*>(p), malloc_usable_size(p), *s, hits.data(),
                           kMaxHits);
  for (size_t i = 0; i < n && i < kMaxHits; ++i) {
    const size_t at = g_heap_hit_count.fetch_add(1);
    if (at < kMaxHits) g_heap_hits[at] = hits[i];
  }
}

// OpenSSL's own allocations (digest states, cipher contexts) go through hooks
// that keep a table of the live ones, so that blocks OpenSSL keeps between
// calls (a reused digest context) are searched too, not only freed ones.
constexpr size_t kMaxLive = 4096;
struct LiveBlock {
  void* p;
  size_t n;
};
std::mutex g_live_mutex;
std::array<LiveBlock, kMaxLive> g_live{};

void* ossl_malloc(size_t n, const char*, int) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(g_live_mutex);
  for (LiveBlock& b : g_live)
    if (b.p == nullptr) {
      b = {p, n};
      break;
    }
  return p;
}
void forget(void* p) {
  std::lock_guard<std::mutex> lock(g_live_mutex);
  for (LiveBlock& b : g_live)
    if (b.p == p) b = {nullptr, 0};
}
void* ossl_realloc(void* p, size_t n, const char* file, int line) {
  if (p == nullptr) return ossl_malloc(n, file, line);
  forget(p);
  void* q = std::realloc(p, n == 0 ? 1 : n);
  std::lock_guard<std::mutex> lock(g_live_mutex);
  for (LiveBlock& b : g_live)
    if (b.p == nullptr) {
      b = {q != nullptr ? q : p, q != nullptr ? n : 0};
      break;
    }
  return q;
}
void ossl_free(void* p, const char*, int) {
  check_freed(p);
  forget(p);
  std::free(p);
}
// Must run before OpenSSL's first allocation: a static initialiser. Only in
// the builds where the check runs (the table makes every allocation slower).
const bool g_hooks_installed =
    kActive && CRYPTO_set_mem_functions(ossl_malloc, ossl_realloc, ossl_free) == 1;

// search_live_ossl adds to `found` the secrets held in OpenSSL's live blocks.
void search_live_ossl(const Secrets& s, std::vector<std::string>& found) {
  std::lock_guard<std::mutex> lock(g_live_mutex);
  for (const LiveBlock& b : g_live) {
    if (b.p == nullptr) continue;
    std::array<size_t, kMaxHits> hits{};
    const size_t n = find_in(static_cast<uint8_t*>(b.p), b.n, s, hits.data(), kMaxHits);
    for (size_t i = 0; i < n && i < kMaxHits; ++i)
      found.push_back("live OpenSSL block: " + s.names[hits[i]]);
  }
}

}  // namespace

#if defined(TARNEL_RESIDUE_CHECK)
// Replaced for the whole test program; kept out of line so that the compiler
// does not pair an inlined free() with a new-expression.
[[gnu::noinline]] void* operator new(size_t n) {
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  check_freed(p);
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept {
  check_freed(p);
  std::free(p);
}
// The aligned forms as well: polynomials are 32-byte aligned, so a key
// object's expanded parts come from these.
[[gnu::noinline]] void* operator new(size_t n, std::align_val_t align) {
  void* p = nullptr;
  const size_t a = std::max(static_cast<size_t>(align), sizeof(void*));
  if (posix_memalign(&p, a, n == 0 ? 1 : n) == 0) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p, std::align_val_t) noexcept {
  check_freed(p);
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, size_t, std::align_val_t) noexcept {
  check_freed(p);
  std::free(p);
}
#endif

namespace {

// ---- Stack. ----

constexpr size_t kPad = 8 * 1024;      // between the caller and the operation
constexpr size_t kSpan = 192 * 1024;   // searched below the caller

[[gnu::noinline]] void clear_stack() {
  uint8_t buf[kSpan + kPad];
  core::wipe(buf, sizeof buf);
  __asm__ volatile("" : : "r"(buf) : "memory");
}

[[gnu::noinline]] void run_below(const std::function<void()>& op) {
  uint8_t pad[kPad];
  __asm__ volatile("" : : "r"(pad) : "memory");
  op();
  __asm__ volatile("" : : : "memory");
}

// Searches [frame - kSpan, frame - 4 KiB): below this function's own frame and
// the few bytes its calls may use; fills `hits`, returns the count.
[[gnu::noinline]] size_t search_stack(const Secrets& s, size_t* hits) {
  const auto* top = static_cast<const uint8_t*>(__builtin_frame_address(0));
  return find_in(top - kSpan, kSpan - 4096, s, hits, kMaxHits);
}

std::vector<std::string> residue(const Secrets& s, const std::function<void()>& op) {
  g_heap_hit_count = 0;
  clear_stack();
  g_watch = &s;
  run_below(op);
  g_watch = nullptr;
  std::array<size_t, kMaxHits> hits{};
  const size_t n = search_stack(s, hits.data());
  std::vector<std::string> found;
  for (size_t i = 0; i < n && i < kMaxHits; ++i) found.push_back("stack: " + s.names[hits[i]]);
  for (size_t i = 0; i < g_heap_hit_count && i < kMaxHits; ++i)
    found.push_back("freed heap block: " + s.names[g_heap_hits[i]]);
  search_live_ossl(s, found);
  return found;
}

// ---- The secrets of each operation, computed independently. ----

// The noise of K-PKE from `seed` with nonces first.., pre- and post-NTT as asked.
void add_noise(Secrets& s, const std::string& what, core::Seed seed, uint8_t first,
               size_t count, unsigned eta, bool ntt) {
  for (size_t i = 0; i < count; ++i) {
    const uint8_t nonce = static_cast<uint8_t>(first + i);
    std::array<uint8_t, 192> prf{};
    core::shake256(core::MutableBytes(prf.data(), 64 * eta), {core::ByteView(seed),
                                                                core::ByteView(&nonce, 1)});
    const std::string n = what + "[" + std::to_string(i) + "]";
    s.add("PRF output for " + n, prf);
    Poly f;
    core::mlkem::cbd(f, core::ByteView(prf.data(), 64 * eta), eta);
    s.add(n, f);
    if (ntt) {
      core::mlkem::ntt(f);
      s.add("NTT of " + n, f);
    }
  }
}

void add_encrypt_secrets(Secrets& s, const core::Params& p, core::Seed m, core::Seed r) {
  s.add("m", m);
  s.add("r", r);
  add_noise(s, "y", r, 0, p.k, p.eta1, true);
  add_noise(s, "e1", r, static_cast<uint8_t>(p.k), p.k, p.eta2, false);
  add_noise(s, "e2", r, static_cast<uint8_t>(2 * p.k), 1, p.eta2, false);
}

Secrets keygen_secrets(const core::Params& p, core::Seed d, core::Seed z) {
  Secrets s;
  s.add("d", d);
  s.add("z", z);
  std::array<uint8_t, 64> rho_sigma;
  const uint8_t k = p.k;
  core::sha3_512(rho_sigma, {core::ByteView(d), core::ByteView(&k, 1)});
  const core::Seed sigma(rho_sigma.data() + 32, 32);
  s.add("sigma", sigma);
  add_noise(s, "s", sigma, 0, p.k, p.eta1, true);
  add_noise(s, "e", sigma, static_cast<uint8_t>(p.k), p.k, p.eta1, true);
  return s;
}

Secrets decaps_secrets(const core::Params& p, core::ByteView dk, core::ByteView c) {
  Secrets s;
  const core::ByteView dk_pke = dk.first(p.dk_pke_len());
  s.add("dk_pke", dk_pke);
  s.add("z", dk.last(32));
  core::mlkem::SecretPolyVec s_hat;
  s_hat.decode(dk_pke, p.k);
  for (size_t i = 0; i < p.k; ++i) s.add("s_hat[" + std::to_string(i) + "]", s_hat[i]);
  std::array<uint8_t, 32> m_prime;
  core::mlkem::k_pke_decrypt(m_prime, dk_pke, c, p);
  std::array<uint8_t, 64> k_r;
  core::sha3_512(k_r, {core::ByteView(m_prime), dk.subspan(p.dk_pke_len() + p.ek_len(), 32)});
  s.add("K'", core::ByteView(k_r).first(32));
  add_encrypt_secrets(s, p, m_prime, core::Seed(k_r.data() + 32, 32));
  std::array<uint8_t, 32> k_bar;
  core::shake256(k_bar, {dk.last(32), c});
  s.add("K_bar", k_bar);
  return s;
}

// ---- Tests. ----

[[gnu::noinline]] void copy_to_stack(const Pattern& p) {
  Pattern local = p;
  __asm__ volatile("" : : "r"(local.data()) : "memory");
}

TEST(Wiping, WipedAndSecretClearTheirStorage) {
  alignas(Poly) uint8_t raw[sizeof(core::mlkem::SecretPoly)];
  std::memset(raw, 0xEE, sizeof raw);
  auto* f = new (raw) core::mlkem::SecretPoly();
  for (size_t i = 0; i < 256; ++i) (*f)[i] = static_cast<uint16_t>(i + 1);
  std::destroy_at(f);
  __asm__ volatile("" : : "r"(raw) : "memory");
  EXPECT_EQ(std::count(raw, raw + sizeof raw, 0), static_cast<long>(sizeof raw));

  alignas(core::Secret<40>) uint8_t raw2[sizeof(core::Secret<40>)];
  std::memset(raw2, 0xEE, sizeof raw2);
  auto* k = new (raw2) core::Secret<40>();
  std::memset(k->data(), 0xA5, 40);
  core::Secret<40> moved(std::move(*k));
  EXPECT_EQ(std::count(k->bytes.begin(), k->bytes.end(), 0), 40);  // the source is wiped
  EXPECT_EQ(moved.bytes[39], 0xA5);
  std::memset(k->data(), 0x5A, 40);
  std::destroy_at(k);
  __asm__ volatile("" : : "r"(raw2) : "memory");
  EXPECT_EQ(std::count(raw2, raw2 + sizeof raw2, 0), static_cast<long>(sizeof raw2));

  // A Wiped value starts as the value it is given.
  core::mlkem::SecretPolyVec v(core::mlkem::PolyVec::zero(3));
  EXPECT_EQ(v.size(), 3u);
}

TEST(Wiping, SecretBytesWipeFreedBlocks) {
  if (!kActive) GTEST_SKIP() << kSkipReason;
  Secrets s;
  Pattern marker;
  for (size_t i = 0; i < 32; ++i) marker[i] = static_cast<uint8_t>(0xC0 + i);
  s.add("marker", marker);
  auto in_heap = [](std::vector<std::string> found) {
    std::erase_if(found, [](const std::string& f) { return f.starts_with("stack: "); });
    return found;
  };
  // Growth frees the old block, destruction the last one: neither keeps it.
  EXPECT_EQ(in_heap(residue(s, [&] {
              core::SecretBytes b(marker.begin(), marker.end());
              b.resize(4096);
            })),
            std::vector<std::string>{});
  // The check itself sees a plain vector and a plain array that keep their
  // contents.
  EXPECT_EQ(in_heap(residue(s, [&] { core::Bytes b(marker.begin(), marker.end()); })),
            std::vector<std::string>{"freed heap block: marker"});
  const auto on_stack = residue(s, [&] { copy_to_stack(marker); });
  EXPECT_NE(std::find(on_stack.begin(), on_stack.end(), "stack: marker"), on_stack.end());
}

// Each test takes seeds of its own (by `salt`), so a search never finds
// what another test left behind.
class WipingMlKem : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!kActive) GTEST_SKIP() << kSkipReason;
    ASSERT_TRUE(g_hooks_installed) << "OpenSSL allocated before the hooks were installed";
  }
  Level level() const { return static_cast<Level>(GetParam()); }
  struct Seeds {
    std::array<uint8_t, 32> d, z, m;
  };
  static Seeds seeds(uint8_t salt) {
    Seeds s;
    for (size_t i = 0; i < 32; ++i) {
      s.d[i] = static_cast<uint8_t>(0x11 * i + salt);
      s.z[i] = static_cast<uint8_t>(0x27 * i + salt + 1);
      s.m[i] = static_cast<uint8_t>(0x35 * i + salt + 2);
    }
    return s;
  }
  // encaps_secrets: what encapsulating m to ek must not leave behind (K,
  // r and the K-PKE intermediates), for the encapsulation run as the key
  // holder computes it.
  static Secrets encaps_secrets(const core::Params& p, core::ByteView ek,
                                const std::array<uint8_t, 32>& m) {
    std::array<uint8_t, 64> k_r;
    std::array<uint8_t, 32> h;
    core::sha3_256(h, {ek});
    core::sha3_512(k_r, {core::ByteView(m), core::ByteView(h)});
    Secrets s;
    s.add("K", core::ByteView(k_r).first(32));
    add_encrypt_secrets(s, p, m, core::Seed(k_r.data() + 32, 32));
    return s;
  }
};

TEST_P(WipingMlKem, OperationsLeaveNoSecretBehind) {
  const Level level = this->level();
  const core::Params& p = core::params(level);
  const auto [d, z, m] = seeds(3);

  {
    const Secrets s = keygen_secrets(p, d, z);
    core::Result<core::KeyPairBytes> kp = core::Error{core::ErrorKind::Internal};
    EXPECT_EQ(residue(s, [&] { kp = core::ml_kem_keygen_deterministic(d, z, level); }),
              std::vector<std::string>{});
    ASSERT_TRUE(kp.ok());
  }
  auto kp = core::ml_kem_keygen_deterministic(d, z, level);
  ASSERT_TRUE(kp.ok());
  const core::ByteView ek = kp.value().ek;
  const core::ByteView dk = kp.value().dk;

  {
    const Secrets s = encaps_secrets(p, ek, m);
    core::Result<core::DeterministicEncapsulationResult> enc = core::Error{core::ErrorKind::Internal};
    // The record itself carries m: it is out of the searched area.
    EXPECT_EQ(residue(s, [&] { enc = core::ml_kem_encaps_deterministic(ek, m, level); }),
              std::vector<std::string>{});
    ASSERT_TRUE(enc.ok());
  }
  auto enc = core::ml_kem_encaps_deterministic(ek, m, level);
  ASSERT_TRUE(enc.ok());
  core::Bytes c = enc.value().capsule;

  // A good capsule, then a damaged one (implicit rejection).
  for (int damaged = 0; damaged < 2; ++damaged) {
    SCOPED_TRACE(damaged ? "damaged capsule" : "good capsule");
    if (damaged) c[7] ^= 0x20;
    const Secrets s = decaps_secrets(p, dk, c);
    core::Result<core::Key256> k = core::Error{core::ErrorKind::Internal};
    EXPECT_EQ(residue(s, [&] { k = core::ml_kem_decaps(c, dk, level); }),
              std::vector<std::string>{});
    ASSERT_TRUE(k.ok());
  }
}

// The key objects: making a decapsulation key, decapsulating and
// encapsulating with the objects, and freeing the decapsulation key leave
// none of the secrets on the stack or in a freed block (the live key keeps
// s_hat and z in its own block, which is not searched until it is freed).
TEST_P(WipingMlKem, KeyObjectsLeaveNoSecretBehind) {
  const Level level = this->level();
  const core::Params& p = core::params(level);
  const auto [d, z, m] = seeds(9);
  auto kp = core::ml_kem_keygen_deterministic(d, z, level);
  ASSERT_TRUE(kp.ok());
  const core::ByteView ek_bytes = kp.value().ek;
  const core::ByteView dk_bytes = kp.value().dk;
  auto ek = core::EncapsulationKey::from_bytes(ek_bytes, level);
  ASSERT_TRUE(ek.ok());

  {
    const Secrets s = encaps_secrets(p, ek_bytes, m);
    core::Result<core::DeterministicEncapsulationResult> enc =
        core::Error{core::ErrorKind::Internal};
    EXPECT_EQ(residue(s, [&] { enc = ek.value().encapsulate_deterministic(m); }),
              std::vector<std::string>{});
    ASSERT_TRUE(enc.ok());
  }
  auto enc = ek.value().encapsulate_deterministic(m);
  ASSERT_TRUE(enc.ok());
  core::Bytes c = enc.value().capsule;

  const Secrets key_secrets = decaps_secrets(p, dk_bytes, c);
  std::optional<core::DecapsulationKey> dk;
  EXPECT_EQ(residue(key_secrets, [&] {
              auto r = core::DecapsulationKey::from_bytes(dk_bytes, level);
              if (r.ok()) dk.emplace(std::move(r).value());
            }),
            std::vector<std::string>{});
  ASSERT_TRUE(dk.has_value());
  for (int damaged = 0; damaged < 2; ++damaged) {
    SCOPED_TRACE(damaged ? "damaged capsule" : "good capsule");
    if (damaged) c[11] ^= 0x04;
    const Secrets s = decaps_secrets(p, dk_bytes, c);
    core::Result<core::Key256> k = core::Error{core::ErrorKind::Internal};
    EXPECT_EQ(residue(s, [&] { k = dk->decapsulate(c); }), std::vector<std::string>{});
    ASSERT_TRUE(k.ok());
  }
  // Freeing the key wipes s_hat and z before the block goes back.
  EXPECT_EQ(residue(key_secrets, [&] { dk.reset(); }), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Levels, WipingMlKem, ::testing::Values(0, 1, 2));

// X-Wing: the seed's expansion (d, z, the X25519 scalar), ML-KEM-768's
// intermediates, the eseed's halves and both component shared secrets.
TEST(WipingXWing, OperationsLeaveNoSecretBehind) {
  if (!kActive) GTEST_SKIP() << kSkipReason;
  ASSERT_TRUE(g_hooks_installed) << "OpenSSL allocated before the hooks were installed";
  const core::Params& p = core::params(Level::MlKem768);
  std::array<uint8_t, 32> seed;
  std::array<uint8_t, 64> eseed;
  for (size_t i = 0; i < 32; ++i) seed[i] = static_cast<uint8_t>(0x13 * i + 1);
  for (size_t i = 0; i < 64; ++i) eseed[i] = static_cast<uint8_t>(0x29 * i + 9);
  std::array<uint8_t, 96> expanded;
  core::shake256(expanded, {core::ByteView(seed)});
  const core::Seed d(expanded.data(), 32), z(expanded.data() + 32, 32);
  const core::Seed sk_x(expanded.data() + 64, 32), m(eseed.data(), 32), ek_x(eseed.data() + 32, 32);

  auto expansion = [&] {
    Secrets s = keygen_secrets(p, d, z);
    s.add("seed", seed);
    s.add("sk_X", sk_x);
    return s;
  };
  {
    const Secrets s = expansion();
    core::Result<core::XWingKeyPair> kp = core::Error{core::ErrorKind::Internal};
    // The record itself carries the seed: it is out of the searched area.
    EXPECT_EQ(residue(s, [&] { kp = core::xwing_keygen_deterministic(seed); }),
              std::vector<std::string>{});
    ASSERT_TRUE(kp.ok());
  }
  auto kp = core::xwing_keygen_deterministic(seed);
  ASSERT_TRUE(kp.ok());
  const core::ByteView pk = kp.value().public_key;
  const core::X25519Bytes pk_x(pk.data() + p.ek_len(), 32);
  std::array<uint8_t, 32> ct_x, ss_x;
  ASSERT_TRUE(core::x25519_public(ct_x, ek_x).ok());
  ASSERT_TRUE(core::x25519(ss_x, ek_x, ct_x, pk_x).ok());

  std::array<uint8_t, 64> k_r;
  std::array<uint8_t, 32> h;
  core::sha3_256(h, {pk.first(p.ek_len())});
  core::sha3_512(k_r, {core::ByteView(m), core::ByteView(h)});
  {
    Secrets s;
    s.add("ek_X", ek_x);
    s.add("ss_X", ss_x);
    s.add("ss_M", core::ByteView(k_r).first(32));
    add_encrypt_secrets(s, p, m, core::Seed(k_r.data() + 32, 32));
    core::Result<core::EncapsulationResult> enc = core::Error{core::ErrorKind::Internal};
    EXPECT_EQ(residue(s, [&] { enc = core::xwing_encaps_deterministic(pk, eseed); }),
              std::vector<std::string>{});
    ASSERT_TRUE(enc.ok());
  }
  auto enc = core::xwing_encaps_deterministic(pk, eseed);
  ASSERT_TRUE(enc.ok());
  core::Bytes c = enc.value().capsule;
  auto expanded_key = core::xwing_expand(seed);
  ASSERT_TRUE(expanded_key.ok());

  for (int damaged = 0; damaged < 2; ++damaged) {
    SCOPED_TRACE(damaged ? "damaged ciphertext" : "good ciphertext");
    if (damaged) c[7] ^= 0x20;
    Secrets s = decaps_secrets(p, expanded_key.value().dk_m, core::ByteView(c).first(p.ct_len()));
    const Secrets more = expansion();
    for (size_t i = 0; i < more.names.size(); ++i) s.add(more.names[i], more.values[i]);
    s.add("ss_X", ss_x);
    core::Result<core::Key256> k = core::Error{core::ErrorKind::Internal};
    EXPECT_EQ(residue(s, [&] { k = core::xwing_decaps(c, seed); }), std::vector<std::string>{});
    ASSERT_TRUE(k.ok());
  }
}

}  // namespace
