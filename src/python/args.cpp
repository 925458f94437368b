#include "python/args.hpp"

#include "python/pyref.hpp"

namespace tessarin::py {

namespace {

std::string call_name(const Signature& sig) { return std::string(sig.function) + "()"; }

std::size_t index_of_keyword(const Signature& sig, PyObject* key) {
  std::size_t i = 0;
  for (const char* name : sig.names) {
    if (PyUnicode_CompareWithASCIIString(key, name) == 0) return i;
    ++i;
  }
  return sig.names.size();
}

void raise_too_many(const Signature& sig, Py_ssize_t given) {
  std::size_t max = sig.names.size();
  if (max == 0) {
    raise_type_error(call_name(sig) + " takes no arguments (" + std::to_string(given) + " given)");
  }
  raise_type_error(call_name(sig) + " takes at most " + std::to_string(max) + " argument" +
                   (max == 1 ? "" : "s") + " (" + std::to_string(given) + " given)");
}

void assign_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs,
                    PyObject** out) {
  if (!PyUnicode_Check(key)) raise_type_error("keywords must be strings");
  std::size_t i = index_of_keyword(sig, key);
  if (i == sig.names.size()) {
    Ref repr = Ref::steal(PyObject_Str(key));
    if (!repr) throw_python_error();
    raise_type_error(call_name(sig) + " got an unexpected keyword argument '" +
                     std::string(utf8_of(repr.get())) + "'");
  }
  if (static_cast<Py_ssize_t>(i) < nargs) {
    raise_type_error("argument for " + call_name(sig) + " given by name ('" +
                     std::string(sig.names.begin()[i]) + "') and position (" +
                     std::to_string(i + 1) + ")");
  }
  out[i] = value;
}

void check_required(const Signature& sig, PyObject** out) {
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) {
      raise_type_error(call_name(sig) + " missing required argument '" + sig.names.begin()[i] +
                       "' (pos " + std::to_string(i + 1) + ")");
    }
  }
}

}  // namespace

void parse_args_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, PyObject** out) {
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  if (nargs + nkw > static_cast<Py_ssize_t>(sig.names.size())) raise_too_many(sig, nargs + nkw);
  for (std::size_t i = 0; i < sig.names.size(); ++i) out[i] = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    assign_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], nargs, out);
  }
  check_required(sig, out);
}

void parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_Size(args);
  Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_Size(kwargs);
  if (nargs + nkw > static_cast<Py_ssize_t>(sig.names.size())) raise_too_many(sig, nargs + nkw);
  for (std::size_t i = 0; i < sig.names.size(); ++i) out[i] = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
  if (nkw > 0) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) assign_keyword(sig, key, value, nargs, out);
  }
  check_required(sig, out);
}

void parse_no_args(const char* function, PyObject* args, PyObject* kwargs) {
  Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_Size(args);
  if (nargs > 0) {
    raise_type_error(std::string(function) + "() takes no arguments (" + std::to_string(nargs) +
                     " given)");
  }
  if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
    raise_type_error(std::string(function) + "() takes no keyword arguments");
  }
}

void raise_argument_type(const char* function, const char* name, const char* expected,
                         PyObject* obj) {
  std::string got = obj == Py_None ? std::string("None") : type_name_of(obj);
  raise_type_error(std::string(function) + "() argument '" + name + "' must be " + expected +
                   ", not " + got);
}

std::string_view utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) throw_python_error();
  return {data, static_cast<std::size_t>(size)};
}

std::string_view arg_str(PyObject* obj, const char* function, const char* name) {
  if (!PyUnicode_Check(obj)) raise_argument_type(function, name, "str", obj);
  return utf8_of(obj);
}

PyObject* new_str(std::string_view utf8) {
  PyObject* s = PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
  if (s == nullptr) throw_python_error();
  return s;
}

}  // namespace tessarin::py
