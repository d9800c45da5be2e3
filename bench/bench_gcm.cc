// AES-256-GCM straight through libcrypto's EVP interface beside the stream's
// chunk encryption and decryption, on the same buffers (argument: bytes per
// chunk). The difference is what the stream adds to the library's own GCM:
// the nonce and associated data of each chunk, the frame, the checks.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/kem.h"
#include "core/stream.h"

namespace {

using Ctx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

constexpr core::Level kLevel = core::Level::MlKem768;

std::vector<uint8_t> random_bytes(size_t n) {
  std::vector<uint8_t> v(n);
  if (RAND_bytes(v.data(), static_cast<int>(n)) != 1) v.assign(n, 0x5a);
  return v;
}

void set_bytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// One chunk sealed as the stream seals it: nonce and 4-byte associated data
// set per chunk, key schedule kept in the context.
void BM_RawGcmSeal(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto key = random_bytes(32), plain = random_bytes(n);
  std::vector<uint8_t> out(n);
  std::array<uint8_t, 16> tag{};
  std::array<uint8_t, 12> iv{};
  const std::array<uint8_t, 4> aad{};
  Ctx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nullptr) != 1)
    return state.SkipWithError("EVP init failed");
  for (auto _ : state) {
    int len = 0;
    ++iv[11];
    if (EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, iv.data()) != 1 ||
        EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad.data(), 4) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data(), &len, plain.data(), static_cast<int>(n)) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + len, &len) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, tag.data()) != 1)
      return state.SkipWithError("EVP seal failed");
    benchmark::DoNotOptimize(out.data());
    benchmark::DoNotOptimize(tag.data());
  }
  set_bytes(state);
}

void BM_RawGcmOpen(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto key = random_bytes(32), plain = random_bytes(n);
  std::vector<uint8_t> sealed(n), out(n);
  std::array<uint8_t, 16> tag{};
  const std::array<uint8_t, 12> iv{};
  const std::array<uint8_t, 4> aad{};
  Ctx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  int len = 0;
  if (!ctx ||
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), iv.data()) != 1 ||
      EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad.data(), 4) != 1 ||
      EVP_EncryptUpdate(ctx.get(), sealed.data(), &len, plain.data(), static_cast<int>(n)) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), sealed.data() + len, &len) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, tag.data()) != 1)
    return state.SkipWithError("EVP seal failed");
  Ctx dctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  if (!dctx || EVP_DecryptInit_ex(dctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nullptr) != 1)
    return state.SkipWithError("EVP init failed");
  for (auto _ : state) {
    if (EVP_DecryptInit_ex(dctx.get(), nullptr, nullptr, nullptr, iv.data()) != 1 ||
        EVP_DecryptUpdate(dctx.get(), nullptr, &len, aad.data(), 4) != 1 ||
        EVP_DecryptUpdate(dctx.get(), out.data(), &len, sealed.data(), static_cast<int>(n)) != 1 ||
        EVP_CIPHER_CTX_ctrl(dctx.get(), EVP_CTRL_GCM_SET_TAG, 16, tag.data()) != 1 ||
        EVP_DecryptFinal_ex(dctx.get(), out.data() + len, &len) != 1)
      return state.SkipWithError("EVP open failed");
    benchmark::DoNotOptimize(out.data());
  }
  set_bytes(state);
}

void BM_StreamEncryptChunk(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  auto kp = core::ml_kem_keygen(kLevel);
  if (!kp.ok()) return state.SkipWithError("keygen failed");
  auto start = core::StreamEncryptor::create(kp.value().ek, static_cast<uint32_t>(n), kLevel);
  if (!start.ok()) return state.SkipWithError("stream create failed");
  core::StreamEncryptor& enc = start.value().encryptor;
  const auto plain = random_bytes(n);
  std::vector<uint8_t> frame(n + core::kFrameOverhead);
  for (auto _ : state) {
    if (!enc.encrypt_chunk_into(frame, plain).ok()) return state.SkipWithError("encrypt failed");
    benchmark::DoNotOptimize(frame.data());
  }
  set_bytes(state);
}

void BM_StreamDecryptChunk(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  auto kp = core::ml_kem_keygen(kLevel);
  if (!kp.ok()) return state.SkipWithError("keygen failed");
  auto start = core::StreamEncryptor::create(kp.value().ek, static_cast<uint32_t>(n), kLevel);
  if (!start.ok()) return state.SkipWithError("stream create failed");
  const auto plain = random_bytes(n);
  std::vector<uint8_t> frame(n + core::kFrameOverhead);
  if (!start.value().encryptor.encrypt_chunk_into(frame, plain).ok())
    return state.SkipWithError("encrypt failed");
  auto dec = core::StreamDecryptor::create(start.value().header, kp.value().dk, kLevel);
  if (!dec.ok()) return state.SkipWithError("stream open failed");
  const core::ByteView ciphertext(frame.data() + 4, n), tag(frame.data() + 4 + n, 16);
  std::vector<uint8_t> out(n);
  for (auto _ : state) {
    core::testing::set_stream_index(dec.value(), 0);  // the same frame each time
    if (!dec.value().decrypt_chunk_into(out, ciphertext, tag).ok())
      return state.SkipWithError("decrypt failed");
    benchmark::DoNotOptimize(out.data());
  }
  set_bytes(state);
}

constexpr int64_t kChunks[] = {4 << 10, 64 << 10, 1 << 20};

void chunk_sizes(benchmark::internal::Benchmark* b) {
  for (int64_t n : kChunks) b->Arg(n);
}

BENCHMARK(BM_RawGcmSeal)->Apply(chunk_sizes);
BENCHMARK(BM_StreamEncryptChunk)->Apply(chunk_sizes);
BENCHMARK(BM_RawGcmOpen)->Apply(chunk_sizes);
BENCHMARK(BM_StreamDecryptChunk)->Apply(chunk_sizes);

}  // namespace

BENCHMARK_MAIN();
