#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tessarin::core {

// What failed. The numeric values are the stable order of the kinds.
enum class ErrorKind : std::uint8_t {
  InvalidConfiguration = 0,
  Backend = 1,
  Build = 2,
  Validation = 3,
  Serialization = 4,
  Io = 5,
  Graph = 6,
};

inline constexpr std::size_t kErrorKindCount = 7;

// The text that starts the display of an error of this kind, trailing space
// included ("validation error: ").
std::string_view error_kind_prefix(ErrorKind kind) noexcept;

// Where a failure happened. Every part is optional; a part that is present but
// empty still shows up in the display text.
struct ErrorContext {
  std::optional<std::string> stage;
  std::optional<std::string> field;
  std::optional<std::string> details;
};

// The error value of the build machinery: returned by the operation that
// fails, moved to its caller and turned into text where it reaches Python.
// It owns its strings and its source, so it is moved, never copied.
class CoreError {
 public:
  CoreError(ErrorKind kind, std::string message, ErrorContext context = {});
  CoreError(ErrorKind kind, std::string message, ErrorContext context,
            std::unique_ptr<std::exception> source);

  CoreError(CoreError&&) noexcept = default;
  CoreError& operator=(CoreError&&) noexcept = default;
  CoreError(const CoreError&) = delete;
  CoreError& operator=(const CoreError&) = delete;
  ~CoreError() = default;

  ErrorKind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  const ErrorContext& context() const noexcept { return context_; }
  // The lower-level failure behind this one, or null. Never part of the
  // display text.
  const std::exception* source() const noexcept { return source_.get(); }

  // Prefix of the kind, the message, then " (stage: s, field: f, details: d)"
  // with only the parts that are present, always in that order; nothing after
  // the message when no part is present.
  std::string display() const;

 private:
  ErrorKind kind_;
  std::unique_ptr<std::exception> source_;
  ErrorContext context_;
  std::string message_;
};

}  // namespace tessarin::core
