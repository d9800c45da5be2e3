#include "core/common/rand.h"

#include <unistd.h>

#include <algorithm>

namespace core {
namespace {
thread_local long t_fail_countdown = -1;
thread_local long t_calls = 0;
}  // namespace

Status fill_random(MutableBytes out) noexcept {
  ++t_calls;
  if (t_fail_countdown >= 0 && t_fail_countdown-- == 0) return Error{ErrorKind::Rng};
  constexpr size_t kMaxRequest = 256;  // getentropy's limit per call
  for (size_t off = 0; off < out.size(); off += kMaxRequest) {
    const size_t n = std::min(kMaxRequest, out.size() - off);
    if (getentropy(out.data() + off, n) != 0) return Error{ErrorKind::Rng};
  }
  return Ok{};
}

namespace testing {
void fail_random_after(long n) noexcept { t_fail_countdown = n < 0 ? -1 : n; }
long random_calls() noexcept { return t_calls; }
}  // namespace testing

}  // namespace core
