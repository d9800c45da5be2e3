// The operating system's random source (getentropy).
#pragma once

#include "core/common/bytes.h"
#include "core/result.h"

namespace core {

// fill_random fills `out` from getentropy in requests of at most 256 bytes.
// Any non-zero return fails at once with Rng: no retry, no error number.
Status fill_random(MutableBytes out) noexcept;

namespace testing {
// fail_random_after makes the calling thread's (n+1)-th next call of
// fill_random fail with Rng (n = 0: the very next one); a negative n turns
// the hook off. Only the core's tests use it.
void fail_random_after(long n) noexcept;
// random_calls counts the calling thread's fill_random calls so far.
long random_calls() noexcept;
}  // namespace testing

}  // namespace core
