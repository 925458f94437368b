/* See park.h. Compiled as C without exception support (CMakeLists.txt says
 * so explicitly): pthread_cleanup_push is then glibc's setjmp-based form. */
#include "python/park.h"

#include <pthread.h>
#include <unistd.h>

/* Signals may still be delivered to the parked thread; their handlers
 * return here. */
void tessarin_park_forever(void* unused) {
  (void)unused;
  for (;;) pause();
}

void tessarin_call_parking(void (*fn)(void*), void* arg) {
  pthread_cleanup_push(tessarin_park_forever, NULL);
  fn(arg);
  pthread_cleanup_pop(0);
}
