#include "python/pytype.hpp"

namespace tessarin::py {

PyTypeObject* create_type(PyType_Spec* description) {
  PyObject* type = PyType_FromSpec(description);
  if (type == nullptr) throw_python_error();
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tessarin::py
