/* Parking a thread that is ended where it stands.
 *
 * Up to 3.13, CPython ends a thread that asks for the interpreter lock while
 * the interpreter finalizes with pthread_exit(), a forced unwind; since 3.14
 * it parks such a thread forever instead. An unwind through the module's C++
 * frames would run their destructors without the lock (dropping Python
 * references), and under a C++ runtime whose unwinder is not glibc's (libc++
 * with LLVM's libunwind, as on macOS) it cannot pass those frames at all.
 *
 * tessarin_call_parking() turns that forced exit into what 3.14 does anyway:
 * a thread parked for good, with every frame above the call left as it was.
 * It is C, compiled without exception support, so that its cleanup is
 * glibc's setjmp-based cancellation buffer: glibc jumps to it from the
 * unwinder's stop function as soon as the unwind reaches this frame, before
 * any frame outside it is looked at, whichever C++ runtime the module uses.
 * Between the call and the exit there must be C frames only (CPython's, or
 * the trampolines in reenter.c); a C++ frame there would be unwound first.
 *
 * Plain pthreads, no Python: the worker pool's tests use it too. */
#ifndef TESSARIN_PYTHON_PARK_H
#define TESSARIN_PYTHON_PARK_H

#ifdef __cplusplus
extern "C" {
#endif

/* Calls fn(arg). Should the thread be ended inside, it sleeps until the
 * process exits instead; whatever it holds, it keeps. */
void tessarin_call_parking(void (*fn)(void*), void* arg);

/* The cleanup handler itself, for the shims of reenter.c: never returns. */
void tessarin_park_forever(void* unused);

#ifdef __cplusplus
}
#endif

#endif
