// Telling a thread's forced unwind apart from an ordinary exception.
//
// pthread_exit, and the interpreter when it ends a thread that asks for its
// lock during finalization, unwind the thread with a foreign exception. The
// module keeps that unwind out of its C++ frames (python/reenter.h): it is
// glibc's, and under libc++ (LLVM's libunwind) it cannot pass them at all.
// Where it still can arrive (Python code that runs implicitly inside those
// frames, with libstdc++), a catch-all must let it pass: swallowing it (or
// meeting a noexcept frame) aborts the process.
//
// A handler typed `abi::__forced_unwind&` would name it, but binds a
// reference to an object the runtime does not have (the pointer it hands to
// the handler is null), which is undefined behaviour that UBSan reports. A
// plain catch (...) binds nothing; inside it, the runtime's exception pointer
// is empty exactly for such a foreign exception, since only C++ exceptions
// can be captured.
#pragma once

#include <exception>

namespace tessarin::core {

// Call only inside a catch (...) handler. True when the exception being
// handled is foreign (a forced unwind): the handler must then `throw;` it on
// untouched.
inline bool handling_foreign_exception() noexcept { return !std::current_exception(); }

}  // namespace tessarin::core
