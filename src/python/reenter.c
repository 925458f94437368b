/* See reenter.h and park.h. Compiled as C without exception support
 * (CMakeLists.txt says so explicitly): pthread_cleanup_push is then glibc's
 * setjmp-based form, which runs the handler from the unwinder's stop
 * function, before any frame outside this one is unwound. The results are
 * volatile, as a local set between setjmp and a longjmp must be for the
 * compiler (the handler never returns, but it cannot know that). */
#include "python/reenter.h"

#include <pthread.h>

void tessarin_restore_thread(PyThreadState* state) {
  pthread_cleanup_push(tessarin_park_forever, NULL);
  PyEval_RestoreThread(state);
  pthread_cleanup_pop(0);
}

PyGILState_STATE tessarin_gil_ensure(void) {
  volatile PyGILState_STATE result;
  pthread_cleanup_push(tessarin_park_forever, NULL);
  result = PyGILState_Ensure();
  pthread_cleanup_pop(0);
  return result;
}

Py_ssize_t tessarin_parking_size(PyObject* obj) {
  volatile Py_ssize_t result;
  pthread_cleanup_push(tessarin_park_forever, NULL);
  result = PyObject_Size(obj);
  pthread_cleanup_pop(0);
  return result;
}

PyObject* tessarin_parking_item(PyObject* seq, Py_ssize_t index) {
  PyObject* volatile result;
  pthread_cleanup_push(tessarin_park_forever, NULL);
  result = PySequence_GetItem(seq, index);
  pthread_cleanup_pop(0);
  return result;
}

PyObject* tessarin_parking_unary(PyObject* (*fn)(PyObject*), PyObject* obj) {
  PyObject* volatile result;
  pthread_cleanup_push(tessarin_park_forever, NULL);
  result = fn(obj);
  pthread_cleanup_pop(0);
  return result;
}

PyObject* tessarin_parking_binary(PyObject* (*fn)(PyObject*, PyObject*), PyObject* a,
                                  PyObject* b) {
  PyObject* volatile result;
  pthread_cleanup_push(tessarin_park_forever, NULL);
  result = fn(a, b);
  pthread_cleanup_pop(0);
  return result;
}

int tessarin_parking_test(int (*fn)(PyObject*, PyObject*), PyObject* a, PyObject* b) {
  volatile int result;
  pthread_cleanup_push(tessarin_park_forever, NULL);
  result = fn(a, b);
  pthread_cleanup_pop(0);
  return result;
}
