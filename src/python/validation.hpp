// ValidationError, NameValidator, VersionValidator and CompositeValidator.
#pragma once

#include "python/python.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin::py {

PyTypeObject* validation_error_type();
PyTypeObject* name_validator_type();
PyTypeObject* version_validator_type();
PyTypeObject* composite_validator_type();

// For pickling: the two strings of a ValidationError, the rule keys of a
// CompositeValidator in order (0 name, 1 version), and new objects of both.
void validation_error_fields(PyObject* obj, std::string& field, std::string& message);
PyObject* new_validation_error_object(std::string_view field, std::string_view message);
std::vector<std::uint8_t> composite_rule_codes(PyObject* obj);
PyObject* new_composite_validator(const std::vector<std::uint8_t>& codes);

}  // namespace tessarin::py
