// Run-time choice of the ML-KEM arithmetic kernels. One build carries the
// eight-lane SSE2 kernels (the x86-64 baseline) and, where the compiler can
// target it, sixteen-lane AVX2 kernels; the first use picks the widest one the
// processor supports. Every path computes exactly the same values, and none
// branches on or indexes by secret data.
//
// A build with TARNEL_MLKEM_PORTABLE (CMake: TARNEL_PORTABLE_ARITHMETIC) has
// the portable scalar path only.
#pragma once

#include <cstdint>

#include "core/mlkem/math/vec16.h"

#if defined(TARNEL_MLKEM_SSE2) && defined(__x86_64__) && defined(__GNUC__)
#define TARNEL_MLKEM_AVX2 1
// TARNEL_AVX2_BEGIN / _END enclose functions compiled for AVX2. Code outside
// them (and every header included before) stays at the baseline, so no
// inline function compiled for AVX2 can be picked by the linker for a
// baseline caller.
#if defined(__clang__)
#define TARNEL_AVX2_BEGIN \
  _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
#define TARNEL_AVX2_END _Pragma("clang attribute pop")
#else
#define TARNEL_AVX2_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define TARNEL_AVX2_END _Pragma("GCC pop_options")
#endif
#endif

namespace core::mlkem {

enum class ArithPath : uint8_t { Portable, Sse2, Avx2 };

// The path in use; fixed at the first call unless set_arith_path changes it.
ArithPath arith_path() noexcept;

// Whether this build and this processor can run `path`.
bool arith_path_available(ArithPath path) noexcept;

// set_arith_path makes `path` the one in use, when available (else returns
// false and changes nothing). Meant for tests and benchmarks that compare
// the paths; it must not race with ML-KEM work on other threads.
bool set_arith_path(ArithPath path) noexcept;

// "portable", "sse2" or "avx2".
const char* arith_path_name(ArithPath path) noexcept;

inline bool avx2_active() noexcept {
#if defined(TARNEL_MLKEM_AVX2)
  return arith_path() == ArithPath::Avx2;
#else
  return false;
#endif
}

}  // namespace core::mlkem
