// NullBackend, BuildContext and BuildPipeline.
#pragma once

#include "core/backend.hpp"
#include "core/trace.hpp"
#include "python/python.hpp"

#include <memory>
#include <string>
#include <vector>

namespace tessarin::py {

PyTypeObject* null_backend_type();
PyTypeObject* build_context_type();
PyTypeObject* build_pipeline_type();

// A pipeline: its stage names in run order. Immutable once made.
struct PipelineData {
  std::vector<std::string> stages;
};
const std::vector<std::string>& pipeline_stages(PyObject* obj);
// A new BuildPipeline with these stages (for pickling).
PyObject* new_build_pipeline(std::vector<std::string> stages);

// BuildPipeline.execute_async (the asyncio bridge lives in pipeline_async.cpp).
PyObject* pipeline_execute_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

// What a BuildContext holds: a copy of the backend it was made with and a
// share of an event store. Immutable once made, so a run may read it while
// the interpreter lock is released, and an asynchronous run copies both
// members (`backend` is a plain value; the store handle is shared).
struct ContextData {
  core::NullBackend backend;
  std::shared_ptr<core::TraceStore> store;
};

bool is_null_backend(PyObject* obj);
// The backend inside `obj`, which must be a NullBackend.
const core::NullBackend& null_backend_value(PyObject* obj);

bool is_build_context(PyObject* obj);
// The content of `obj`, which must be a BuildContext.
const ContextData& build_context_data(PyObject* obj);
// Shorthands for the two members. The store is what stages record into,
// through its core::TraceSink interface.
const core::Backend& build_context_backend(PyObject* obj);
const std::shared_ptr<core::TraceStore>& build_context_store(PyObject* obj);

// The content of a BuildContext argument; TypeError naming the argument
// ("<function>() argument '<name>' must be BuildContext, not int") otherwise.
const ContextData& build_context_arg(PyObject* obj, const char* function, const char* name);

}  // namespace tessarin::py
