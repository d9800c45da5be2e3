#include "core/common/ecdh.h"

#include <array>
#include <memory>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/params.h>

#include "core/common/ct.h"
#include "core/common/ossl.h"

namespace core {
namespace {

// The group orders (SP 800-186, Section 3.2.1), big-endian.
constexpr std::array<uint8_t, 32> kP256Order{
    0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xbc, 0xe6, 0xfa, 0xad, 0xa7, 0x17, 0x9e, 0x84, 0xf3, 0xb9, 0xca, 0xc2, 0xfc, 0x63, 0x25, 0x51};
constexpr std::array<uint8_t, 48> kP384Order{
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xc7, 0x63, 0x4d, 0x81, 0xf4, 0x37, 0x2d, 0xdf,
    0x58, 0x1a, 0x0d, 0xb2, 0x48, 0xb0, 0xa7, 0x7a, 0xec, 0xec, 0x19, 0x6a, 0xcc, 0xc5, 0x29, 0x73};

ByteView order_of(Curve c) {
  if (c == Curve::P256) return {kP256Order.data(), kP256Order.size()};
  return {kP384Order.data(), kP384Order.size()};
}

// The groups are built once per process and never freed (like the library's
// own tables); a failure is an internal fault.
const EC_GROUP* group_of(Curve c) {
  static const std::array<EC_GROUP*, 2> groups = [] {
    std::array<EC_GROUP*, 2> g{EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1),
                               EC_GROUP_new_by_curve_name(NID_secp384r1)};
    CORE_CHECK(g[0] != nullptr && g[1] != nullptr, "OpenSSL could not build an EC group");
    return g;
  }();
  return groups[static_cast<size_t>(c)];
}

constexpr const char* kScalarRange = "private key is not a scalar in [1, n-1]";
constexpr const char* kNotAPoint = "public key is not a point on the curve";

// load_scalar turns a checked big-endian scalar into a BIGNUM flagged for
// constant-time use; null for lack of memory.
SecretBn load_scalar(ByteView scalar) {
  SecretBn k(BN_secure_new());
  if (!k) return k;
  BN_set_flags(k.get(), BN_FLG_CONSTTIME);
  if (BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), k.get()) == nullptr) k.reset();
  return k;
}

// load_point decodes an uncompressed point; null when it is not on the curve
// or is the point at infinity.
EcPoint load_point(const EC_GROUP* group, ByteView point, size_t len, BN_CTX* bn) {
  if (point.size() != len || point[0] != 0x04) return nullptr;
  EcPoint p(EC_POINT_new(group));
  if (!p) return p;
  if (EC_POINT_oct2point(group, p.get(), point.data(), point.size(), bn) != 1 ||
      EC_POINT_is_at_infinity(group, p.get()) == 1) {
    ERR_clear_error();
    p.reset();
  }
  return p;
}

// scrub_stack overwrites the stack below its caller: libcrypto's X25519
// leaves intermediates in the frames it used, and the shared value is found
// there after the call (the residue check in tests/core/secret_wipe_test.cc
// shows it). 16 KiB covers the depth of the derive call.
[[gnu::noinline]] void scrub_stack() noexcept {
  uint8_t area[16 * 1024];
  wipe(area, sizeof area);
}

// ScalarLent makes an X25519 scalar public for the length of a libcrypto
// call and secret again after it, with the result. libcrypto's X25519 is
// left out of the constant-time check: its ladder is branch-free, but its
// all-zero test of the result ends in a branch inside the library that no
// mark of ours can reach.
struct ScalarLent {
  X25519Bytes scalar;
  std::span<uint8_t, kX25519Len> out;
  ScalarLent(X25519Bytes s, std::span<uint8_t, kX25519Len> o) : scalar(s), out(o) {
    CT_PUBLIC(scalar.data(), scalar.size());
  }
  ScalarLent(const ScalarLent&) = delete;
  ScalarLent& operator=(const ScalarLent&) = delete;
  ~ScalarLent() {
    CT_SECRET(scalar.data(), scalar.size());
    CT_SECRET(out.data(), out.size());
  }
};

// x25519_maker is this thread's libcrypto context for making X25519 keys
// from raw bytes. Making one costs a search of libcrypto's method store, as
// long as the key it then makes; a context serves one thread at a time, so
// each thread keeps its own until it ends. Null when libcrypto cannot make
// one (a later call tries again).
EVP_PKEY_CTX* x25519_maker() {
  thread_local PkeyCtx maker;
  if (!maker) {
    PkeyCtx made(EVP_PKEY_CTX_new_from_name(nullptr, "X25519", nullptr));
    if (made && EVP_PKEY_fromdata_init(made.get()) == 1) {
      maker = std::move(made);
    } else {
      ERR_clear_error();
    }
  }
  return maker.get();
}

// make_x25519 makes a libcrypto key from the octet-string parameters
// `params` (OSSL_PKEY_PARAM_PRIV_KEY and/or OSSL_PKEY_PARAM_PUB_KEY) of the
// kind `selection`; null when libcrypto cannot.
Pkey make_x25519(int selection, OSSL_PARAM* params) {
  EVP_PKEY* made = nullptr;
  EVP_PKEY_CTX* maker = x25519_maker();
  if (maker == nullptr || EVP_PKEY_fromdata(maker, &made, selection, params) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  return Pkey(made);
}

OSSL_PARAM octets(const char* name, X25519Bytes value) {
  return OSSL_PARAM_construct_octet_string(name, const_cast<uint8_t*>(value.data()), value.size());
}

// key_from_halves gives libcrypto the key pair from both halves: with the
// public half given, it does not run a base-point multiplication to make
// it. Null when libcrypto cannot make the key.
Pkey key_from_halves(X25519Bytes scalar, X25519Bytes scalar_public) {
  OSSL_PARAM halves[] = {octets(OSSL_PKEY_PARAM_PRIV_KEY, scalar),
                         octets(OSSL_PKEY_PARAM_PUB_KEY, scalar_public), OSSL_PARAM_construct_end()};
  return make_x25519(EVP_PKEY_KEYPAIR, halves);
}

// key_from_scalar gives libcrypto the scalar alone; it computes the public
// half. Null when libcrypto cannot make the key.
Pkey key_from_scalar(X25519Bytes scalar) {
  OSSL_PARAM half[] = {octets(OSSL_PKEY_PARAM_PRIV_KEY, scalar), OSSL_PARAM_construct_end()};
  return make_x25519(EVP_PKEY_KEYPAIR, half);
}

// derive_ctx makes a context that derives with `key`; null when libcrypto
// cannot.
PkeyCtx derive_ctx(EVP_PKEY* key) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (ctx && EVP_PKEY_derive_init(ctx.get()) != 1) ctx.reset();
  if (!ctx) ERR_clear_error();
  return ctx;
}

// derive_x25519 writes X25519 of the private key in `ctx` (a context from
// derive_ctx, used once) and `peer` to `out`: InvalidParameter "X25519
// shared secret is all zeros" when libcrypto refuses the result, with `out`
// wiped.
Status derive_x25519(std::span<uint8_t, kX25519Len> out, PkeyCtx ctx, EVP_PKEY* peer) {
  size_t len = out.size();
  const bool ok = ctx && EVP_PKEY_derive_set_peer(ctx.get(), peer) == 1 &&
                  EVP_PKEY_derive(ctx.get(), out.data(), &len) == 1 && len == out.size();
  ctx.reset();
  scrub_stack();
  CT_PUBLIC(&ok, sizeof ok);  // whether the result was all zeros is reported
  if (!ok) {
    ERR_clear_error();
    wipe(out);
    return Error{ErrorKind::InvalidParameter, "X25519 shared secret is all zeros"};
  }
  return Ok{};
}

// load_peer hands an X25519 public value to libcrypto; null when it cannot.
Pkey load_peer(X25519Bytes point) {
  OSSL_PARAM value[] = {octets(OSSL_PKEY_PARAM_PUB_KEY, point), OSSL_PARAM_construct_end()};
  return make_x25519(EVP_PKEY_PUBLIC_KEY, value);
}

}  // namespace

Status x25519_public(std::span<uint8_t, kX25519Len> out, X25519Bytes scalar) noexcept {
  Pkey key = key_from_scalar(scalar);
  size_t len = out.size();
  const bool ok = key && EVP_PKEY_get_raw_public_key(key.get(), out.data(), &len) == 1 &&
                  len == out.size();
  CT_PUBLIC(out.data(), out.size());  // a public key
  if (!ok) {
    ERR_clear_error();
    return Error{ErrorKind::Internal, "OpenSSL X25519 key generation failed"};
  }
  return Ok{};
}

Status x25519(std::span<uint8_t, kX25519Len> out, X25519Bytes scalar, X25519Bytes scalar_public,
              X25519Bytes point) noexcept {
  const ScalarLent lent(scalar, out);
  Pkey key = key_from_halves(scalar, scalar_public);
  Pkey peer = load_peer(point);
  if (!key || !peer) return Error{ErrorKind::OutOfMemory};
  return derive_x25519(out, derive_ctx(key.get()), peer.get());
}

// The handle keeps a context ready to derive with the key: each derive
// starts from a copy of it (EVP_PKEY_CTX_dup reads it only, so threads may
// copy it at once), which skips libcrypto's search for the key exchange.
struct X25519Key::Handle {
  Pkey key;
  PkeyCtx ready;
};

Result<X25519Key> X25519Key::from_scalar(X25519Bytes scalar, X25519Bytes scalar_public) noexcept {
  return contained<X25519Key>([&]() -> Result<X25519Key> {
    CT_PUBLIC(scalar.data(), scalar.size());  // for libcrypto's copy, as in x25519
    Pkey key = key_from_halves(scalar, scalar_public);
    CT_SECRET(scalar.data(), scalar.size());
    if (!key) return Error{ErrorKind::OutOfMemory};
    PkeyCtx ready = derive_ctx(key.get());
    if (!ready) return Error{ErrorKind::OutOfMemory};
    auto handle = std::make_shared<Handle>();
    handle->key = std::move(key);
    handle->ready = std::move(ready);
    return X25519Key(std::move(handle));
  });
}

Status X25519Key::derive(std::span<uint8_t, kX25519Len> out, X25519Bytes point) const noexcept {
  Pkey peer = load_peer(point);
  PkeyCtx ctx(EVP_PKEY_CTX_dup(handle_->ready.get()));
  if (!peer || !ctx) {
    ERR_clear_error();
    return Error{ErrorKind::OutOfMemory};
  }
  Status s = derive_x25519(out, std::move(ctx), peer.get());
  CT_SECRET(out.data(), out.size());
  return s;
}

struct X25519Peer::Handle {
  Pkey peer;
};

Result<X25519Peer> X25519Peer::from_point(X25519Bytes point) noexcept {
  return contained<X25519Peer>([&]() -> Result<X25519Peer> {
    Pkey peer = load_peer(point);
    if (!peer) return Error{ErrorKind::OutOfMemory};
    auto handle = std::make_shared<Handle>();
    handle->peer = std::move(peer);
    return X25519Peer(std::move(handle));
  });
}

Status X25519Peer::ephemeral(std::span<uint8_t, kX25519Len> scalar_public,
                             std::span<uint8_t, kX25519Len> out, X25519Bytes scalar) const noexcept {
  const ScalarLent lent(scalar, out);
  Pkey key = key_from_scalar(scalar);
  size_t public_len = scalar_public.size();
  if (!key || EVP_PKEY_get_raw_public_key(key.get(), scalar_public.data(), &public_len) != 1 ||
      public_len != scalar_public.size()) {
    ERR_clear_error();
    return Error{ErrorKind::Internal, "OpenSSL X25519 key generation failed"};
  }
  CT_PUBLIC(scalar_public.data(), scalar_public.size());  // a public key
  return derive_x25519(out, derive_ctx(key.get()), handle_->peer.get());
}

bool ec_scalar_in_range(Curve curve, ByteView scalar) noexcept {
  const ByteView order = order_of(curve);
  if (scalar.size() != order.size()) return false;
  // Big-endian comparison from the least significant byte up: `lt` ends as
  // the verdict of the most significant differing byte. No early exit.
  uint32_t lt = 0, nonzero = 0;
  for (size_t i = scalar.size(); i-- > 0;) {
    const uint32_t a = scalar[i], b = order[i];
    const uint32_t less = (a - b) >> 31;     // 1 when a < b
    const uint32_t differ = ((a ^ b) + 0xff) >> 8;  // 1 when a != b
    lt = (lt & (differ ^ 1)) | (less & differ);
    nonzero |= a;
  }
  return ct::barrier(lt & static_cast<uint32_t>(nonzero != 0)) == 1;
}

Status ec_public(Curve curve, MutableBytes point, ByteView scalar) noexcept {
  return contained<Ok>([&]() -> Status {
    CORE_CHECK(point.size() == point_len(curve), "ec_public: output size");
    if (!ec_scalar_in_range(curve, scalar)) return Error{ErrorKind::InvalidParameter, kScalarRange};
    const EC_GROUP* group = group_of(curve);
    BnCtx bn(BN_CTX_secure_new());
    SecretBn k = load_scalar(scalar);
    EcPoint r(bn ? EC_POINT_new(group) : nullptr);
    if (!bn || !k || !r) return Error{ErrorKind::OutOfMemory};
    const bool ok = EC_POINT_mul(group, r.get(), k.get(), nullptr, nullptr, bn.get()) == 1 &&
                    EC_POINT_point2oct(group, r.get(), POINT_CONVERSION_UNCOMPRESSED, point.data(),
                                       point.size(), bn.get()) == point.size();
    if (!ok) {
      ERR_clear_error();
      return Error{ErrorKind::Internal, "OpenSSL EC scalar multiplication failed"};
    }
    return Ok{};
  });
}

Status ec_check_point(Curve curve, ByteView point) noexcept {
  return contained<Ok>([&]() -> Status {
    BnCtx bn(BN_CTX_new());
    if (!bn) return Error{ErrorKind::OutOfMemory};
    if (!load_point(group_of(curve), point, point_len(curve), bn.get()))
      return Error{ErrorKind::InvalidParameter, kNotAPoint};
    return Ok{};
  });
}

Status ec_dh(Curve curve, MutableBytes shared_x, ByteView scalar, ByteView point) noexcept {
  return contained<Ok>([&]() -> Status {
    CORE_CHECK(shared_x.size() == scalar_len(curve), "ec_dh: output size");
    if (!ec_scalar_in_range(curve, scalar)) return Error{ErrorKind::InvalidParameter, kScalarRange};
    const EC_GROUP* group = group_of(curve);
    BnCtx bn(BN_CTX_secure_new());
    if (!bn) return Error{ErrorKind::OutOfMemory};
    EcPoint peer = load_point(group, point, point_len(curve), bn.get());
    if (!peer) return Error{ErrorKind::InvalidParameter, kNotAPoint};
    SecretBn k = load_scalar(scalar);
    SecretBn x(BN_secure_new());
    EcPoint r(EC_POINT_new(group));
    if (!k || !x || !r) return Error{ErrorKind::OutOfMemory};
    // One point and no generator term: libcrypto's constant-time ladder.
    const bool ok = EC_POINT_mul(group, r.get(), nullptr, peer.get(), k.get(), bn.get()) == 1 &&
                    EC_POINT_is_at_infinity(group, r.get()) == 0 &&
                    EC_POINT_get_affine_coordinates(group, r.get(), x.get(), nullptr, bn.get()) == 1 &&
                    BN_bn2binpad(x.get(), shared_x.data(), static_cast<int>(shared_x.size())) ==
                        static_cast<int>(shared_x.size());
    if (!ok) {
      ERR_clear_error();
      wipe(shared_x);
      return Error{ErrorKind::Internal, "OpenSSL ECDH failed"};
    }
    return Ok{};
  });
}

}  // namespace core
