#pragma once

// The name rule and the version rule applied to a configuration's fields, and
// the quoted string list used by the reprs of the composite validator and the
// build pipeline.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessarin::core {

// One rule violation. Both views refer to string literals with static storage
// duration, so a violation can be kept and copied freely.
struct RuleViolation {
  std::string_view field;
  std::string_view message;

  friend bool operator==(const RuleViolation&, const RuleViolation&) = default;
};

// Name rule: non-empty, and every code point an ASCII letter or digit, '-',
// '_', or a letter or digit of any other script (Alphabetic, Nd, Nl, No).
// Expects UTF-8; a malformed sequence counts as a disallowed character.
// Yields field "name" with "Name cannot be empty" or "Name must contain only
// alphanumeric characters, dashes, and underscores".
std::optional<RuleViolation> check_name(std::string_view utf8) noexcept;

// Version rule: non-empty, at least three dot-separated pieces, and each of the
// first three an unsigned 32-bit decimal number with an optional leading '+'.
// Pieces after the third are never looked at. Yields field "version" with
// "Version cannot be empty" or "Version must match semantic versioning
// pattern (e.g., 1.2.3)".
std::optional<RuleViolation> check_version(std::string_view utf8) noexcept;

// Appends one item of a quoted string list: the UTF-8 text between double
// quotes, with \\, \", \t, \r, \n, \0, and \u{hex} for every other control,
// non-printable or grapheme-extending character. A malformed UTF-8 sequence
// is written as U+FFFD.
void append_quoted_string(std::string& out, std::string_view item);

// Appends "[" + the quoted items joined by ", " + "]"; "[]" when empty.
void append_quoted_string_list(std::string& out, std::span<const std::string> items);

std::string quoted_string_list(std::span<const std::string> items);

namespace detail {
// Index of the first byte at or after `from` that is not one of
// [0-9A-Za-z_-] (a non-ASCII byte or another ASCII byte), or s.size().
// The name rule's fast path; uses SSE2 when the target has it.
std::size_t skip_ascii_name_bytes(std::string_view s, std::size_t from) noexcept;
// The same with 64-bit integer arithmetic only, used on targets without SSE2;
// compiled everywhere so that it is tested everywhere.
std::size_t skip_ascii_name_bytes_portable(std::string_view s, std::size_t from) noexcept;
}  // namespace detail

}  // namespace tessarin::core
