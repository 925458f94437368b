// Pickling and copying of the value classes.
//
// The classes must keep exactly their documented members and their module
// "builtins", so they get no __reduce__ of their own: one reducer is
// registered for all of them in copyreg's dispatch table, which both pickle
// and the copy module consult. It turns an object into
// (tessarin._restore, (payload,)), where the payload is the byte form of
// core/payload.hpp; _restore validates the bytes completely before it builds
// anything, since a pickle may come from anywhere.
//
// InMemoryTraceSink and BuildContext get a reducer too, one that refuses:
// they are handles to a process-local event store shared with other handles,
// and a copy could neither share that store nor stand for it.
#include "python/pickling.hpp"

#include "core/payload.hpp"
#include "python/args.hpp"
#include "python/config.hpp"
#include "python/diagnostics.hpp"
#include "python/errors.hpp"
#include "python/graph.hpp"
#include "python/pipeline.hpp"
#include "python/pyref.hpp"
#include "python/pytype.hpp"
#include "python/reenter.h"
#include "python/validation.hpp"

#include <exception>
#include <string>
#include <utility>

namespace tessarin::py {

namespace pl = core::payload;

namespace {

// Payloads above this size are written and validated with the interpreter
// lock released: a large graph takes milliseconds, and other threads (a
// Dask worker's, say) can run meanwhile. Both sides only touch memory that
// no Python code can reach during the call.
constexpr std::size_t kReleaseLockAbove = std::size_t{1} << 20;

PyObject* g_restore = nullptr;

const char kSinkRefusal[] =
    "cannot pickle or copy 'InMemoryTraceSink' object: it is a handle to a shared, process-local "
    "event store that other handles (BuildContext objects, runs in progress) record into; "
    "send its events (sink.events()) instead";
const char kContextRefusal[] =
    "cannot pickle or copy 'BuildContext' object: it shares a process-local event store with "
    "its InMemoryTraceSink; send the backend (a NullBackend) and the events you need instead, "
    "and build a new context where they arrive";

// The lock comes back through the parking shim (python/reenter.h): a thread
// ended at exit here must not unwind through the caller's frames, which hold
// Python references. `work` keeps its exception until the lock is back.
template <class F>
void without_lock(bool release, F&& work) {
  if (!release) {
    work();
    return;
  }
  std::exception_ptr failure;
  PyThreadState* const state = PyEval_SaveThread();
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  tessarin_restore_thread(state);
  if (failure) std::rethrow_exception(failure);
}

Ref bytes_of(const std::string& payload) {
  Ref bytes = Ref::steal(
      PyBytes_FromStringAndSize(payload.data(), static_cast<Py_ssize_t>(payload.size())));
  if (!bytes) throw_python_error();
  return bytes;
}

Ref graph_payload(PyObject* obj) {
  const core::Graph graph = graph_copy_of(obj);
  const std::size_t size = pl::graph_payload_size(graph);
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) throw_python_error();
  auto* out = reinterpret_cast<unsigned char*>(PyBytes_AsString(bytes.get()));
  if (out == nullptr) throw_python_error();
  without_lock(size > kReleaseLockAbove, [&] { pl::write_graph(graph, out); });
  return bytes;
}

// The payload of `obj`, or nullptr when its class is not one we pickle.
Ref payload_of(PyObject* obj) {
  if (is_build_graph(obj)) return graph_payload(obj);
  if (is_model_config(obj)) {
    ConfigData& data = config_data(obj);
    SharedAccess read(data.access);
    return bytes_of(pl::write(data.config));
  }
  if (is_node_id(obj)) return bytes_of(pl::write(pl::NodeIdValue{node_id_value(obj)}));
  if (is_trace_event(obj)) return bytes_of(pl::write(trace_event_record(obj)));
  if (Py_IS_TYPE(obj, trace_level_type()))
    return bytes_of(pl::write(value_of<core::TraceLevel>(obj)));
  if (Py_IS_TYPE(obj, graph_node_type())) {
    pl::NodeValue node;
    graph_node_fields(obj, node.id, node.name, node.config, node.metadata);
    return bytes_of(pl::write(node));
  }
  if (Py_IS_TYPE(obj, model_config_builder_type())) {
    pl::BuilderValue builder;
    builder_fields(obj, builder.name, builder.version, builder.params);
    return bytes_of(pl::write(builder));
  }
  if (Py_IS_TYPE(obj, validation_error_type())) {
    pl::ValidationErrorValue error;
    validation_error_fields(obj, error.field, error.message);
    return bytes_of(pl::write(error));
  }
  if (Py_IS_TYPE(obj, name_validator_type())) return bytes_of(pl::write(pl::NameValidatorValue{}));
  if (Py_IS_TYPE(obj, version_validator_type()))
    return bytes_of(pl::write(pl::VersionValidatorValue{}));
  if (Py_IS_TYPE(obj, composite_validator_type())) {
    pl::CompositeValue composite;
    for (std::uint8_t code : composite_rule_codes(obj))
      composite.rules.push_back(static_cast<pl::Rule>(code));
    return bytes_of(pl::write(composite));
  }
  if (is_null_backend(obj))
    return bytes_of(pl::write(pl::BackendValue{null_backend_value(obj).device()}));
  if (Py_IS_TYPE(obj, build_pipeline_type()))
    return bytes_of(pl::write(pl::PipelineValue{pipeline_stages(obj)}));
  return Ref();
}

PyObject* reduce(PyObject*, PyObject* obj) {
  return boundary<PyObject*>(nullptr, [&] {
    if (is_in_memory_trace_sink(obj)) raise_type_error(kSinkRefusal);
    if (is_build_context(obj)) raise_type_error(kContextRefusal);
    Ref payload = payload_of(obj);
    if (!payload) raise_type_error("cannot pickle '" + type_name_of(obj) + "' object");
    Ref args = Ref::steal(PyTuple_New(1));
    if (!args) throw_python_error();
    PyTuple_SetItem(args.get(), 0, payload.release());
    Ref result = Ref::steal(PyTuple_New(2));
    if (!result) throw_python_error();
    PyTuple_SetItem(result.get(), 0, Py_NewRef(g_restore));
    PyTuple_SetItem(result.get(), 1, args.release());
    return result.release();
  });
}

// The class's own member for `level`: a pickled level comes back as the
// very object TraceLevel.<name> is, wherever the pickled one came from.
PyObject* level_member(core::TraceLevel level) {
  auto* type = reinterpret_cast<PyObject*>(trace_level_type());
  const std::string name(core::trace_level_name(level));
  Ref member = Ref::steal(PyObject_GetAttrString(type, name.c_str()));
  if (!member) throw_python_error();
  if (Py_IS_TYPE(member.get(), trace_level_type()) &&
      value_of<core::TraceLevel>(member.get()) == level) {
    return member.release();
  }
  // The class attribute was rebound by user code: a level of that value is
  // still the faithful answer.
  return new_instance<core::TraceLevel>(trace_level_type(), level);
}

PyObject* call_type(PyTypeObject* type) {
  PyObject* obj = PyObject_CallObject(reinterpret_cast<PyObject*>(type), nullptr);
  if (obj == nullptr) throw_python_error();
  return obj;
}

struct BuildVisitor {
  PyObject* operator()(pl::NodeIdValue& v) const { return new_node_id(v.value); }
  PyObject* operator()(core::ModelConfig& v) const { return new_model_config(std::move(v)); }
  PyObject* operator()(pl::BuilderValue& v) const {
    return new_model_config_builder(std::move(v.name), std::move(v.version), std::move(v.params));
  }
  PyObject* operator()(pl::NodeValue& v) const {
    return new_graph_node(v.id, std::move(v.name), std::move(v.config), std::move(v.metadata));
  }
  PyObject* operator()(core::Graph& v) const { return new_build_graph(std::move(v)); }
  PyObject* operator()(pl::ValidationErrorValue& v) const {
    return new_validation_error_object(v.field, v.message);
  }
  PyObject* operator()(pl::NameValidatorValue&) const { return call_type(name_validator_type()); }
  PyObject* operator()(pl::VersionValidatorValue&) const {
    return call_type(version_validator_type());
  }
  PyObject* operator()(pl::CompositeValue& v) const {
    std::vector<std::uint8_t> codes;
    codes.reserve(v.rules.size());
    for (pl::Rule rule : v.rules) codes.push_back(static_cast<std::uint8_t>(rule));
    return new_composite_validator(codes);
  }
  PyObject* operator()(core::TraceLevel& v) const { return level_member(v); }
  PyObject* operator()(core::TraceRecordHandle& v) const { return new_trace_event(std::move(v)); }
  PyObject* operator()(pl::BackendValue& v) const {
    return new_instance<core::NullBackend>(null_backend_type(), std::move(v.device));
  }
  PyObject* operator()(pl::PipelineValue& v) const {
    return new_build_pipeline(std::move(v.stages));
  }
};

PyObject* restore(PyObject*, PyObject* payload) {
  return boundary<PyObject*>(nullptr, [&] {
    if (!PyBytes_Check(payload))
      raise_type_error("_restore() argument must be bytes, not " + type_name_of(payload));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(payload, &data, &size) < 0) throw_python_error();
    pl::ReadResult result;
    without_lock(static_cast<std::size_t>(size) > kReleaseLockAbove, [&] {
      result =
          pl::read(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
    });
    if (!result.value) raise_value_error("invalid tessarin payload: " + result.error);
    return std::visit(BuildVisitor{}, *result.value);
  });
}

PyMethodDef restore_def = {
    "_restore",
    restore,
    METH_O,
    "_restore(payload, /)\n--\n\n"
    "Rebuild a tessarin object from the bytes its pickle carries.\n\n"
    "Used by pickle and the copy module; the bytes are validated completely,\n"
    "and anything this module could not have written raises ValueError.",
};

PyMethodDef reduce_def = {
    "_reduce",
    reduce,
    METH_O,
    "_reduce(obj, /)\n--\n\nThe copyreg reducer of the tessarin classes.",
};

}  // namespace

void register_pickling(PyObject* module) {
  Ref module_name = Ref::steal(new_str("tessarin"));
  Ref restore_fn = Ref::steal(PyCFunction_NewEx(&restore_def, nullptr, module_name.get()));
  if (!restore_fn) throw_python_error();
  Ref reduce_fn = Ref::steal(PyCFunction_NewEx(&reduce_def, nullptr, module_name.get()));
  if (!reduce_fn) throw_python_error();
  // A private attribute: not listed in __all__, found by pickle by name.
  if (PyObject_SetAttrString(module, "_restore", restore_fn.get()) < 0) throw_python_error();

  Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
  if (!copyreg) throw_python_error();
  Ref register_reducer = Ref::steal(PyObject_GetAttrString(copyreg.get(), "pickle"));
  if (!register_reducer) throw_python_error();
  PyTypeObject* const types[] = {
      model_config_type(),   model_config_builder_type(), node_id_type(),
      graph_node_type(),     build_graph_type(),          null_backend_type(),
      trace_level_type(),    trace_event_type(),          in_memory_trace_sink_type(),
      build_context_type(),  build_pipeline_type(),       validation_error_type(),
      name_validator_type(), version_validator_type(),    composite_validator_type(),
  };
  for (PyTypeObject* type : types) {
    Ref done = Ref::steal(PyObject_CallFunctionObjArgs(
        register_reducer.get(), reinterpret_cast<PyObject*>(type), reduce_fn.get(), nullptr));
    if (!done) throw_python_error();
  }
  // Kept for the process's lifetime, like the type objects.
  if (g_restore == nullptr) g_restore = restore_fn.release();
}

}  // namespace tessarin::py
