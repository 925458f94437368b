// ValidationError, NameValidator, VersionValidator and CompositeValidator.
#pragma once

#include "python/python.hpp"

namespace tessarin::py {

PyTypeObject* validation_error_type();
PyTypeObject* name_validator_type();
PyTypeObject* version_validator_type();
PyTypeObject* composite_validator_type();

}  // namespace tessarin::py
