// ModelConfig and ModelConfigBuilder.
#pragma once

#include "core/param_value.hpp"
#include "python/access.hpp"
#include "python/python.hpp"

#include <optional>
#include <string>

namespace tessarin::py {

struct ConfigData {
  AccessFlag access;
  core::ModelConfig config;
  explicit ConfigData(core::ModelConfig&& c) : config(std::move(c)) {}
  // Copies straight into place: a by-value parameter would copy the names
  // and the map once more.
  explicit ConfigData(const core::ModelConfig& c) : config(c) {}
};

PyTypeObject* model_config_type();
PyTypeObject* model_config_builder_type();

// A new ModelConfig object owning `config`.
PyObject* new_model_config(core::ModelConfig config);

// Reads a ModelConfig argument under shared access and returns a copy of it;
// TypeError naming the argument when `obj` is not a ModelConfig.
core::ModelConfig config_arg_copy(PyObject* obj, const char* function, const char* name);

// The ModelConfig inside `obj` (which must be one) and its access flag.
ConfigData& config_data(PyObject* obj);
bool is_model_config(PyObject* obj);

// The access flag of a ModelConfig or ModelConfigBuilder; nullptr for any
// other object.
AccessFlag* config_access_flag(PyObject* obj);

// For pickling: the fields of a ModelConfigBuilder (read under shared
// access) and a new builder made of them.
void builder_fields(PyObject* obj, std::optional<std::string>& name,
                    std::optional<std::string>& version, core::ParamMap& params);
PyObject* new_model_config_builder(std::optional<std::string> name,
                                   std::optional<std::string> version, core::ParamMap params);

}  // namespace tessarin::py
