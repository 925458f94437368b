// Failure handling at the Python boundary.
//
// Binding code reports failures by throwing; `boundary` (used by every entry
// point the interpreter calls) turns whatever was thrown into a Python
// exception exactly once:
//   PythonError   a Python exception is already set: leave it as it is;
//   InternalError a broken internal invariant: raise the module's dedicated
//                 internal-error exception (derived from BaseException);
//   std::bad_alloc: write "memory allocation of N bytes failed" and abort;
//   anything else: treated as an internal error.
#pragma once

#include "python/python.hpp"

#include "core/unwind.hpp"

#include <cstddef>
#include <stdexcept>
#include <string>

namespace tessarin::py {

// A Python exception is set and should propagate unchanged.
struct PythonError {};

// An unrecoverable internal error (never caused by user input).
struct InternalError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws PythonError; the caller promises that an exception is set. If none
// is (a broken invariant), the internal-error exception is raised instead.
[[noreturn]] void throw_python_error();

// Sets `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& message);
[[noreturn]] void raise_type_error(const std::string& message);
[[noreturn]] void raise_value_error(const std::string& message);
[[noreturn]] void raise_runtime_error(const std::string& message);

// The exception type for internal errors; created on first use. It is not a
// module attribute: users are not meant to catch it.
PyObject* internal_error_type();

// Sets the Python exception that stands for the C++ exception being handled.
// Must be called from inside a catch block. Rethrows a forced unwind.
void set_error_from_current_exception();

[[noreturn]] void abort_out_of_memory(std::size_t size) noexcept;

// Runs `body` and converts any C++ failure into a Python exception, returning
// `on_error` in that case.
template <class R, class F>
R boundary(R on_error, F&& body) {
  try {
    return body();
  } catch (...) {
    // A thread being torn down by the interpreter must finish unwinding
    // (core/unwind.hpp says when that can still happen).
    if (core::handling_foreign_exception()) throw;
    set_error_from_current_exception();
    return on_error;
  }
}

// True when the pending exception is an ordinary `Exception`, which a caller
// may clear (or turn into its own message). False for the others
// (KeyboardInterrupt, SystemExit, any BaseException outside Exception): they
// must propagate unchanged. Requires a pending exception.
bool pending_error_is_ordinary();

// ---------------------------------------------------------------- interrupts
//
// Calls that hold the interpreter lock for long (hashing a large graph, a
// synchronous pipeline run, getters copying millions of items out) run the
// handlers of pending signals at bounded intervals, so that Ctrl-C answers
// within a fraction of a second. The exception a handler raises propagates
// as it is: never wrapped, never cleared.

// Runs the pending signal handlers. True when one raised; its exception is
// then pending. This is the core's InterruptCheck on interpreter threads.
bool python_signal_raised();

// The same for binding loops: throws PythonError when a handler raised.
void check_signals();

// Paces check_signals() in a loop that creates Python objects: it asks after
// every kItems items or kBytes bytes of copied data, whichever comes first,
// which keeps the checks far below a thousandth of the loop's cost.
class SignalPacer {
 public:
  static constexpr std::size_t kItems = 4096;
  static constexpr std::size_t kBytes = std::size_t{4} << 20;

  void step(std::size_t bytes = 0) {
    ++items_;
    bytes_ += bytes;
    if (items_ >= kItems || bytes_ >= kBytes) {
      items_ = 0;
      bytes_ = 0;
      check_signals();
    }
  }

 private:
  std::size_t items_ = 0;
  std::size_t bytes_ = 0;
};

// A new list of `size` empty slots, to be filled in place by a loop that
// checks for signals, and hidden from the garbage collector meanwhile: a
// signal handler (or, since 3.12, a collection started by the check) runs
// user code, which must never find a list with empty slots through
// gc.get_objects() or gc.get_referrers(). finish_list() shows it again.
PyObject* new_list_to_fill(Py_ssize_t size);
PyObject* finish_list(PyObject* list) noexcept;

// The name a TypeError message uses for an object's type ("int", "ModelConfig").
std::string type_name_of(PyObject* obj);

// "<qualname>: <str>" for the pending exception, which is cleared. Falls back
// to "<exception str() failed>" for the part after ": ".
std::string render_and_clear_exception();

}  // namespace tessarin::py
