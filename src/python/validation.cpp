#include "python/validation.hpp"

#include "core/text_rules.hpp"
#include "python/args.hpp"
#include "python/config.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"
#include "python/pytype.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin::py {

using core::RuleViolation;

namespace {

// ----------------------------------------------------------- ValidationError

struct ErrorData {
  std::string field;
  std::string message;
  ErrorData(std::string_view f, std::string_view m) : field(f), message(m) {}
};

ErrorData& error_of(PyObject* self) { return value_of<ErrorData>(self); }

PyObject* new_validation_error(const RuleViolation& violation) {
  return new_instance<ErrorData>(validation_error_type(), violation.field, violation.message);
}

PyObject* error_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"ValidationError", {"field", "message"}, 2};
    PyObject* argv[2];
    parse_args(sig, args, kwargs, argv);
    std::string_view field = arg_str(argv[0], sig.function, "field");
    std::string_view message = arg_str(argv[1], sig.function, "message");
    return new_instance<ErrorData>(type, field, message);
  });
}

PyObject* error_get_field(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] { return new_str(error_of(self).field); });
}

PyObject* error_get_message(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] { return new_str(error_of(self).message); });
}

// Both strings go in exactly as stored: the repr is meant for reading, and the
// single quotes around them are decoration, not Python string syntax.
PyObject* error_repr(PyObject* self) {
  return boundary<PyObject*>(nullptr, [&] {
    const ErrorData& data = error_of(self);
    std::string text;
    text.reserve(data.field.size() + data.message.size() + 37);
    text += "ValidationError(field='";
    text += data.field;
    text += "', message='";
    text += data.message;
    text += "')";
    return new_str(text);
  });
}

PyObject* error_str(PyObject* self) {
  return boundary<PyObject*>(nullptr, [&] {
    const ErrorData& data = error_of(self);
    std::string text;
    text.reserve(data.field.size() + data.message.size() + 2);
    text += data.field;
    text += ": ";
    text += data.message;
    return new_str(text);
  });
}

PyGetSetDef error_getset[] = {
    {"field", error_get_field, nullptr, "Name of the invalid field.", nullptr},
    {"message", error_get_message, nullptr, "Error description.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char error_doc[] =
    "ValidationError(field, message)\n--\n\n"
    "Validation error describing what failed and why.\n\n"
    "Each error names the configuration field that failed validation and\n"
    "carries a human-readable message explaining the problem.\n\n"
    "Example:\n"
    "    >>> for err in validator.validate(config):\n"
    "    ...     print(f\"{err.field}: {err.message}\")\n\n"
    "Attributes:\n"
    "    field (str): Name of the invalid field.\n"
    "    message (str): Error description.";

PyType_Slot error_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(error_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<ErrorData>)},
    {Py_tp_repr, reinterpret_cast<void*>(error_repr)},
    {Py_tp_str, reinterpret_cast<void*>(error_str)},
    {Py_tp_getset, error_getset},
    {Py_tp_doc, const_cast<char*>(error_doc)},
    {0, nullptr},
};

PyType_Spec error_spec = {
    "builtins.ValidationError",
    sizeof(Box<ErrorData>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    error_slots,
};

// ------------------------------------------------------ shared by validators

// The `config` argument of every validate(): the ModelConfig's data, or
// TypeError naming the argument.
ConfigData& config_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"validate", {"config"}, 1};
  PyObject* config = nullptr;
  parse_args(sig, args, nargs, kwnames, &config);
  if (!is_model_config(config)) raise_argument_type(sig.function, "config", "ModelConfig", config);
  return config_data(config);
}

// A new list holding one new ValidationError per violation, in order.
PyObject* violations_to_list(const std::optional<RuleViolation>& violation) {
  Ref list = Ref::steal(PyList_New(violation ? 1 : 0));
  if (!list) throw_python_error();
  if (violation) {
    // PyList_SetItem steals the new error, also when it fails.
    if (PyList_SetItem(list.get(), 0, new_validation_error(*violation)) < 0) throw_python_error();
  }
  return list.release();
}

// validate() of a single-rule validator: `Check` applied to one field of the
// configuration. The rule runs under shared access; the result objects are
// made after it is released, since allocating may run arbitrary finalizers.
template <std::string core::ModelConfig::* Field,
          std::optional<RuleViolation> (*Check)(std::string_view) noexcept>
PyObject* validate_one_field(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return boundary<PyObject*>(nullptr, [&] {
    ConfigData& data = config_argument(args, nargs, kwnames);
    std::optional<RuleViolation> violation;
    {
      SharedAccess read(data.access);
      violation = Check(data.config.*Field);
    }
    return violations_to_list(violation);
  });
}

// The validators without state share one empty payload.
struct NoState {};

PyObject* new_stateless(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* name) {
  return boundary<PyObject*>(nullptr, [&] {
    parse_no_args(name, args, kwargs);
    return new_instance<NoState>(type);
  });
}

// -------------------------------------------------------------- NameValidator

PyObject* name_validator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_stateless(type, args, kwargs, "NameValidator");
}

PyObject* name_validator_repr(PyObject*) {
  return boundary<PyObject*>(nullptr, [] { return new_str("NameValidator"); });
}

PyMethodDef name_validator_methods[] = {
    {"validate",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         validate_one_field<&core::ModelConfig::name, core::check_name>)),
     METH_FASTCALL | METH_KEYWORDS,
     "validate(config)\n--\n\nValidate a configuration's name field.\n\nArgs:\n"
     "    config: ModelConfig to validate.\n\nReturns:\n    List of ValidationErrors (empty if "
     "valid)."},
    {nullptr, nullptr, 0, nullptr},
};

const char name_validator_doc[] =
    "NameValidator()\n--\n\n"
    "Validator for model component names.\n\n"
    "Names must be non-empty and may contain only alphanumeric characters,\n"
    "underscores and hyphens.\n\n"
    "Example:\n"
    "    >>> validator = NameValidator()\n"
    "    >>> validator.validate(ModelConfig(\"encoder_v2\", \"1.0.0\"))\n"
    "    []\n"
    "    >>> validator.validate(ModelConfig(\"my model\", \"1.0.0\"))[0].field\n"
    "    'name'";

PyType_Slot name_validator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(name_validator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<NoState>)},
    {Py_tp_repr, reinterpret_cast<void*>(name_validator_repr)},
    {Py_tp_methods, name_validator_methods},
    {Py_tp_doc, const_cast<char*>(name_validator_doc)},
    {0, nullptr},
};

PyType_Spec name_validator_spec = {
    "builtins.NameValidator",
    sizeof(Box<NoState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    name_validator_slots,
};

// ----------------------------------------------------------- VersionValidator

PyObject* version_validator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_stateless(type, args, kwargs, "VersionValidator");
}

PyObject* version_validator_repr(PyObject*) {
  return boundary<PyObject*>(nullptr, [] { return new_str("VersionValidator"); });
}

PyMethodDef version_validator_methods[] = {
    {"validate",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         validate_one_field<&core::ModelConfig::version, core::check_version>)),
     METH_FASTCALL | METH_KEYWORDS,
     "validate(config)\n--\n\nValidate a configuration's version field.\n\nArgs:\n"
     "    config: ModelConfig to validate.\n\nReturns:\n    List of ValidationErrors (empty if "
     "valid)."},
    {nullptr, nullptr, 0, nullptr},
};

// The Accepts line is the documented intent, not the exact rule: the third
// piece must be a plain number, so 0.1.0-alpha is in fact rejected.
const char version_validator_doc[] =
    "VersionValidator()\n--\n\n"
    "Validator for semantic version strings.\n\n"
    "Ensures versions follow semver format: major.minor.patch\n\n"
    "Accepts: \"1.0.0\", \"2.1.3\", \"0.1.0-alpha\"\n"
    "Rejects: \"1.0\", \"v1.0.0\", \"latest\"\n\n"
    "Example:\n"
    "    >>> validator = VersionValidator()\n"
    "    >>> validator.validate(ModelConfig(\"encoder\", \"1.0.0\"))\n"
    "    []\n"
    "    >>> validator.validate(ModelConfig(\"encoder\", \"latest\"))[0].field\n"
    "    'version'";

PyType_Slot version_validator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(version_validator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<NoState>)},
    {Py_tp_repr, reinterpret_cast<void*>(version_validator_repr)},
    {Py_tp_methods, version_validator_methods},
    {Py_tp_doc, const_cast<char*>(version_validator_doc)},
    {0, nullptr},
};

PyType_Spec version_validator_spec = {
    "builtins.VersionValidator",
    sizeof(Box<NoState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    version_validator_slots,
};

// --------------------------------------------------------- CompositeValidator

enum class Rule : std::uint8_t { Name, Version };

std::string key_of(Rule rule) { return rule == Rule::Name ? "name" : "version"; }

// The rules in the order they were added, repeats included. Immutable once
// built. The per-rule counts let validate() run each rule at most once: a
// rule's outcome depends only on the configuration, so every repeat of it
// reports the same violation.
struct CompositeData {
  std::vector<Rule> rules;
  std::size_t name_rules = 0;
  std::size_t version_rules = 0;

  CompositeData() = default;
  explicit CompositeData(std::vector<Rule> r) : rules(std::move(r)) {
    for (Rule rule : rules) ++(rule == Rule::Name ? name_rules : version_rules);
  }
};

CompositeData& composite_of(PyObject* self) { return value_of<CompositeData>(self); }

PyObject* composite_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary<PyObject*>(nullptr, [&] {
    parse_no_args("CompositeValidator", args, kwargs);
    return new_instance<CompositeData>(type);
  });
}

PyObject* composite_with(PyObject* self, Rule rule) {
  const std::vector<Rule>& current = composite_of(self).rules;
  std::vector<Rule> rules;
  rules.reserve(current.size() + 1);
  rules.assign(current.begin(), current.end());
  rules.push_back(rule);
  return new_instance<CompositeData>(composite_validator_type(), std::move(rules));
}

PyObject* composite_with_name(PyObject* self, PyObject*) {
  return boundary<PyObject*>(nullptr, [&] { return composite_with(self, Rule::Name); });
}

PyObject* composite_with_version(PyObject* self, PyObject*) {
  return boundary<PyObject*>(nullptr, [&] { return composite_with(self, Rule::Version); });
}

PyObject* composite_validate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return boundary<PyObject*>(nullptr, [&] {
    const CompositeData& composite = composite_of(self);
    ConfigData& data = config_argument(args, nargs, kwnames);
    std::optional<RuleViolation> name;
    std::optional<RuleViolation> version;
    {
      SharedAccess read(data.access);
      if (composite.name_rules > 0) name = core::check_name(data.config.name);
      if (composite.version_rules > 0) version = core::check_version(data.config.version);
    }
    std::size_t count = (name ? composite.name_rules : 0) + (version ? composite.version_rules : 0);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) throw_python_error();
    Py_ssize_t next = 0;
    for (std::size_t i = 0; next < static_cast<Py_ssize_t>(count); ++i) {
      const std::optional<RuleViolation>& violation =
          composite.rules[i] == Rule::Name ? name : version;
      if (!violation) continue;
      // PyList_SetItem steals the new error, also when it fails.
      if (PyList_SetItem(list.get(), next++, new_validation_error(*violation)) < 0)
        throw_python_error();
    }
    return list.release();
  });
}

PyObject* composite_repr(PyObject* self) {
  return boundary<PyObject*>(nullptr, [&] {
    const CompositeData& composite = composite_of(self);
    std::vector<std::string> keys;
    keys.reserve(composite.rules.size());
    for (Rule rule : composite.rules) keys.push_back(key_of(rule));
    std::string text = "CompositeValidator(validators=";
    core::append_quoted_string_list(text, keys);
    text += ")";
    return new_str(text);
  });
}

PyMethodDef composite_methods[] = {
    {"with_name_validator", composite_with_name, METH_NOARGS,
     "with_name_validator($self)\n--\n\nAdd name validation.\n\n"
     "Returns:\n    New validator with name validation added."},
    {"with_version_validator", composite_with_version, METH_NOARGS,
     "with_version_validator($self)\n--\n\nAdd version validation.\n\n"
     "Returns:\n    New validator with version validation added."},
    {"validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(composite_validate)),
     METH_FASTCALL | METH_KEYWORDS,
     "validate(config)\n--\n\nRun all validators on a configuration.\n\n"
     "All validators execute regardless of earlier failures, collecting\n"
     "all errors for comprehensive feedback.\n\n"
     "Args:\n    config: ModelConfig to validate.\n\n"
     "Returns:\n    List of all ValidationErrors (empty if valid)."},
    {nullptr, nullptr, 0, nullptr},
};

const char composite_doc[] =
    "CompositeValidator()\n--\n\n"
    "Composite validator combining multiple validation rules.\n\n"
    "Validators are added incrementally in builder style: each with_... call\n"
    "returns a new composite with one more rule. All validators run and all\n"
    "errors are collected, rather than failing fast on the first error.\n\n"
    "This provides:\n"
    "    - a single call to validate a configuration,\n"
    "    - consistent error collection across all rules,\n"
    "    - an extensible place to add further rules.\n\n"
    "Example:\n"
    "    >>> validator = (\n"
    "    ...     CompositeValidator()\n"
    "    ...     .with_name_validator()\n"
    "    ...     .with_version_validator()\n"
    "    ... )\n"
    "    >>> for err in validator.validate(config):\n"
    "    ...     print(f\"{err.field}: {err.message}\")";

PyType_Slot composite_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(composite_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<CompositeData>)},
    {Py_tp_repr, reinterpret_cast<void*>(composite_repr)},
    {Py_tp_methods, composite_methods},
    {Py_tp_doc, const_cast<char*>(composite_doc)},
    {0, nullptr},
};

PyType_Spec composite_spec = {
    "builtins.CompositeValidator",
    sizeof(Box<CompositeData>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    composite_slots,
};

}  // namespace

TESSARIN_DEFINE_TYPE_GETTER(validation_error_type, error_spec)
TESSARIN_DEFINE_TYPE_GETTER(name_validator_type, name_validator_spec)
TESSARIN_DEFINE_TYPE_GETTER(version_validator_type, version_validator_spec)
TESSARIN_DEFINE_TYPE_GETTER(composite_validator_type, composite_spec)

void validation_error_fields(PyObject* obj, std::string& field, std::string& message) {
  field = error_of(obj).field;
  message = error_of(obj).message;
}

PyObject* new_validation_error_object(std::string_view field, std::string_view message) {
  return new_instance<ErrorData>(validation_error_type(), field, message);
}

std::vector<std::uint8_t> composite_rule_codes(PyObject* obj) {
  std::vector<std::uint8_t> codes;
  for (Rule rule : composite_of(obj).rules) codes.push_back(rule == Rule::Name ? 0 : 1);
  return codes;
}

PyObject* new_composite_validator(const std::vector<std::uint8_t>& codes) {
  std::vector<Rule> rules;
  rules.reserve(codes.size());
  for (std::uint8_t code : codes) rules.push_back(code == 0 ? Rule::Name : Rule::Version);
  return new_instance<CompositeData>(composite_validator_type(), std::move(rules));
}

}  // namespace tessarin::py
