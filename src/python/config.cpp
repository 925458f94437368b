#include "python/config.hpp"

#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"
#include "python/pytype.hpp"

#include <optional>

namespace tessarin::py {

using core::ModelConfig;
using core::ParamMap;
using core::ParamValue;

namespace {

constexpr const char* kConvertValue = "Failed to convert value: ";
constexpr const char* kConvertParams = "Failed to convert params: ";

ConfigData& self_of(PyObject* self) { return value_of<ConfigData>(self); }

PyObject* alloc_model_config();
PyObject* init_model_config(PyObject* obj, const ModelConfig& config) noexcept;

// ---------------------------------------------------------------- ModelConfig

PyObject* config_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"ModelConfig", {"name", "version"}, 2};
    PyObject* argv[2];
    parse_args(sig, args, kwargs, argv);
    ModelConfig config;
    config.name = arg_str(argv[0], sig.function, "name");
    config.version = arg_str(argv[1], sig.function, "version");
    return new_model_config(std::move(config));
  });
}

PyObject* config_get_name(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] {
    SharedAccess read(self_of(self).access);
    return new_str(self_of(self).config.name);
  });
}

PyObject* config_get_version(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] {
    SharedAccess read(self_of(self).access);
    return new_str(self_of(self).config.version);
  });
}

PyObject* config_get_params(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] {
    SharedAccess read(self_of(self).access);
    return to_python_or_raise(kConvertParams,
                              [&] { return param_map_to_dict(self_of(self).config.params); });
  });
}

PyObject* config_with_param(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"with_param", {"key", "value"}, 2};
    PyObject* argv[2];
    parse_args(sig, args, nargs, kwnames, argv);
    ConfigData& data = self_of(self);
    ExclusiveAccess write(data.access);
    std::string_view key = arg_str(argv[0], sig.function, "key");
    ParamValue value = param_from_python_or_raise(argv[1], kConvertValue);
    // The receiver takes the parameter too: this call both changes it and
    // returns a separate copy. Everything that can fail (the conversion, the
    // returned object) comes first, so a failure leaves the receiver as it
    // was; what follows can only abort.
    PyObject* result = alloc_model_config();
    data.config.params.insert_or_assign(key, std::move(value));
    return init_model_config(result, data.config);
  });
}

PyObject* config_param(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"param", {"key"}, 1};
    PyObject* argv[1];
    parse_args(sig, args, nargs, kwnames, argv);
    ConfigData& data = self_of(self);
    SharedAccess read(data.access);
    std::string_view key = arg_str(argv[0], sig.function, "key");
    const ParamValue* value = data.config.params.find(key);
    if (value == nullptr) return Py_NewRef(Py_None);
    return to_python_or_raise(kConvertValue, [&] { return param_to_python(*value); });
  });
}

PyObject* config_repr(PyObject* self) {
  return boundary<PyObject*>(nullptr, [&] {
    ConfigData& data = self_of(self);
    SharedAccess read(data.access);
    std::string text = "ModelConfig(name='";
    text += data.config.name;
    text += "', version='";
    text += data.config.version;
    text += "', params=";
    text += std::to_string(data.config.params.size());
    text += ")";
    return new_str(text);
  });
}

PyGetSetDef config_getset[] = {
    {"name", config_get_name, nullptr, "Component name.", nullptr},
    {"version", config_get_version, nullptr, "Semantic version string.", nullptr},
    {"params", config_get_params, nullptr, "Configuration parameters as a dictionary.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef config_methods[] = {
    {"with_param", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(config_with_param)),
     METH_FASTCALL | METH_KEYWORDS,
     "with_param(key, value)\n--\n\n"
     "Add or update a parameter.\n\n"
     "Returns self for method chaining. Parameters are stored in sorted order\n"
     "for deterministic hashing.\n\n"
     "Args:\n"
     "    key: Parameter name.\n"
     "    value: Parameter value (any JSON-serializable Python object).\n\n"
     "Returns:\n"
     "    Self with the parameter added.\n\n"
     "Example:\n"
     "    >>> config = config.with_param(\"hidden_size\", 768)"},
    {"param", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(config_param)),
     METH_FASTCALL | METH_KEYWORDS,
     "param(key)\n--\n\nGet a parameter value by key.\n\nArgs:\n    key: Parameter name to "
     "retrieve.\n\n"
     "Returns:\n    The parameter value, or None if not found.\n\nExample:\n"
     "    >>> config.param(\"hidden_size\")\n    768"},
    {nullptr, nullptr, 0, nullptr},
};

const char config_doc[] =
    "ModelConfig(name, version)\n--\n\n"
    "Type-safe configuration for AI model components.\n\n"
    "A configuration holds the name, semantic version and parameters of a\n"
    "model component. Parameters are stored in a sorted map so that identical\n"
    "configurations produce identical hashes.\n\n"
    "Example:\n"
    "    >>> config = ModelConfig(\"encoder\", \"1.0.0\")\n"
    "    >>> config = config.with_param(\"d_model\", 512)\n"
    "    >>> config = config.with_param(\"n_heads\", 8)\n"
    "    >>> config.param(\"d_model\")\n"
    "    512\n\n"
    "Attributes:\n"
    "    name (str): Component name.\n"
    "    version (str): Semantic version string.\n"
    "    params (dict): Configuration parameters as a dictionary.";

PyType_Slot config_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<ConfigData>)},
    {Py_tp_repr, reinterpret_cast<void*>(config_repr)},
    {Py_tp_getset, config_getset},
    {Py_tp_methods, config_methods},
    {Py_tp_doc, const_cast<char*>(config_doc)},
    {0, nullptr},
};

PyType_Spec config_spec = {
    "builtins.ModelConfig",
    sizeof(Box<ConfigData>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    config_slots,
};

// --------------------------------------------------------- ModelConfigBuilder

struct BuilderData {
  AccessFlag access;
  std::optional<std::string> name;
  std::optional<std::string> version;
  ParamMap params;

  BuilderData() = default;
  BuilderData(std::optional<std::string> n, std::optional<std::string> v, ParamMap p)
      : name(std::move(n)), version(std::move(v)), params(std::move(p)) {}
};

BuilderData& builder_of(PyObject* self) { return value_of<BuilderData>(self); }

PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary<PyObject*>(nullptr, [&] {
    parse_no_args("ModelConfigBuilder", args, kwargs);
    return new_instance<BuilderData>(type);
  });
}

// Setters never change the receiver, yet take exclusive access to it for the
// duration of the call (so re-entrant use during a value conversion fails).
PyObject* builder_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"name", {"name"}, 1};
    PyObject* argv[1];
    parse_args(sig, args, nargs, kwnames, argv);
    BuilderData& data = builder_of(self);
    ExclusiveAccess hold(data.access);
    std::string_view name = arg_str(argv[0], sig.function, "name");
    return new_instance<BuilderData>(model_config_builder_type(), std::string(name), data.version,
                                     data.params);
  });
}

PyObject* builder_version(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"version", {"version"}, 1};
    PyObject* argv[1];
    parse_args(sig, args, nargs, kwnames, argv);
    BuilderData& data = builder_of(self);
    ExclusiveAccess hold(data.access);
    std::string_view version = arg_str(argv[0], sig.function, "version");
    return new_instance<BuilderData>(model_config_builder_type(), data.name, std::string(version),
                                     data.params);
  });
}

PyObject* builder_param(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"param", {"key", "value"}, 2};
    PyObject* argv[2];
    parse_args(sig, args, nargs, kwnames, argv);
    BuilderData& data = builder_of(self);
    ExclusiveAccess hold(data.access);
    std::string_view key = arg_str(argv[0], sig.function, "key");
    ParamValue value = param_from_python_or_raise(argv[1], kConvertValue);
    ParamMap params = data.params;
    params.insert_or_assign(key, std::move(value));
    return new_instance<BuilderData>(model_config_builder_type(), data.name, data.version,
                                     std::move(params));
  });
}

PyObject* builder_build(PyObject* self, PyObject*) {
  return boundary<PyObject*>(nullptr, [&] {
    BuilderData& data = builder_of(self);
    SharedAccess read(data.access);
    if (!data.name) raise_value_error("name is required");
    if (!data.version) raise_value_error("version is required");
    return new_model_config(ModelConfig{*data.name, *data.version, data.params});
  });
}

PyMethodDef builder_methods[] = {
    {"name", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(builder_name)),
     METH_FASTCALL | METH_KEYWORDS,
     "name(name)\n--\n\nSet the component name.\n\nArgs:\n    name: Component name.\n\n"
     "Returns:\n    Builder with name set."},
    {"version", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(builder_version)),
     METH_FASTCALL | METH_KEYWORDS,
     "version(version)\n--\n\nSet the semantic version.\n\nArgs:\n    version: Semantic version "
     "string.\n\n"
     "Returns:\n    Builder with version set."},
    {"param", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(builder_param)),
     METH_FASTCALL | METH_KEYWORDS,
     "param(key, value)\n--\n\nAdd a configuration parameter.\n\nArgs:\n    key: Parameter name.\n"
     "    value: Parameter value.\n\nReturns:\n    Builder with parameter added."},
    {"build", builder_build, METH_NOARGS,
     "build($self)\n--\n\nBuild the final ModelConfig.\n\nReturns:\n    ModelConfig with all "
     "builder values.\n\n"
     "Raises:\n    ValueError: If name or version is not set."},
    {nullptr, nullptr, 0, nullptr},
};

const char builder_doc[] =
    "ModelConfigBuilder()\n--\n\n"
    "Builder for constructing ModelConfig incrementally.\n\n"
    "Use this when you need to construct a config in multiple steps or when\n"
    "configuration values come from different sources.\n\n"
    "Example:\n"
    "    >>> builder = ModelConfigBuilder()\n"
    "    >>> builder = builder.name(\"encoder\")\n"
    "    >>> builder = builder.version(\"1.0.0\")\n"
    "    >>> builder = builder.param(\"d_model\", 512)\n"
    "    >>> config = builder.build()";

PyType_Slot builder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(builder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<BuilderData>)},
    {Py_tp_methods, builder_methods},
    {Py_tp_doc, const_cast<char*>(builder_doc)},
    {0, nullptr},
};

PyType_Spec builder_spec = {
    "builtins.ModelConfigBuilder",
    sizeof(Box<BuilderData>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    builder_slots,
};

}  // namespace

TESSARIN_DEFINE_TYPE_GETTER(model_config_type, config_spec)
TESSARIN_DEFINE_TYPE_GETTER(model_config_builder_type, builder_spec)

PyObject* new_model_config(ModelConfig config) {
  return new_instance<ConfigData>(model_config_type(), std::move(config));
}

namespace {

// A ModelConfig in two steps: the allocation, which may fail with
// MemoryError, and the copy into it, which cannot fail (an out-of-memory
// abort aside).
PyObject* alloc_model_config() {
  PyObject* obj = PyType_GenericAlloc(model_config_type(), 0);
  if (obj == nullptr) throw_python_error();
  return obj;
}

PyObject* init_model_config(PyObject* obj, const ModelConfig& config) noexcept {
  new (&value_of<ConfigData>(obj)) ConfigData(config);
  return obj;
}

}  // namespace

bool is_model_config(PyObject* obj) { return Py_IS_TYPE(obj, model_config_type()); }

ConfigData& config_data(PyObject* obj) { return value_of<ConfigData>(obj); }

AccessFlag* config_access_flag(PyObject* obj) {
  if (is_model_config(obj)) return &config_data(obj).access;
  if (Py_IS_TYPE(obj, model_config_builder_type())) return &builder_of(obj).access;
  return nullptr;
}

ModelConfig config_arg_copy(PyObject* obj, const char* function, const char* name) {
  if (!is_model_config(obj)) raise_argument_type(function, name, "ModelConfig", obj);
  ConfigData& data = config_data(obj);
  SharedAccess read(data.access);
  return data.config;
}

void builder_fields(PyObject* obj, std::optional<std::string>& name,
                    std::optional<std::string>& version, ParamMap& params) {
  BuilderData& data = builder_of(obj);
  SharedAccess read(data.access);
  name = data.name;
  version = data.version;
  params = data.params;
}

PyObject* new_model_config_builder(std::optional<std::string> name,
                                   std::optional<std::string> version, ParamMap params) {
  return new_instance<BuilderData>(model_config_builder_type(), std::move(name), std::move(version),
                                   std::move(params));
}

}  // namespace tessarin::py
