/* libstdc++ built against glibc 2.36 or newer takes std::random_device's
 * default numbers from arc4random, which older glibc lacks. The module links
 * libstdc++ statically, so that one reference would hold the whole wheel to
 * glibc 2.36: defined here, hidden, it binds to this function instead, on
 * top of getrandom (glibc 2.25). Same contract as glibc's: 32 random bits
 * from the kernel's generator, and no failure return (glibc aborts too). */
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/random.h>

__attribute__((visibility("hidden"))) uint32_t arc4random(void) {
  uint32_t value;
  unsigned char* next = (unsigned char*)&value;
  size_t left = sizeof value;
  while (left != 0) {
    const ssize_t got = getrandom(next, left, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      abort();
    }
    next += got;
    left -= (size_t)got;
  }
  return value;
}
