#include "core/mlkem/math/dispatch.h"

#include <atomic>

namespace core::mlkem {

namespace {

constexpr uint8_t kUnset = 0xff;
std::atomic<uint8_t> g_path{kUnset};

ArithPath widest_available() noexcept {
#if defined(TARNEL_MLKEM_AVX2)
  if (__builtin_cpu_supports("avx2")) return ArithPath::Avx2;
#endif
#if defined(TARNEL_MLKEM_SSE2)
  return ArithPath::Sse2;
#else
  return ArithPath::Portable;
#endif
}

}  // namespace

ArithPath arith_path() noexcept {
  uint8_t p = g_path.load(std::memory_order_relaxed);
  if (p == kUnset) [[unlikely]] {
    // Every thread that gets here computes the same value.
    p = static_cast<uint8_t>(widest_available());
    g_path.store(p, std::memory_order_relaxed);
  }
  return static_cast<ArithPath>(p);
}

bool arith_path_available(ArithPath path) noexcept {
  switch (path) {
#if defined(TARNEL_MLKEM_SSE2)
    case ArithPath::Portable:
      return false;
    case ArithPath::Sse2:
      return true;
#else
    case ArithPath::Portable:
      return true;
    case ArithPath::Sse2:
      return false;
#endif
    case ArithPath::Avx2:
      return widest_available() == ArithPath::Avx2;
  }
  return false;
}

bool set_arith_path(ArithPath path) noexcept {
  if (!arith_path_available(path)) return false;
  g_path.store(static_cast<uint8_t>(path), std::memory_order_relaxed);
  return true;
}

const char* arith_path_name(ArithPath path) noexcept {
  switch (path) {
    case ArithPath::Portable:
      return "portable";
    case ArithPath::Sse2:
      return "sse2";
    case ArithPath::Avx2:
      return "avx2";
  }
  return "unknown";
}

}  // namespace core::mlkem
