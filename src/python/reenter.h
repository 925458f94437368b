/* Taking the interpreter lock back on a thread that released it.
 *
 * Up to 3.13, CPython ends a thread that asks for the lock while the
 * interpreter finalizes with pthread_exit(), a forced unwind; since 3.14 it
 * parks such a thread forever instead. An unwind through the module's C++
 * frames would run their destructors without the lock (dropping Python
 * references), and under a C++ runtime whose unwinder is not glibc's (libc++
 * with LLVM's libunwind) it cannot pass those frames at all.
 *
 * So the module never lets that unwind reach a C++ frame: every place that
 * takes the lock back does it through these functions, which turn the
 * forced exit into what 3.14 does anyway, a thread parked for good. They are
 * C, compiled without exception support, so that their cleanup is glibc's
 * setjmp-based cancellation buffer: glibc jumps to it before the unwinder
 * looks at any frame outside it, whichever C++ runtime the module uses.
 *
 * The rule for callers: hold no mutex (nothing another thread might wait
 * for at exit) when calling these. A parked thread keeps whatever it holds.
 */
#ifndef TESSARIN_PYTHON_REENTER_H
#define TESSARIN_PYTHON_REENTER_H

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

/* PyEval_RestoreThread(state). */
void tessarin_restore_thread(PyThreadState* state);

/* PyGILState_Ensure(). */
PyGILState_STATE tessarin_gil_ensure(void);

/* Calls fn(arg), which runs Python code with the lock held: the interpreter
 * may hand the lock to other threads inside and take it back. */
void tessarin_call_parking(void (*fn)(void*), void* arg);

#ifdef __cplusplus
}
#endif

#endif
