// Owning handles for libcrypto's objects: each frees its object with the
// library's own function when it goes out of scope. Secret-bearing objects
// use the library's clearing free (BN_clear_free, EC_POINT_clear_free).
#pragma once

#include <memory>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

namespace core {

template <auto Free>
struct OsslFree {
  template <class T>
  void operator()(T* p) const noexcept {
    Free(p);
  }
};

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, OsslFree<&EVP_CIPHER_CTX_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, OsslFree<&EVP_MD_CTX_free>>;
using MacCtx = std::unique_ptr<EVP_MAC_CTX, OsslFree<&EVP_MAC_CTX_free>>;
using Pkey = std::unique_ptr<EVP_PKEY, OsslFree<&EVP_PKEY_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, OsslFree<&EVP_PKEY_CTX_free>>;
using BnCtx = std::unique_ptr<BN_CTX, OsslFree<&BN_CTX_free>>;
using SecretBn = std::unique_ptr<BIGNUM, OsslFree<&BN_clear_free>>;
using EcPoint = std::unique_ptr<EC_POINT, OsslFree<&EC_POINT_clear_free>>;

}  // namespace core
