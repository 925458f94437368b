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
    // A thread being torn down by the interpreter must finish unwinding.
    if (core::handling_foreign_exception()) throw;
    set_error_from_current_exception();
    return on_error;
  }
}

// The name a TypeError message uses for an object's type ("int", "ModelConfig").
std::string type_name_of(PyObject* obj);

// "<qualname>: <str>" for the pending exception, which is cleared. Falls back
// to "<exception str() failed>" for the part after ": ".
std::string render_and_clear_exception();

}  // namespace tessarin::py
