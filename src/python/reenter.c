/* See reenter.h. Compiled as C without exception support (CMakeLists.txt
 * says so explicitly): pthread_cleanup_push is then glibc's setjmp-based
 * form, which runs the handler from the unwinder's stop function, before any
 * frame outside this one is unwound. */
#include "python/reenter.h"

#include <pthread.h>
#include <unistd.h>

/* Never returns: the thread sleeps until the process ends. Signals may still
 * be delivered to it; their handlers return here. */
static void park_forever(void* unused) {
  (void)unused;
  for (;;) pause();
}

void tessarin_restore_thread(PyThreadState* state) {
  pthread_cleanup_push(park_forever, NULL);
  PyEval_RestoreThread(state);
  pthread_cleanup_pop(0);
}

PyGILState_STATE tessarin_gil_ensure(void) {
  PyGILState_STATE result;
  pthread_cleanup_push(park_forever, NULL);
  result = PyGILState_Ensure();
  pthread_cleanup_pop(0);
  return result;
}

void tessarin_call_parking(void (*fn)(void*), void* arg) {
  pthread_cleanup_push(park_forever, NULL);
  fn(arg);
  pthread_cleanup_pop(0);
}
