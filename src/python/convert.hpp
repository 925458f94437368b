// Conversion between Python objects and parameter values.
#pragma once

#include "core/param_value.hpp"
#include "python/errors.hpp"
#include "python/python.hpp"

#include <string>

namespace tessarin::py {

// A signal handler raised an exception (KeyboardInterrupt, or whatever the
// handler raises) while a conversion looked at pending signals. It is set and
// propagates as it is: never rendered into a conversion message.
struct Interrupted : PythonError {};

// Converts a Python object into a ParamValue.
// Returns true on success. On failure returns false with the conversion
// message in `error` and no Python exception set; an exception that is not an
// `Exception` (KeyboardInterrupt, SystemExit, ...) raised by user code is
// never turned into a message: it stays set and PythonError is thrown.
bool param_from_python(PyObject* obj, core::ParamValue& out, std::string& error);

// As above, raising ValueError(prefix + message) on failure.
core::ParamValue param_from_python_or_raise(PyObject* obj, const char* prefix);

// New Python objects for a value or a whole map (a dict in key order).
// Throws PythonError when the interpreter cannot create an object.
PyObject* param_to_python(const core::ParamValue& value);
PyObject* param_map_to_dict(const core::ParamMap& map);

// Wraps a failed conversion to Python (memory exhaustion) into
// ValueError(prefix + "<qualname>: <str>"), as every getter reports it.
template <class F>
PyObject* to_python_or_raise(const char* prefix, F&& convert);
[[noreturn]] void raise_conversion_failure(const char* prefix);

template <class F>
PyObject* to_python_or_raise(const char* prefix, F&& convert) {
  try {
    return convert();
  } catch (const Interrupted&) {
    throw;
  } catch (const PythonError&) {
    raise_conversion_failure(prefix);
  }
}

}  // namespace tessarin::py
