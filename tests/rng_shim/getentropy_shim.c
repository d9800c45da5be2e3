/* An LD_PRELOAD library that makes getentropy fail on demand, to test how
 * the library reports a failing random source.
 *
 * GETENTROPY_SHIM_FAIL_AT=n (n >= 1): the n-th call of getentropy in the
 * process returns -1 with errno EIO; every other call is passed to the C
 * library. Unset or 0: nothing fails. getentropy_shim_calls() returns the
 * number of calls so far, so a test can find which call an operation makes.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdlib.h>

static atomic_long calls;

long getentropy_shim_calls(void) { return atomic_load(&calls); }

int getentropy(void *buffer, size_t length) {
  static int (*real)(void *, size_t);
  static long fail_at = -1;
  if (fail_at < 0) {
    const char *v = getenv("GETENTROPY_SHIM_FAIL_AT");
    fail_at = v ? strtol(v, NULL, 10) : 0;
  }
  const long n = atomic_fetch_add(&calls, 1) + 1;
  if (fail_at > 0 && n == fail_at) {
    errno = EIO;
    return -1;
  }
  if (!real) real = (int (*)(void *, size_t))dlsym(RTLD_NEXT, "getentropy");
  return real(buffer, length);
}
