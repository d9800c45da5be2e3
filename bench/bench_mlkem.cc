// ML-KEM key generation, encapsulation and decapsulation at each level
// (argument: level index 0, 1, 2), from key bytes and with key objects that
// keep their expansion (core/kem_key.h).
#include <benchmark/benchmark.h>

#include <array>

#include "core/kem.h"
#include "core/kem_key.h"

namespace {

core::Level level_arg(const benchmark::State& state) {
  return static_cast<core::Level>(state.range(0));
}

void label(benchmark::State& state) {
  state.SetLabel("ML-KEM-" + std::to_string(core::params(level_arg(state)).value));
}

void BM_KeyGen(benchmark::State& state) {
  const core::Level level = level_arg(state);
  for (auto _ : state) {
    auto kp = core::ml_kem_keygen(level);
    benchmark::DoNotOptimize(kp);
  }
  label(state);
}

void BM_Encaps(benchmark::State& state) {
  const core::Level level = level_arg(state);
  auto kp = core::ml_kem_keygen(level);
  if (!kp.ok()) return state.SkipWithError("keygen failed");
  for (auto _ : state) {
    auto enc = core::ml_kem_encaps(kp.value().ek, level);
    benchmark::DoNotOptimize(enc);
  }
  label(state);
}

void BM_Decaps(benchmark::State& state) {
  const core::Level level = level_arg(state);
  auto kp = core::ml_kem_keygen(level);
  if (!kp.ok()) return state.SkipWithError("keygen failed");
  auto enc = core::ml_kem_encaps(kp.value().ek, level);
  if (!enc.ok()) return state.SkipWithError("encaps failed");
  for (auto _ : state) {
    auto k = core::ml_kem_decaps(enc.value().capsule, kp.value().dk, level);
    benchmark::DoNotOptimize(k);
  }
  label(state);
}

void BM_KeyGenDeterministic(benchmark::State& state) {
  const core::Level level = level_arg(state);
  std::array<uint8_t, 32> d{}, z{};
  for (auto _ : state) {
    auto kp = core::ml_kem_keygen_deterministic(d, z, level);
    benchmark::DoNotOptimize(kp);
    ++d[0];
  }
  label(state);
}

// The same operations with one key object used for every call; making the
// object (the checks and the expansion) is timed on its own.
void BM_EncapsKeyObject(benchmark::State& state) {
  const core::Level level = level_arg(state);
  auto kp = core::ml_kem_keygen(level);
  if (!kp.ok()) return state.SkipWithError("keygen failed");
  auto ek = core::EncapsulationKey::from_bytes(kp.value().ek, level);
  if (!ek.ok()) return state.SkipWithError("key object refused");
  for (auto _ : state) {
    auto enc = ek.value().encapsulate();
    benchmark::DoNotOptimize(enc);
  }
  label(state);
}

void BM_DecapsKeyObject(benchmark::State& state) {
  const core::Level level = level_arg(state);
  auto kp = core::ml_kem_keygen(level);
  if (!kp.ok()) return state.SkipWithError("keygen failed");
  auto dk = core::DecapsulationKey::from_bytes(core::view(kp.value().dk), level);
  if (!dk.ok()) return state.SkipWithError("key object refused");
  auto enc = dk.value().encapsulation_key().encapsulate();
  if (!enc.ok()) return state.SkipWithError("encaps failed");
  for (auto _ : state) {
    auto k = dk.value().decapsulate(enc.value().capsule);
    benchmark::DoNotOptimize(k);
  }
  label(state);
}

void BM_DecapsulationKeyFromBytes(benchmark::State& state) {
  const core::Level level = level_arg(state);
  auto kp = core::ml_kem_keygen(level);
  if (!kp.ok()) return state.SkipWithError("keygen failed");
  for (auto _ : state) {
    auto dk = core::DecapsulationKey::from_bytes(core::view(kp.value().dk), level);
    benchmark::DoNotOptimize(dk);
  }
  label(state);
}

BENCHMARK(BM_KeyGen)->DenseRange(0, 2);
BENCHMARK(BM_Encaps)->DenseRange(0, 2);
BENCHMARK(BM_Decaps)->DenseRange(0, 2);
BENCHMARK(BM_KeyGenDeterministic)->DenseRange(0, 2);
BENCHMARK(BM_EncapsKeyObject)->DenseRange(0, 2);
BENCHMARK(BM_DecapsKeyObject)->DenseRange(0, 2);
BENCHMARK(BM_DecapsulationKeyFromBytes)->DenseRange(0, 2);

}  // namespace

BENCHMARK_MAIN();
