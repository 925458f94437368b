// Pickle and copy support for the value classes, registered with copyreg.
#pragma once

#include "python/python.hpp"

namespace tessarin::py {

// Adds the private rebuild function `_restore` to `module` and registers the
// reducer of every class in copyreg's dispatch table (refusing ones for
// InMemoryTraceSink and BuildContext). Imports copyreg; starts nothing.
void register_pickling(PyObject* module);

}  // namespace tessarin::py
