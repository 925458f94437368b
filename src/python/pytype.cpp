#include "python/pytype.hpp"

namespace tessarin::py {

PyTypeObject* create_type(PyType_Spec* spec) {
  PyObject* type = PyType_FromSpec(spec);
  if (type == nullptr) throw_python_error();
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tessarin::py
