#include "core/backend.hpp"

namespace tessarin::core {

std::string_view NullBackend::name() const noexcept { return "null"; }

}  // namespace tessarin::core
