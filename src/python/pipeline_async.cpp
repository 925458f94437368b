// Asynchronous execution: placeholder until the asyncio bridge lands.
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/pipeline.hpp"

namespace tessarin::py {

PyObject* pipeline_execute_async(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "execute_async is not available yet");
  return nullptr;
}

}  // namespace tessarin::py
