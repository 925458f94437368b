#include "python/errors.hpp"

#include "python/pyref.hpp"
#include "python/reenter.h"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace tessarin::py {

namespace {
PyObject* g_internal_error = nullptr;
}  // namespace

PyObject* internal_error_type() {
  if (g_internal_error == nullptr) {
    g_internal_error = PyErr_NewExceptionWithDoc(
        "tessarin.InternalError",
        "Unrecoverable internal error of the tessarin module (a broken invariant).",
        PyExc_BaseException, nullptr);
  }
  return g_internal_error;
}

static void set_internal_error(const char* message) {
  PyObject* type = internal_error_type();
  if (type == nullptr) return;  // creating the type failed: its error is set
  PyErr_SetString(type, message);
}

void throw_python_error() {
  if (PyErr_Occurred() == nullptr)
    throw InternalError("error indicator not set after a failed call");
  throw PythonError{};
}

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError{};
}
void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message); }
void raise_value_error(const std::string& message) { raise(PyExc_ValueError, message); }
void raise_runtime_error(const std::string& message) { raise(PyExc_RuntimeError, message); }

void abort_out_of_memory(std::size_t size) noexcept {
  std::fprintf(stderr, "memory allocation of %zu bytes failed\n", size);
  std::fflush(stderr);
  std::abort();
}

void set_error_from_current_exception() {
  if (core::handling_foreign_exception()) throw;
  try {
    throw;
  } catch (const PythonError&) {
    if (PyErr_Occurred() == nullptr)
      set_internal_error("error indicator not set after a failed call");
  } catch (const std::bad_alloc&) {
    // Our own allocations abort in operator new with their size; this one
    // failed inside the C++ runtime library, which does not tell the size.
    std::fputs("memory allocation of an unknown number of bytes failed\n", stderr);
    std::fflush(stderr);
    std::abort();
  } catch (const InternalError& e) {
    set_internal_error(e.what());
  } catch (const std::exception& e) {
    set_internal_error(e.what());
  } catch (...) {
    set_internal_error("unknown C++ exception");
  }
}

bool pending_error_is_ordinary() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

bool python_signal_raised() { return PyErr_CheckSignals() != 0; }

void check_signals() {
  if (PyErr_CheckSignals() != 0) throw_python_error();
}

PyObject* new_list_to_fill(Py_ssize_t size) {
  PyObject* list = PyList_New(size);
  if (list == nullptr) throw_python_error();
  PyObject_GC_UnTrack(list);
  return list;
}

PyObject* finish_list(PyObject* list) noexcept {
  PyObject_GC_Track(list);
  return list;
}

std::string type_name_of(PyObject* obj) {
  Ref name =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text != nullptr) return std::string(text, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  return "object";
}

// str() of an exception may be Python code (python/reenter.h).
static bool append_str_of(PyObject* obj, std::string& out) {
  Ref text = Ref::steal(tessarin_parking_unary(PyObject_Str, obj));
  if (!text) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) return false;
  out.append(utf8, static_cast<std::size_t>(size));
  return true;
}

std::string render_and_clear_exception() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(traceback);
  std::string out;
  if (t) {
    Ref qualname = Ref::steal(PyObject_GetAttrString(t.get(), "__qualname__"));
    if (!qualname || !append_str_of(qualname.get(), out)) {
      PyErr_Clear();
      out = "<unknown>";
    }
  }
  out += ": ";
  std::size_t keep = out.size();
  if (!v || !append_str_of(v.get(), out)) {
    PyErr_Clear();
    out.resize(keep);
    out += "<exception str() failed>";
  }
  return out;
}

}  // namespace tessarin::py

// The extension's own allocations report their size when they fail, then
// abort: there is no sensible way to continue a conversion or a hash without
// memory, and a half-built value must never reach Python.
void* operator new(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) tessarin::py::abort_out_of_memory(size);
  return p;
}
void* operator new[](std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) tessarin::py::abort_out_of_memory(size);
  return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
