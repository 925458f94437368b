// Validation of canonical JSON without building values.
//
// Loading a graph from bytes must prove that every node's configuration text
// is one the writer (canonical_json.hpp) could have produced, but it has no
// use for the values themselves: the graph keeps the text. The scanner checks
// exactly what parse_canonical_config / parse_canonical_value check (grammar,
// escapes, key order, integer ranges, float spelling, nesting depth) and in
// addition that every string is well-formed UTF-8 (no overlong forms, no
// surrogates): every string the writer ever sees came from a Python str, so
// any other byte sequence is a forgery that would break later reads.
//
// It never recurses (an explicit frame stack bounded by kMaxParamDepth) and
// never reads outside the given view.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin::core {

// Reusable: its buffers survive between calls, so scanning many texts in a
// row (every node of a graph) allocates nothing once warmed up.
class CanonicalScanner {
 public:
  // {"name":"...","version":"...","params":{...}} and nothing else.
  bool config(std::string_view json);
  // One canonical value (a metadata value, a parameter value).
  bool value(std::string_view json);

  // Where and why the last failed scan stopped ("offset 12: keys out of order").
  const std::string& error() const noexcept { return error_; }

 private:
  struct Frame {
    bool object = false;
    bool has_key = false;
    // The previous key of an object: a view into the input (no escapes) or
    // the decoded bytes held in `decoded`.
    bool key_decoded = false;
    const char* key = nullptr;
    std::size_t key_size = 0;
    std::string decoded;
  };

  bool scan(int max_depth, int base);
  bool open(bool object, int max_depth);
  bool key();
  bool string(bool& escaped);
  bool number();
  bool literal(std::string_view word);
  bool expect(std::string_view text);
  bool fail(std::string_view what);

  const char* begin_ = nullptr;
  const char* p_ = nullptr;
  const char* end_ = nullptr;
  int depth_ = 0;
  std::vector<Frame> frames_;
  std::string scratch_;
  std::string check_;
  std::string error_;
};

// One-shot forms of the scanner; `error` receives the reason on failure.
bool scan_canonical_config(std::string_view json, std::string* error = nullptr);
bool scan_canonical_value(std::string_view json, std::string* error = nullptr);

// Strict UTF-8 (what a Python str encodes to): no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequence.
bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace tessarin::core
