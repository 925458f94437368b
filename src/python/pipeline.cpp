#include "python/pipeline.hpp"

#include "core/pipeline.hpp"
#include "core/text_rules.hpp"
#include "python/args.hpp"
#include "python/diagnostics.hpp"
#include "python/errors.hpp"
#include "python/graph.hpp"
#include "python/pytype.hpp"

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tessarin::py {

using core::NullBackend;

namespace {

// ---------------------------------------------------------------- NullBackend

PyObject* backend_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"NullBackend", {"device"}, 1};
    PyObject* argv[1];
    parse_args(sig, args, kwargs, argv);
    std::string_view device = arg_str(argv[0], sig.function, "device");
    return new_instance<NullBackend>(type, std::string(device));
  });
}

PyObject* backend_cpu(PyObject*, PyObject*) {
  return boundary<PyObject*>(
      nullptr, [&] { return new_instance<NullBackend>(null_backend_type(), NullBackend::cpu()); });
}

PyObject* backend_get_name(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] { return new_str(null_backend_value(self).name()); });
}

PyObject* backend_get_device(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] { return new_str(null_backend_value(self).device()); });
}

PyObject* backend_repr(PyObject* self) {
  return boundary<PyObject*>(nullptr, [&] {
    const NullBackend& backend = null_backend_value(self);
    std::string text = "NullBackend(name='";
    text += backend.name();
    text += "', device='";
    text += backend.device();
    text += "')";
    return new_str(text);
  });
}

PyGetSetDef backend_getset[] = {
    {"name", backend_get_name, nullptr, "Backend name.", nullptr},
    {"device", backend_get_device, nullptr, "Device identifier.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef backend_methods[] = {
    {"cpu", backend_cpu, METH_STATIC | METH_NOARGS,
     "cpu()\n--\n\nCreate a CPU-targeted NullBackend.\n\n"
     "Returns:\n    NullBackend configured for CPU.\n\n"
     "Example:\n    >>> backend = NullBackend.cpu()"},
    {nullptr, nullptr, 0, nullptr},
};

const char backend_doc[] =
    "NullBackend(device)\n--\n\n"
    "Reference backend for testing and development.\n\n"
    "NullBackend performs no actual computation. It is meant for:\n"
    "    - unit testing pipeline logic without GPU dependencies;\n"
    "    - validating graph construction and configuration;\n"
    "    - development without real hardware.\n\n"
    "Production GPU support comes from the backends of the Burn or CubeCL\n"
    "integrations when those features are enabled.\n\n"
    "Example:\n"
    "    >>> backend = NullBackend.cpu()\n"
    "    >>> backend.name\n"
    "    'null'\n"
    "    >>> backend.device\n"
    "    'cpu'\n\n"
    "Attributes:\n"
    "    name (str): Backend name, always \"null\".\n"
    "    device (str): Device identifier, such as \"cpu\".";

PyType_Slot backend_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(backend_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<NullBackend>)},
    {Py_tp_repr, reinterpret_cast<void*>(backend_repr)},
    {Py_tp_getset, backend_getset},
    {Py_tp_methods, backend_methods},
    {Py_tp_doc, const_cast<char*>(backend_doc)},
    {0, nullptr},
};

PyType_Spec backend_spec = {
    "builtins.NullBackend",
    sizeof(Box<NullBackend>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    backend_slots,
};

// --------------------------------------------------------------- BuildContext

PyObject* context_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"BuildContext", {"backend", "trace"}, 2};
    PyObject* argv[2];
    parse_args(sig, args, kwargs, argv);
    if (!is_null_backend(argv[0]))
      raise_argument_type(sig.function, "backend", "NullBackend", argv[0]);
    if (!is_in_memory_trace_sink(argv[1])) {
      raise_argument_type(sig.function, "trace", "InMemoryTraceSink", argv[1]);
    }
    return new_instance<ContextData>(type, null_backend_value(argv[0]), trace_sink_store(argv[1]));
  });
}

PyObject* context_with_null_backend(PyObject*, PyObject*) {
  return boundary<PyObject*>(nullptr, [&] {
    // Nothing can ever read this context's store (a context has no getter
    // for it), so it discards what runs record instead of growing with every
    // run: a difference no caller can observe.
    return new_instance<ContextData>(
        build_context_type(), NullBackend::cpu(),
        core::TraceStore::create(core::TraceStore::Retention::Discard));
  });
}

PyObject* context_repr(PyObject* self) {
  return boundary<PyObject*>(nullptr, [&] {
    std::string text = "BuildContext(backend='";
    text += build_context_data(self).backend.name();
    text += "')";
    return new_str(text);
  });
}

PyMethodDef context_methods[] = {
    {"with_null_backend", context_with_null_backend, METH_STATIC | METH_NOARGS,
     "with_null_backend()\n--\n\n"
     "Create a context with NullBackend and in-memory trace sink.\n\n"
     "Convenience constructor for testing and development.\n\n"
     "Returns:\n    BuildContext configured for CPU testing.\n\n"
     "Example:\n    >>> ctx = BuildContext.with_null_backend()"},
    {nullptr, nullptr, 0, nullptr},
};

const char context_doc[] =
    "BuildContext(backend, trace)\n--\n\n"
    "Execution context holding backend and trace sink.\n\n"
    "A context bundles the execution environment of a pipeline run:\n"
    "    - backend: hardware target (CPU, GPU, ...);\n"
    "    - trace sink: destination for diagnostic events.\n\n"
    "Keeping the context apart from the pipeline lets one pipeline definition\n"
    "run on different hardware or with different logging configurations\n"
    "without change.\n\n"
    "Example:\n"
    "    >>> sink = InMemoryTraceSink()\n"
    "    >>> ctx = BuildContext(NullBackend.cpu(), sink)\n"
    "    >>> # or, when the events are not needed:\n"
    "    >>> ctx = BuildContext.with_null_backend()";

PyType_Slot context_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(context_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<ContextData>)},
    {Py_tp_repr, reinterpret_cast<void*>(context_repr)},
    {Py_tp_methods, context_methods},
    {Py_tp_doc, const_cast<char*>(context_doc)},
    {0, nullptr},
};

PyType_Spec context_spec = {
    "builtins.BuildContext",
    sizeof(Box<ContextData>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    context_slots,
};

// -------------------------------------------------------------- BuildPipeline

PipelineData& pipeline_of(PyObject* self) { return value_of<PipelineData>(self); }

PyObject* new_pipeline(std::vector<std::string> stages) {
  return new_instance<PipelineData>(build_pipeline_type(), PipelineData{std::move(stages)});
}

PyObject* pipeline_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return boundary<PyObject*>(nullptr, [&] {
    parse_no_args("BuildPipeline", args, kwargs);
    return new_pipeline({});
  });
}

PyObject* pipeline_standard(PyObject*, PyObject*) {
  return boundary<PyObject*>(nullptr, [] { return new_pipeline({"validation", "hashing"}); });
}

PyObject* pipeline_for_training(PyObject*, PyObject*) {
  return boundary<PyObject*>(nullptr, [] { return new_pipeline({"validation", "hashing"}); });
}

PyObject* pipeline_for_inference(PyObject*, PyObject*) {
  return boundary<PyObject*>(nullptr, [] { return new_pipeline({"hashing"}); });
}

PyObject* pipeline_with_stage(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"with_stage", {"name"}, 1};
    PyObject* argv[1];
    parse_args(sig, args, nargs, kwnames, argv);
    std::string_view name = arg_str(argv[0], sig.function, "name");
    std::vector<std::string> stages = pipeline_of(self).stages;
    stages.emplace_back(name);
    return new_pipeline(std::move(stages));
  });
}

PyObject* pipeline_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"execute", {"ctx", "graph"}, 2};
    PyObject* argv[2];
    parse_args(sig, args, nargs, kwnames, argv);
    // ctx before graph: with both wrong, the error names ctx.
    const ContextData& context = build_context_arg(argv[0], sig.function, "ctx");
    core::Graph working = graph_arg_copy(argv[1], sig.function, "graph");
    // The run holds the interpreter lock throughout; Ctrl-C is let through
    // between stages and between chunks of the hash. An interrupted run
    // keeps the events it recorded and records nothing more.
    core::StageContext stage_context{context.backend, *context.store, python_signal_raised};
    core::PipelineResult result =
        core::run_pipeline(pipeline_of(self).stages, working, stage_context);
    if (const auto* failure = std::get_if<core::StageFailure>(&result))
      raise_runtime_error(failure->message());
    if (std::holds_alternative<core::Interrupted>(result)) throw_python_error();
    return new_build_graph(std::move(working));
  });
}

Py_ssize_t pipeline_length(PyObject* self) {
  return static_cast<Py_ssize_t>(pipeline_of(self).stages.size());
}

PyObject* pipeline_repr(PyObject* self) {
  return boundary<PyObject*>(nullptr, [&] {
    std::string text = "BuildPipeline(stages=";
    core::append_quoted_string_list(text, pipeline_of(self).stages);
    text += ")";
    return new_str(text);
  });
}

PyMethodDef pipeline_methods[] = {
    {"standard", pipeline_standard, METH_NOARGS | METH_STATIC,
     "standard()\n--\n\n"
     "Standard pipeline with validation and hashing.\n\n"
     "Recommended for most use cases.\n\n"
     "Returns:\n    BuildPipeline configured with [validation, hashing] stages."},
    {"for_training", pipeline_for_training, METH_NOARGS | METH_STATIC,
     "for_training()\n--\n\n"
     "Pipeline optimized for training workflows.\n\n"
     "Currently identical to standard(); may later gain training-specific stages.\n\n"
     "Returns:\n    BuildPipeline configured for training."},
    {"for_inference", pipeline_for_inference, METH_NOARGS | METH_STATIC,
     "for_inference()\n--\n\n"
     "Minimal pipeline for inference.\n\n"
     "Skips validation for faster builds.\n\n"
     "Returns:\n    BuildPipeline with the [hashing] stage only."},
    {"with_stage", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pipeline_with_stage)),
     METH_FASTCALL | METH_KEYWORDS,
     "with_stage(name)\n--\n\n"
     "Add a stage to the pipeline.\n\n"
     "Args:\n    name: Stage name (\"validation\" or \"hashing\").\n\n"
     "Returns:\n    New pipeline with the stage appended.\n\n"
     "Example:\n    >>> pipeline = BuildPipeline().with_stage(\"validation\")"},
    {"execute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pipeline_execute)),
     METH_FASTCALL | METH_KEYWORDS,
     "execute(ctx, graph)\n--\n\n"
     "Execute the pipeline synchronously.\n\n"
     "Args:\n"
     "    ctx: BuildContext with backend and trace sink.\n"
     "    graph: BuildGraph to process.\n\n"
     "Returns:\n    The processed BuildGraph. Stages may modify the graph or validate it.\n\n"
     "Raises:\n    RuntimeError: If any stage fails."},
    {"execute_async",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pipeline_execute_async)),
     METH_FASTCALL | METH_KEYWORDS,
     "execute_async(ctx, graph)\n--\n\n"
     "Execute the pipeline asynchronously.\n\n"
     "Async version of execute() for integration with asyncio. Yields between\n"
     "stages to allow other coroutines to run.\n\n"
     "Args:\n"
     "    ctx: BuildContext with backend and trace sink.\n"
     "    graph: BuildGraph to process.\n\n"
     "Returns:\n    Awaitable that resolves to the processed BuildGraph.\n\n"
     "Example:\n    >>> result = await pipeline.execute_async(ctx, graph)"},
    {nullptr, nullptr, 0, nullptr},
};

const char pipeline_doc[] =
    "BuildPipeline()\n--\n\n"
    "Pipeline for executing build stages on a graph.\n\n"
    "Common stages:\n"
    "    - validation: Check configuration correctness\n"
    "    - hashing: Compute deterministic graph hash\n\n"
    "Why pipelines:\n"
    "    - Composability: stages combine into reusable build recipes\n"
    "    - Observability: every stage records trace events\n"
    "    - Consistency: the same stages run the same way everywhere\n\n"
    "Example:\n"
    "    >>> pipeline = BuildPipeline.standard()\n"
    "    >>> result = pipeline.execute(ctx, graph)\n"
    "    >>> print(result.stable_hash())\n\n"
    "Presets:\n"
    "    - standard(): validation and hashing\n"
    "    - for_training(): same as standard() for now\n"
    "    - for_inference(): hashing only";

PyType_Slot pipeline_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(pipeline_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<PipelineData>)},
    {Py_tp_repr, reinterpret_cast<void*>(pipeline_repr)},
    {Py_mp_length, reinterpret_cast<void*>(pipeline_length)},
    {Py_tp_methods, pipeline_methods},
    {Py_tp_doc, const_cast<char*>(pipeline_doc)},
    {0, nullptr},
};

PyType_Spec pipeline_spec = {
    "builtins.BuildPipeline",
    sizeof(Box<PipelineData>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    pipeline_slots,
};

}  // namespace

TESSARIN_DEFINE_TYPE_GETTER(null_backend_type, backend_spec)
TESSARIN_DEFINE_TYPE_GETTER(build_pipeline_type, pipeline_spec)
TESSARIN_DEFINE_TYPE_GETTER(build_context_type, context_spec)

bool is_null_backend(PyObject* obj) { return Py_IS_TYPE(obj, null_backend_type()); }

const NullBackend& null_backend_value(PyObject* obj) { return value_of<NullBackend>(obj); }

bool is_build_context(PyObject* obj) { return Py_IS_TYPE(obj, build_context_type()); }

const ContextData& build_context_data(PyObject* obj) { return value_of<ContextData>(obj); }

const core::Backend& build_context_backend(PyObject* obj) {
  return build_context_data(obj).backend;
}

const std::shared_ptr<core::TraceStore>& build_context_store(PyObject* obj) {
  return build_context_data(obj).store;
}

const ContextData& build_context_arg(PyObject* obj, const char* function, const char* name) {
  if (!is_build_context(obj)) raise_argument_type(function, name, "BuildContext", obj);
  return build_context_data(obj);
}

}  // namespace tessarin::py

namespace tessarin::py {
const std::vector<std::string>& pipeline_stages(PyObject* obj) {
  return value_of<PipelineData>(obj).stages;
}
PyObject* new_build_pipeline(std::vector<std::string> stages) {
  return new_pipeline(std::move(stages));
}
}  // namespace tessarin::py
