#include "core/canonical_json.hpp"

#include "core/json_text.hpp"

#include <charconv>
#include <cstring>
#include <span>
#include <vector>

namespace tessarin::core {

// ------------------------------------------------------------------- writer

void append_canonical_value(std::string& out, const ParamValue& value) {
  switch (value.kind()) {
    case ParamKind::Null:
      out.append("null", 4);
      return;
    case ParamKind::Bool:
      if (value.as_bool()) {
        out.append("true", 4);
      } else {
        out.append("false", 5);
      }
      return;
    case ParamKind::UInt:
      append_json_u64(out, value.as_u64());
      return;
    case ParamKind::Int:
      append_json_i64(out, value.as_i64());
      return;
    case ParamKind::Float:
      append_json_double(out, value.as_double());
      return;
    case ParamKind::String:
      append_json_string(out, value.as_string());
      return;
    case ParamKind::Array: {
      out.push_back('[');
      bool first = true;
      for (const ParamValue& item : value.as_array()) {
        if (!first) out.push_back(',');
        first = false;
        append_canonical_value(out, item);
      }
      out.push_back(']');
      return;
    }
    case ParamKind::Object:
      append_canonical_object(out, value.as_object());
      return;
  }
}

void append_canonical_object(std::string& out, ParamMapView entries) {
  out.push_back('{');
  bool first = true;
  for (const ParamEntry& entry : entries) {
    if (!first) out.push_back(',');
    first = false;
    append_json_string(out, entry.key.view());
    out.push_back(':');
    append_canonical_value(out, entry.value);
  }
  out.push_back('}');
}

void append_canonical_config(std::string& out, const ModelConfig& config) {
  out.append("{\"name\":", 8);
  append_json_string(out, config.name);
  out.append(",\"version\":", 11);
  append_json_string(out, config.version);
  out.append(",\"params\":", 10);
  append_canonical_object(out, config.params.view());
  out.push_back('}');
}

std::string canonical_config_json(const ModelConfig& config) {
  std::string out;
  append_canonical_config(out, config);
  return out;
}

// ------------------------------------------------------------------- parser

namespace {

// Recursive descent over the canonical grammar. Containers are built the way
// the Python conversion builds them: children are pushed on one shared stack
// and moved into a single allocation when the container closes.
class Parser {
 public:
  explicit Parser(std::string_view text) noexcept
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  bool value(ParamValue& out, int depth) {
    if (p_ == end_) return fail("unexpected end of input");
    switch (*p_) {
      case 'n':
        if (!literal("null")) return false;
        out = ParamValue();
        return true;
      case 't':
        if (!literal("true")) return false;
        out = ParamValue::boolean(true);
        return true;
      case 'f':
        if (!literal("false")) return false;
        out = ParamValue::boolean(false);
        return true;
      case '"': {
        std::string_view text;
        if (!string(text)) return false;
        out = ParamValue::string(text);
        return true;
      }
      case '[':
        return array(out, depth);
      case '{': {
        if (!enter(depth)) return false;
        const std::size_t base = entries_.size();
        if (!object_entries(depth)) return false;
        out = ParamValue::object_from_sorted(
            std::span<ParamEntry>(entries_.data() + base, entries_.size() - base));
        entries_.resize(base);
        return true;
      }
      default:
        if (*p_ == '-' || is_digit(*p_)) return number(out);
        return fail("unexpected character");
    }
  }

  // The entries of an object at nesting `depth` (the '{' is at the cursor),
  // pushed on the entry stack in order. Keys must be strictly ascending, as
  // the writer emits them.
  bool object_entries(int depth) {
    const std::size_t base = entries_.size();
    ++p_;  // '{'
    if (p_ != end_ && *p_ == '}') {
      ++p_;
      return true;
    }
    for (;;) {
      std::string_view key_text;
      if (p_ == end_ || *p_ != '"') return truncate(base, "expected a key");
      const char* key_at = p_;
      if (!string(key_text)) return truncate(base);
      if (entries_.size() > base && !(entries_.back().key.view() < key_text)) {
        p_ = key_at;
        return truncate(base, "keys out of order");
      }
      ParamEntry entry{ParamKey(key_text), ParamValue()};
      if (!expect(':') || !value(entry.value, depth + 1)) return truncate(base);
      entries_.push_back(std::move(entry));
      if (p_ != end_ && *p_ == ',') {
        ++p_;
        continue;
      }
      if (p_ != end_ && *p_ == '}') {
        ++p_;
        return true;
      }
      return truncate(base, "expected ',' or '}'");
    }
  }

  // Moves the entries pushed since `base` out of the stack.
  std::vector<ParamEntry> take_entries(std::size_t base) {
    std::vector<ParamEntry> taken(
        std::make_move_iterator(entries_.begin() + static_cast<std::ptrdiff_t>(base)),
        std::make_move_iterator(entries_.end()));
    entries_.resize(base);
    return taken;
  }

  std::size_t entry_count() const noexcept { return entries_.size(); }

  bool expect_text(std::string_view text) {
    if (static_cast<std::size_t>(end_ - p_) < text.size() ||
        std::memcmp(p_, text.data(), text.size()) != 0)
      return fail("expected " + std::string(text));
    p_ += text.size();
    return true;
  }

  bool string_into(std::string& out) {
    std::string_view text;
    if (!string(text)) return false;
    out.assign(text);
    return true;
  }

  bool at_end() const noexcept { return p_ == end_; }
  bool peek(char c) const noexcept { return p_ != end_ && *p_ == c; }

  bool fail(std::string_view what) {
    if (error_.empty()) {
      error_ = "offset " + std::to_string(p_ - begin_) + ": ";
      error_ += what;
    }
    return false;
  }
  const std::string& error() const noexcept { return error_; }

 private:
  bool truncate(std::size_t base, std::string_view what = {}) {
    entries_.resize(base);
    return what.empty() ? false : fail(what);
  }

  bool enter(int depth) {
    if (depth >= kMaxParamDepth) return fail("nesting too deep");
    return true;
  }

  bool expect(char c) {
    if (p_ == end_ || *p_ != c) return fail(std::string("expected '") + c + "'");
    ++p_;
    return true;
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::memcmp(p_, word.data(), word.size()) != 0)
      return fail("invalid literal");
    p_ += word.size();
    return true;
  }

  bool array(ParamValue& out, int depth) {
    if (!enter(depth)) return false;
    const std::size_t base = items_.size();
    ++p_;  // '['
    if (p_ != end_ && *p_ == ']') {
      ++p_;
      out = ParamValue::array(std::span<ParamValue>());
      return true;
    }
    for (;;) {
      // A local first: nested arrays grow (and may move) the item stack.
      ParamValue item;
      if (!value(item, depth + 1)) {
        items_.resize(base);
        return false;
      }
      items_.push_back(std::move(item));
      if (p_ != end_ && *p_ == ',') {
        ++p_;
        continue;
      }
      if (p_ != end_ && *p_ == ']') {
        ++p_;
        break;
      }
      items_.resize(base);
      return fail("expected ',' or ']'");
    }
    out = ParamValue::array(std::span<ParamValue>(items_.data() + base, items_.size() - base));
    items_.resize(base);
    return true;
  }

  // A string at the cursor. The result views the input when the string has
  // no escapes, else the scratch buffer (valid until the next string).
  bool string(std::string_view& out) {
    ++p_;  // '"'
    const char* run = p_;
    bool escaped = false;
    for (;;) {
      if (p_ == end_) return fail("unterminated string");
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') break;
      if (c < 0x20) return fail("raw control character in string");
      if (c != '\\') {
        ++p_;
        continue;
      }
      if (!escaped) {
        scratch_.clear();
        escaped = true;
      }
      scratch_.append(run, static_cast<std::size_t>(p_ - run));
      if (!escape()) return false;
      run = p_;
    }
    if (escaped) {
      scratch_.append(run, static_cast<std::size_t>(p_ - run));
      out = scratch_;
    } else {
      out = std::string_view(run, static_cast<std::size_t>(p_ - run));
    }
    ++p_;  // closing '"'
    return true;
  }

  // One escape at the cursor, appended to the scratch buffer. Only the
  // escapes the writer uses are accepted, each for the one byte it stands for.
  bool escape() {
    if (end_ - p_ < 2) return fail("unterminated escape");
    char letter = p_[1];
    char byte = 0;
    switch (letter) {
      case '"':
        byte = '"';
        break;
      case '\\':
        byte = '\\';
        break;
      case 'b':
        byte = '\b';
        break;
      case 't':
        byte = '\t';
        break;
      case 'n':
        byte = '\n';
        break;
      case 'f':
        byte = '\f';
        break;
      case 'r':
        byte = '\r';
        break;
      case 'u': {
        if (end_ - p_ < 6 || p_[2] != '0' || p_[3] != '0') return fail("invalid \\u escape");
        const int hi = hex_value(p_[4]);
        const int lo = hex_value(p_[5]);
        if (hi < 0 || lo < 0) return fail("invalid \\u escape");
        const int code = hi * 16 + lo;
        if (code >= 0x20 || code == '\b' || code == '\t' || code == '\n' || code == '\f' ||
            code == '\r')
          return fail("non-canonical \\u escape");
        scratch_.push_back(static_cast<char>(code));
        p_ += 6;
        return true;
      }
      default:
        return fail("invalid escape");
    }
    scratch_.push_back(byte);
    p_ += 2;
    return true;
  }

  bool number(ParamValue& out) {
    const char* start = p_;
    const char* q = p_;
    const bool negative = *q == '-';
    if (negative) ++q;
    const char* digits = q;
    while (q != end_ && is_digit(*q)) ++q;
    if (q == digits) return fail("expected digits");
    bool is_float = false;
    while (q != end_ && (is_digit(*q) || *q == '.' || *q == 'e' || *q == '+' || *q == '-')) {
      is_float = true;
      ++q;
    }
    if (!is_float) {
      // Integers: no leading zeros, and a negative one is below zero (the
      // writer keeps every non-negative integer unsigned).
      if (*digits == '0' && q - digits > 1) return fail("leading zero");
      if (negative) {
        std::int64_t v = 0;
        auto [end, ec] = std::from_chars(start, q, v);
        if (ec != std::errc() || end != q || v >= 0) return fail("invalid negative integer");
        out = ParamValue::integer(v);
      } else {
        std::uint64_t v = 0;
        auto [end, ec] = std::from_chars(start, q, v);
        if (ec != std::errc() || end != q) return fail("invalid integer");
        out = ParamValue::uinteger(v);
      }
      p_ = q;
      return true;
    }
    double v = 0;
    if (const char* why = read_canonical_double(
            std::string_view(start, static_cast<std::size_t>(q - start)), v, check_))
      return fail(why);
    out = ParamValue::real(v);
    p_ = q;
    return true;
  }

  const char* begin_;
  const char* p_;
  const char* end_;
  std::vector<ParamValue> items_;
  std::vector<ParamEntry> entries_;
  std::string scratch_;
  std::string check_;
  std::string error_;
};

bool finish(Parser& parser, std::string* error) {
  if (!parser.at_end()) parser.fail("trailing characters");
  if (error != nullptr) *error = parser.error();
  return parser.error().empty();
}

}  // namespace

bool parse_canonical_value(std::string_view json, ParamValue& out, std::string* error) {
  Parser parser(json);
  if (!parser.value(out, 0)) {
    if (error != nullptr) *error = parser.error();
    return false;
  }
  return finish(parser, error);
}

bool parse_canonical_config(std::string_view json, ModelConfig& out, std::string* error) {
  Parser parser(json);
  bool ok = parser.expect_text("{\"name\":") && parser.peek('"') && parser.string_into(out.name) &&
            parser.expect_text(",\"version\":") && parser.peek('"') &&
            parser.string_into(out.version) && parser.expect_text(",\"params\":") &&
            (parser.peek('{') || parser.fail("expected '{'"));
  if (ok) {
    const std::size_t base = parser.entry_count();
    // The parameter map is not itself a value: each parameter is a top-level
    // value (depth 0), as when it was converted from Python.
    ok = parser.object_entries(-1);
    // Already sorted and unique: from_unsorted only verifies that.
    if (ok) out.params = ParamMap::from_unsorted(parser.take_entries(base));
  }
  ok = ok && parser.expect_text("}");
  if (!ok) {
    if (parser.error().empty()) parser.fail("expected '\"'");
    if (error != nullptr) *error = parser.error();
    return false;
  }
  return finish(parser, error);
}

}  // namespace tessarin::core
