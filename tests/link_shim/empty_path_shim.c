/* An LD_PRELOAD library that makes linkat() refuse AT_EMPTY_PATH with
 * ENOENT, as Linux before 6.10 does for a caller without
 * CAP_DAC_READ_SEARCH. Every other call is passed to the C library, so a
 * test can see which way of naming an unnamed (O_TMPFILE) file an
 * unprivileged user has on such a kernel.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

int linkat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, int flags) {
  static int (*real)(int, const char *, int, const char *, int);
  if (flags & AT_EMPTY_PATH) {
    errno = ENOENT;
    return -1;
  }
  if (real == NULL) {
    real = (int (*)(int, const char *, int, const char *, int))dlsym(RTLD_NEXT, "linkat");
    if (real == NULL) {
      errno = ENOSYS;
      return -1;
    }
  }
  return real(olddirfd, oldpath, newdirfd, newpath, flags);
}
