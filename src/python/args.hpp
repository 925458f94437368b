// Argument parsing for positional-or-keyword parameters, with CPython's own
// wording in every TypeError:
//   add_node() missing required argument 'config' (pos 2)
//   add_node() takes at most 2 arguments (3 given)
//   add_node() got an unexpected keyword argument 'x'
//   argument for add_node() given by name ('name') and position (1)
//   add_node() argument 'name' must be str, not int
#pragma once

#include "python/errors.hpp"
#include "python/python.hpp"

#include <initializer_list>
#include <string>
#include <string_view>

namespace tessarin::py {

// The parameters of one function: its name as shown in messages, the
// parameter names in order, and how many of them (from the front) are
// required.
struct Signature {
  const char* function;
  std::initializer_list<const char*> names;
  std::size_t required;
};

// Vectorcall / METH_FASTCALL|METH_KEYWORDS form. Fills out[0..names) with
// borrowed references, nullptr where an optional argument was not given.
void parse_args_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, PyObject** out);
inline void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** out) {
  // Every argument given by position, the common call: nothing to check.
  if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(sig.names.size())) {
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return;
  }
  parse_args_general(sig, args, nargs, kwnames, out);
}
// tp_new form (argument tuple and keyword dict).
void parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// For functions without parameters called through the tp_new form.
void parse_no_args(const char* function, PyObject* args, PyObject* kwargs);

// "<function>() argument '<name>' must be <expected>, not <type of obj>"
[[noreturn]] void raise_argument_type(const char* function, const char* name, const char* expected,
                                      PyObject* obj);

// A str argument as UTF-8. A non-str raises TypeError naming the argument; a
// str that cannot be encoded (lone surrogates) raises the interpreter's own
// UnicodeEncodeError.
std::string_view arg_str(PyObject* obj, const char* function, const char* name);

// UTF-8 view of a str known to be a str; throws PythonError on encoding errors.
std::string_view utf8_of(PyObject* str);

// A new str from UTF-8 bytes.
PyObject* new_str(std::string_view utf8);

}  // namespace tessarin::py
