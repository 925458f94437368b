// Canonical JSON text pieces behind the stable graph hash.
//
// The output feeds a fingerprint that must be identical in every process and
// on every platform, so every writer here produces exactly one text per value:
// no locale, no choice of escapes, one float layout.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessarin::core {

// Appends `utf8` as a double-quoted JSON string. Only '"', '\\' and the bytes
// below 0x20 are escaped (\b \t \n \f \r, otherwise \u00xx in lowercase hex);
// every other byte, including 0x7F and all bytes of multi-byte UTF-8
// sequences, is copied unchanged.
void append_json_string(std::string& out, std::string_view utf8);

// Appends a double from its shortest round-trip digits: positional notation
// with at least one fractional digit when the decimal exponent of the first
// digit lies in [-5, 15] (1.0, 0.00001, 1000000000000000.0), scientific
// notation otherwise (1e+16, 1.5e-7). 0.0 and -0.0 keep their sign;
// infinities and NaN are written as null.
void append_json_double(std::string& out, double value);

// Reads `text` as a float in the layout append_json_double writes, and only
// that: the writer must give back these very bytes, which rejects every other
// spelling of the same number and any non-finite value. Returns nullptr and
// sets `value`, or the reason ("invalid float", "non-canonical float").
// `scratch` is working space, kept by the caller to spare an allocation.
const char* read_canonical_double(std::string_view text, double& value, std::string& scratch);

void append_json_u64(std::string& out, std::uint64_t value);

// Digits as the readers of canonical text take them: decimal, and hexadecimal
// in lowercase only (the writer never produces uppercase); -1 for others.
constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr int hex_value(char c) noexcept {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
void append_json_i64(std::string& out, std::int64_t value);

}  // namespace tessarin::core
