// X25519 (RFC 7748) and elliptic-curve Diffie-Hellman on P-256 and P-384
// (SP 800-56A, Section 5.7.1.2) through OpenSSL's libcrypto. Scalars and
// shared values are secret; points are public.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "core/common/bytes.h"
#include "core/result.h"

namespace core {

inline constexpr size_t kX25519Len = 32;

using X25519Bytes = std::span<const uint8_t, kX25519Len>;

// x25519_public writes X25519(scalar, 9), the public key of `scalar`.
// Fails only with Internal (an OpenSSL failure).
Status x25519_public(std::span<uint8_t, kX25519Len> out, X25519Bytes scalar) noexcept;

// x25519 writes X25519(scalar, point). `scalar_public` is X25519(scalar, 9),
// which every caller already holds: libcrypto takes it with the scalar
// instead of computing it again. libcrypto refuses a point of small order,
// whose result would be all zeros (RFC 7748, Section 6.1): that is
// InvalidParameter "X25519 shared secret is all zeros", and `out` is wiped.
Status x25519(std::span<uint8_t, kX25519Len> out, X25519Bytes scalar, X25519Bytes scalar_public,
              X25519Bytes point) noexcept;

// X25519Key is an X25519 private key handed to libcrypto once, for key
// objects that derive with the same scalar many times (each x25519 call
// builds libcrypto's key afresh). Immutable after it is made; derive may be
// called from many threads at once. libcrypto wipes its copy when the last
// reference goes.
class X25519Key {
 public:
  // from_scalar loads `scalar` with its public value `scalar_public`
  // (X25519(scalar, 9)); OutOfMemory when libcrypto cannot make the key.
  static Result<X25519Key> from_scalar(X25519Bytes scalar, X25519Bytes scalar_public) noexcept;
  // derive writes X25519(scalar, point), as x25519 does, with its errors.
  Status derive(std::span<uint8_t, kX25519Len> out, X25519Bytes point) const noexcept;

 private:
  struct Handle;
  explicit X25519Key(std::shared_ptr<const Handle> handle) noexcept : handle_(std::move(handle)) {}
  std::shared_ptr<const Handle> handle_;
};

// X25519Peer is an X25519 public value handed to libcrypto once, for key
// objects that encapsulate to it many times. Immutable; shareable.
class X25519Peer {
 public:
  // from_point loads `point`; OutOfMemory when libcrypto cannot make it.
  static Result<X25519Peer> from_point(X25519Bytes point) noexcept;
  // ephemeral writes `scalar_public` = X25519(scalar, 9) and `out` =
  // X25519(scalar, peer) for a scalar used once (an encapsulation's
  // ephemeral key), from one libcrypto key. Errors as x25519_public and
  // x25519.
  Status ephemeral(std::span<uint8_t, kX25519Len> scalar_public,
                   std::span<uint8_t, kX25519Len> out, X25519Bytes scalar) const noexcept;

 private:
  struct Handle;
  explicit X25519Peer(std::shared_ptr<const Handle> handle) noexcept : handle_(std::move(handle)) {}
  std::shared_ptr<const Handle> handle_;
};

enum class Curve : uint8_t { P256, P384 };

// scalar_len is the length of a scalar and of a shared x-coordinate (32 for
// P-256, 48 for P-384); point_len that of an uncompressed point (SEC 1,
// Section 2.3.3: 0x04 || x || y).
constexpr size_t scalar_len(Curve c) { return c == Curve::P256 ? 32 : 48; }
constexpr size_t point_len(Curve c) { return 2 * scalar_len(c) + 1; }
inline constexpr size_t kMaxScalarLen = 48;
inline constexpr size_t kMaxPointLen = 97;

// ec_scalar_in_range tells whether the big-endian `scalar` (scalar_len
// bytes) lies in [1, n - 1], n the group order. It does not branch on the
// scalar's bytes.
bool ec_scalar_in_range(Curve curve, ByteView scalar) noexcept;

// ec_public writes the uncompressed point scalar * G. The scalar must be in
// range (checked: InvalidParameter "private key is not a scalar in [1, n-1]").
Status ec_public(Curve curve, MutableBytes point, ByteView scalar) noexcept;

// ec_check_point accepts an uncompressed point on the curve other than the
// point at infinity; else InvalidParameter "public key is not a point on the
// curve".
Status ec_check_point(Curve curve, ByteView point) noexcept;

// ec_dh writes the x-coordinate of scalar * point (scalar_len bytes). The
// point is checked as by ec_check_point; a result at infinity cannot occur
// for a valid point of the prime-order group and is an internal fault.
Status ec_dh(Curve curve, MutableBytes shared_x, ByteView scalar, ByteView point) noexcept;

}  // namespace core
