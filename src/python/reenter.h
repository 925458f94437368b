/* Taking the interpreter lock back, and calling Python code, on a thread
 * the interpreter may end at exit (python/park.h says how and why).
 *
 * The rule: every place that takes the lock back after releasing it goes
 * through one of these functions, and so does every call from inside the
 * module's C++ frames into Python-level code that a user supplies (the
 * len(), items, keys() and values(), iteration and isinstance() of a
 * conversion, an argument's __index__, str() of an error), so that no
 * unwind ever reaches a C++ frame. Each is a C function whose own frame
 * holds the parking cleanup; the Python code runs in C frames only below it.
 * (The pool's delivery runs asyncio's code behind its gate, which keeps the
 * interpreter from finalizing meanwhile.)
 *
 * Callers hold no mutex (nothing another thread might wait for at exit)
 * when calling these: a parked thread keeps whatever it holds.
 *
 * What they cannot cover is Python code that runs implicitly inside the
 * module's frames: a __del__ run by a reference the module drops, or (up
 * to 3.11) a garbage collection started by an allocation. */
#ifndef TESSARIN_PYTHON_REENTER_H
#define TESSARIN_PYTHON_REENTER_H

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/park.h"

#ifdef __cplusplus
extern "C" {
#endif

/* PyEval_RestoreThread(state). */
void tessarin_restore_thread(PyThreadState* state);

/* PyGILState_Ensure(). */
PyGILState_STATE tessarin_gil_ensure(void);

/* Calls into Python-level code, with the lock held (the interpreter may hand
 * it to other threads inside and take it back): the same results as the C
 * API functions named, or as `fn`, which must be a function of the C API. */
Py_ssize_t tessarin_parking_size(PyObject* obj);                    /* PyObject_Size */
PyObject* tessarin_parking_item(PyObject* seq, Py_ssize_t index);   /* PySequence_GetItem */
PyObject* tessarin_parking_unary(PyObject* (*fn)(PyObject*), PyObject* obj);
PyObject* tessarin_parking_binary(PyObject* (*fn)(PyObject*, PyObject*), PyObject* a,
                                  PyObject* b);
int tessarin_parking_test(int (*fn)(PyObject*, PyObject*), PyObject* a, PyObject* b);

#ifdef __cplusplus
}
#endif

#endif
