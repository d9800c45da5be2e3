#include "core/common/hash.h"

#include <array>
#include <memory>

#include <openssl/err.h>
#include <openssl/evp.h>

#include "core/common/ossl.h"
#include "core/result.h"

namespace core {
namespace {

struct Algorithm {
  const char* name;
  bool xof;
  bool wipe_after;  // false only for the public-input SHAKE128
};
constexpr std::array<Algorithm, 4> kAlgorithms{{
    {"SHA3-256", false, true},
    {"SHA3-512", false, true},
    {"SHAKE128", true, false},
    {"SHAKE256", true, true},
}};

// Fetched once per process, thread-safely, and never freed (like the
// library's own tables); a failed fetch is an internal fault.
const EVP_MD* md_of(HashFn fn) {
  static const std::array<const EVP_MD*, 4> mds = [] {
    std::array<const EVP_MD*, 4> out{};
    for (size_t i = 0; i < out.size(); ++i) {
      out[i] = EVP_MD_fetch(nullptr, kAlgorithms[i].name, nullptr);
      CORE_CHECK(out[i] != nullptr, "OpenSSL could not fetch a SHA-3 algorithm");
    }
    return out;
  }();
  return mds[static_cast<size_t>(fn)];
}

// The calling thread's digest context, reused instead of allocating one per
// call.
EVP_MD_CTX* thread_ctx() {
  thread_local MdCtx ctx(EVP_MD_CTX_new());
  CORE_CHECK(ctx != nullptr, "OpenSSL could not allocate a digest context");
  return ctx.get();
}

}  // namespace

void hash(HashFn fn, MutableBytes out, ByteView prefix, std::initializer_list<ByteView> parts) {
  const Algorithm& alg = kAlgorithms[static_cast<size_t>(fn)];
  EVP_MD_CTX* ctx = thread_ctx();
  bool ok = EVP_DigestInit_ex2(ctx, md_of(fn), nullptr) == 1;
  if (!prefix.empty()) ok = ok && EVP_DigestUpdate(ctx, prefix.data(), prefix.size()) == 1;
  for (ByteView p : parts) ok = ok && EVP_DigestUpdate(ctx, p.data(), p.size()) == 1;
  if (alg.xof) {
    ok = ok && EVP_DigestFinalXOF(ctx, out.data(), out.size()) == 1;
  } else {
    unsigned int len = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, out.data(), &len) == 1 && len == out.size();
  }
  // The finished state still holds the last input block and the output:
  // reset frees it through OpenSSL's wiping free.
  if (alg.wipe_after || !ok) EVP_MD_CTX_reset(ctx);
  if (!ok) ERR_clear_error();
  CORE_CHECK(ok, "OpenSSL digest failed");
}

}  // namespace core
