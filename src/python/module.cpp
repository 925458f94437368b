// The module entry point: registration of the classes and attributes.
#include "core/arena.hpp"
#include "python/access.hpp"
#include "python/args.hpp"
#include "python/config.hpp"
#include "python/diagnostics.hpp"
#include "python/errors.hpp"
#include "python/graph.hpp"
#include "python/pickling.hpp"
#include "python/pipeline.hpp"
#include "python/pyref.hpp"
#include "python/python.hpp"
#include "python/validation.hpp"

#include <cstdint>

namespace tessarin::py {
namespace {

const char module_doc[] =
    "Tessarin Python module - transparent, traceable AI model construction.\n"
    "\n"
    "This module provides bindings for the Tessarin AI Framework, enabling\n"
    "deterministic model graph construction with cryptographic hashing for\n"
    "reproducibility.\n"
    "\n"
    "Quick start:\n"
    "    >>> import tessarin\n"
    "    >>> config = tessarin.ModelConfig(\"encoder\", \"1.0.0\")\n"
    "    >>> graph = tessarin.BuildGraph()\n"
    "    >>> node_id = graph.add_node(\"encoder\", config)\n"
    "    >>> print(graph.stable_hash())\n"
    "\n"
    "Module attributes:\n"
    "    __version__: Package version string\n"
    "    HAS_BURN: True if Burn backend is available\n"
    "    HAS_CUBECL: True if CubeCL backend is available\n"
    "    HAS_LUMENARC: True if lumenarc integration is available\n"
    "    HAS_CUDA: True if CUDA support is available\n";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessarin",
    module_doc,
    0,  // no per-module state: a repeated import calls the init function again
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Classes in registration order. Each type object is created on first use
// and shared by every later use.
struct ClassEntry {
  const char* name;
  PyTypeObject* (*type)();
};
const ClassEntry kClasses[] = {
    {"ModelConfig", model_config_type},
    {"ModelConfigBuilder", model_config_builder_type},
    {"NodeId", node_id_type},
    {"GraphNode", graph_node_type},
    {"BuildGraph", build_graph_type},
    {"NullBackend", null_backend_type},
    {"TraceLevel", trace_level_type},
    {"TraceEvent", trace_event_type},
    {"InMemoryTraceSink", in_memory_trace_sink_type},
    {"BuildContext", build_context_type},
    {"BuildPipeline", build_pipeline_type},
    {"ValidationError", validation_error_type},
    {"NameValidator", name_validator_type},
    {"VersionValidator", version_validator_type},
    {"CompositeValidator", composite_validator_type},
};

// The feature flags are constants of this build: nothing is probed.
const char* const kFlags[] = {"HAS_BURN", "HAS_CUBECL", "HAS_LUMENARC", "HAS_CUDA",
                              "HAS_VANTOR_ACCEL"};

// CPython numbers interpreters from 0 in creation order, and the main
// interpreter is always the first one created (again 0 after a finalization
// and a new initialization). The limited API has no call that names the main
// interpreter, but its identifier is this one.
constexpr std::int64_t kMainInterpreter = 0;
PyObject* g_module = nullptr;

const char kSubInterpreterRefused[] =
    "tessarin does not support sub-interpreters: it can be imported only in the main "
    "interpreter of this process";
const char kFinalizedRefused[] =
    "tessarin cannot be imported again after the interpreter that first imported it was finalized: "
    "its classes and caches belong to that interpreter";

// Appends `name` to the module's __all__ (creating it when missing), then
// sets the attribute. Steals nothing: `value` is borrowed.
void add_name(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_python_error();
  } else if (!PyList_Check(all.get())) {
    raise_type_error("__all__ must be a list");
  }
  Ref text = Ref::steal(new_str(name));
  if (PyList_Append(all.get(), text.get()) < 0) throw_python_error();
  if (PyObject_SetAttrString(module, name, value) < 0) throw_python_error();
}

PyObject* init_module() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  std::int64_t id = interp == nullptr ? -1 : PyInterpreterState_GetID(interp);
  if (id < 0) {
    if (PyErr_Occurred() == nullptr)
      raise(PyExc_SystemError, "attempted to fetch exception but none was set");
    throw_python_error();
  }
  // Only the main interpreter may hold the module, whichever interpreter
  // asks first: the type objects, the caches and the thread states of
  // background deliveries all belong to one interpreter, and the main one is
  // the only one whose thread state foreign threads can take. Being a fixed
  // identifier, it needs no record of who came first.
  if (id != kMainInterpreter) raise(PyExc_ImportError, kSubInterpreterRefused);
  if (g_module != nullptr) {
    // The interpreter files every module it loads from this definition in
    // its own per-interpreter table, which lives exactly as long as the
    // interpreter. Finding our module there means this is the interpreter
    // that created it; finding nothing means that one was finalized and the
    // main interpreter was initialized again (same identifier, new state).
    // Everything kept from the old one is then dead and must not be touched,
    // not even to release it.
    if (PyState_FindModule(&module_def) != g_module) raise(PyExc_ImportError, kFinalizedRefused);
    return Py_NewRef(g_module);
  }

  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) throw_python_error();
  // Filed now rather than by the import machinery after we return, so that
  // the check above never mistakes a live interpreter for a finalized one.
  if (PyState_AddModule(module.get(), &module_def) < 0) throw_python_error();
  for (const ClassEntry& entry : kClasses) {
    add_name(module.get(), entry.name, reinterpret_cast<PyObject*>(entry.type()));
  }
  Ref version = Ref::steal(new_str(TESSARIN_VERSION));  // from pyproject.toml, via CMake
  add_name(module.get(), "__version__", version.get());
  for (const char* flag : kFlags) add_name(module.get(), flag, Py_False);
  // Private, after the documented attributes: __all__ is left as it is.
  register_pickling(module.get());
  register_access(module.get());
  // The bytes of freed value memory the process may keep for later values:
  // the tests of the memory bound read it.
  if (PyModule_AddIntConstant(module.get(), "_chunk_cache_bytes",
                              static_cast<long>(core::kChunkCacheBytes)) < 0)
    throw_python_error();

  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace tessarin::py

// PyMODINIT_FUNC carries the extern "C" itself.
PyMODINIT_FUNC PyInit_tessarin(void) {
  return tessarin::py::boundary<PyObject*>(nullptr, [] { return tessarin::py::init_module(); });
}
