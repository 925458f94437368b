// Coverage-guided fuzz target for the readers of untrusted bytes in the core.
//
// The first input byte picks the reader (modulo the number of readers), the
// rest is its input. Each reader must either reject the input or accept it
// and reproduce it exactly: the canonical JSON parser accepts precisely the
// writer's output, so anything it accepts must write back byte for byte.
// The pickle payload reader likewise accepts only what its writer produces,
// and the validating scanner must agree with the parser on every text.
// A crash, a sanitizer finding or a trap on a failed round trip is a fault.
//
// Built with clang (-fsanitize=fuzzer,address,undefined) by scripts/test.sh.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/canonical_json.hpp"
#include "core/canonical_scan.hpp"
#include "core/param_value.hpp"
#include "core/payload.hpp"

namespace {

using tessarin::core::ModelConfig;
using tessarin::core::ParamValue;

void require(bool condition) {
  if (!condition) __builtin_trap();
}

void read_config(std::string_view input) {
  ModelConfig config;
  std::string error;
  if (!tessarin::core::parse_canonical_config(input, config, &error)) {
    require(!error.empty());
    return;
  }
  require(tessarin::core::canonical_config_json(config) == input);
}

void read_value(std::string_view input) {
  ParamValue value;
  std::string error;
  if (!tessarin::core::parse_canonical_value(input, value, &error)) {
    require(!error.empty());
    return;
  }
  std::string written;
  tessarin::core::append_canonical_value(written, value);
  require(written == input);
}

void read_payload(std::string_view input) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(input.data());
  tessarin::core::payload::ReadResult result = tessarin::core::payload::read(bytes, input.size());
  if (!result.value) {
    require(!result.error.empty());
    return;
  }
  require(tessarin::core::payload::write(*result.value) == input);
}

// The scanner accepts exactly the parser's language restricted to valid
// UTF-8 (the parser copies string bytes without judging them).
void scan_config(std::string_view input) {
  tessarin::core::CanonicalScanner scanner;
  ModelConfig config;
  const bool parsed = tessarin::core::parse_canonical_config(input, config, nullptr);
  require(scanner.config(input) == (parsed && tessarin::core::is_valid_utf8(input)));
}

void scan_value(std::string_view input) {
  tessarin::core::CanonicalScanner scanner;
  ParamValue value;
  const bool parsed = tessarin::core::parse_canonical_value(input, value, nullptr);
  require(scanner.value(input) == (parsed && tessarin::core::is_valid_utf8(input)));
}

using Reader = void (*)(std::string_view);

// Selected by the first byte: 0 config, 1 value, 2 pickle payload, 3 and 4
// the scanner on a config or a value. Append new readers at the end so that
// the selector bytes of existing seeds keep meaning the same reader.
constexpr Reader kReaders[] = {
    read_config, read_value, read_payload, scan_config, scan_value,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  constexpr std::size_t count = sizeof(kReaders) / sizeof(kReaders[0]);
  kReaders[data[0] % count](std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  return 0;
}
