#include "core/error.hpp"

#include <utility>

namespace tessarin::core {

std::string_view error_kind_prefix(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::InvalidConfiguration:
      return "invalid configuration: ";
    case ErrorKind::Backend:
      return "backend error: ";
    case ErrorKind::Build:
      return "build error: ";
    case ErrorKind::Validation:
      return "validation error: ";
    case ErrorKind::Serialization:
      return "serialization error: ";
    case ErrorKind::Io:
      return "io error: ";
    case ErrorKind::Graph:
      return "graph error: ";
  }
  // Only reachable through a cast from an out-of-range integer.
  return "error: ";
}

CoreError::CoreError(ErrorKind kind, std::string message, ErrorContext context)
    : kind_(kind), context_(std::move(context)), message_(std::move(message)) {}

CoreError::CoreError(ErrorKind kind, std::string message, ErrorContext context,
                     std::unique_ptr<std::exception> source)
    : kind_(kind),
      source_(std::move(source)),
      context_(std::move(context)),
      message_(std::move(message)) {}

std::string CoreError::display() const {
  const std::string_view prefix = error_kind_prefix(kind_);
  std::string out;
  out.reserve(prefix.size() + message_.size());
  out.append(prefix);
  out.append(message_);

  bool opened = false;
  const auto append_part = [&](std::string_view label, const std::optional<std::string>& value) {
    if (!value) return;
    out.append(opened ? ", " : " (");
    opened = true;
    out.append(label);
    out.append(*value);
  };
  append_part("stage: ", context_.stage);
  append_part("field: ", context_.field);
  append_part("details: ", context_.details);
  if (opened) out.push_back(')');
  return out;
}

}  // namespace tessarin::core
