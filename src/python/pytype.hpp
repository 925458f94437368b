// Creation of the module's heap types and of their instances.
//
// Every class is a final heap type (no Py_TPFLAGS_BASETYPE) named
// "builtins.<Name>", with no instance dictionary and no weak references.
// Instances are a Python object header followed by one C++ value; the value
// is constructed in place after allocation and destroyed in tp_dealloc.
#pragma once

#include "python/errors.hpp"
#include "python/python.hpp"

#include <new>
#include <utility>

namespace tessarin::py {

template <class T>
struct Box {
  PyObject_HEAD T value;
};

// Creates a type from its PyType_Spec; throws PythonError on failure.
PyTypeObject* create_type(PyType_Spec* description);

// Lazily creates a type once per process and returns a borrowed reference.
#define TESSARIN_DEFINE_TYPE_GETTER(getter, type_description)                     \
  PyTypeObject* getter() {                                                        \
    static PyTypeObject* type = ::tessarin::py::create_type(&(type_description)); \
    return type;                                                                  \
  }

template <class T>
inline T& value_of(PyObject* obj) noexcept {
  return reinterpret_cast<Box<T>*>(obj)->value;
}

template <class T>
inline bool is_instance(PyObject* obj, PyTypeObject* type) noexcept {
  return Py_IS_TYPE(obj, type);
}

// Allocates an instance of `type` holding T constructed from `args`.
template <class T, class... Args>
PyObject* new_instance(PyTypeObject* type, Args&&... args) {
  PyObject* obj = PyType_GenericAlloc(type, 0);
  if (obj == nullptr) throw_python_error();
  try {
    new (&reinterpret_cast<Box<T>*>(obj)->value) T(std::forward<Args>(args)...);
  } catch (...) {
    // The value was never constructed: free the raw object without running
    // the type's deallocator.
    PyObject_Free(obj);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
    throw;
  }
  return obj;
}

// tp_dealloc for Box<T>.
template <class T>
void dealloc_box(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  reinterpret_cast<Box<T>*>(obj)->value.~T();
  PyObject_Free(obj);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

}  // namespace tessarin::py
