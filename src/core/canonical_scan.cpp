#include "core/canonical_scan.hpp"

#include "core/json_text.hpp"
#include "core/param_value.hpp"
#include "core/unicode.hpp"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace tessarin::core {

namespace {

// Bytes a string may hold as they are and that need no further look: printable
// ASCII other than the quote and the backslash.
constexpr std::array<bool, 256> kPlainByte = [] {
  std::array<bool, 256> table{};
  for (int c = 0x20; c < 0x80; ++c) table[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  return table;
}();

bool plain(char c) noexcept { return kPlainByte[static_cast<unsigned char>(c)]; }

// The byte an escape stands for, or -1 when the writer never writes it.
int escape_byte(const char* p, const char* end) noexcept {
  if (end - p < 2) return -1;
  switch (p[1]) {
    case '"':
      return '"';
    case '\\':
      return '\\';
    case 'b':
      return '\b';
    case 't':
      return '\t';
    case 'n':
      return '\n';
    case 'f':
      return '\f';
    case 'r':
      return '\r';
    case 'u': {
      if (end - p < 6 || p[2] != '0' || p[3] != '0') return -1;
      const int hi = hex_value(p[4]);
      const int lo = hex_value(p[5]);
      if (hi < 0 || lo < 0) return -1;
      const int code = hi * 16 + lo;
      // Only the control bytes without a short escape use this form.
      if (code >= 0x20 || code == '\b' || code == '\t' || code == '\n' || code == '\f' ||
          code == '\r')
        return -1;
      return code;
    }
    default:
      return -1;
  }
}

int escape_length(const char* p) noexcept { return p[1] == 'u' ? 6 : 2; }

// Decodes a string body already proven well-formed by the scanner.
void decode_into(std::string& out, const char* p, const char* end) {
  out.clear();
  while (p != end) {
    if (*p != '\\') {
      out.push_back(*p++);
      continue;
    }
    out.push_back(static_cast<char>(escape_byte(p, end)));
    p += escape_length(p);
  }
}

// Integer spelling limits: the largest magnitudes of the two integer kinds.
constexpr std::string_view kMaxUnsigned = "18446744073709551615";
constexpr std::string_view kMaxNegative = "9223372036854775808";

bool within(std::string_view digits, std::string_view limit) noexcept {
  if (digits.size() != limit.size()) return digits.size() < limit.size();
  return digits <= limit;
}

}  // namespace

bool is_valid_utf8(std::string_view text) noexcept {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p != end) {
    // Eight ASCII bytes at a time: names are nearly always plain ASCII.
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ull) != 0) break;
      p += 8;
    }
    if (p == end) break;
    if (static_cast<unsigned char>(*p) < 0x80) {
      ++p;
      continue;
    }
    std::size_t pos = static_cast<std::size_t>(p - text.data());
    if (unicode::decode_utf8(text, pos) == unicode::kInvalidCodePoint) return false;
    p = text.data() + pos;
  }
  return true;
}

bool CanonicalScanner::fail(std::string_view what) {
  error_ = "offset " + std::to_string(p_ - begin_) + ": ";
  error_ += what;
  return false;
}

bool CanonicalScanner::expect(std::string_view text) {
  if (static_cast<std::size_t>(end_ - p_) < text.size() ||
      std::memcmp(p_, text.data(), text.size()) != 0)
    return fail("expected " + std::string(text));
  p_ += text.size();
  return true;
}

bool CanonicalScanner::literal(std::string_view word) {
  if (static_cast<std::size_t>(end_ - p_) < word.size() ||
      std::memcmp(p_, word.data(), word.size()) != 0)
    return fail("invalid literal");
  p_ += word.size();
  return true;
}

bool CanonicalScanner::string(bool& escaped) {
  ++p_;  // '"'
  escaped = false;
  for (;;) {
    while (p_ != end_ && plain(*p_)) ++p_;
    if (p_ == end_) return fail("unterminated string");
    const auto c = static_cast<unsigned char>(*p_);
    if (c == '"') {
      ++p_;
      return true;
    }
    if (c == '\\') {
      if (escape_byte(p_, end_) < 0) return fail("invalid escape");
      p_ += escape_length(p_);
      escaped = true;
      continue;
    }
    if (c < 0x20) return fail("raw control character in string");
    const std::string_view all(begin_, static_cast<std::size_t>(end_ - begin_));
    std::size_t pos = static_cast<std::size_t>(p_ - begin_);
    if (unicode::decode_utf8(all, pos) == unicode::kInvalidCodePoint)
      return fail("invalid UTF-8 in string");
    p_ = begin_ + pos;
  }
}

bool CanonicalScanner::key() {
  if (p_ == end_ || *p_ != '"') return fail("expected a key");
  const char* start = p_;
  bool escaped = false;
  if (!string(escaped)) return false;
  Frame& frame = frames_[static_cast<std::size_t>(depth_ - 1)];
  std::string_view text(start + 1, static_cast<std::size_t>(p_ - start - 2));
  if (escaped) {
    decode_into(scratch_, text.data(), text.data() + text.size());
    text = scratch_;
  }
  if (frame.has_key) {
    const std::string_view previous = frame.key_decoded
                                          ? std::string_view(frame.decoded)
                                          : std::string_view(frame.key, frame.key_size);
    if (!(previous < text)) {
      p_ = start;
      return fail("keys out of order");
    }
  }
  frame.has_key = true;
  frame.key_decoded = escaped;
  if (escaped) {
    frame.decoded = scratch_;
  } else {
    frame.key = text.data();
    frame.key_size = text.size();
  }
  if (p_ == end_ || *p_ != ':') return fail("expected ':'");
  ++p_;
  return true;
}

bool CanonicalScanner::open(bool object, int max_depth) {
  if (depth_ >= max_depth) return fail("nesting too deep");
  if (frames_.size() <= static_cast<std::size_t>(depth_))
    frames_.resize(static_cast<std::size_t>(depth_) + 1);
  Frame& frame = frames_[static_cast<std::size_t>(depth_)];
  frame.object = object;
  frame.has_key = false;
  ++depth_;
  ++p_;
  return true;
}

// The same acceptance as the parser: the longest run of number characters,
// an integer when it holds none of ".e+-" after the digits, otherwise a
// float whose text the writer reproduces byte for byte.
bool CanonicalScanner::number() {
  const char* start = p_;
  const char* q = p_;
  const bool negative = *q == '-';
  if (negative) ++q;
  const char* digits = q;
  while (q != end_ && is_digit(*q)) ++q;
  if (q == digits) return fail("expected digits");
  const std::string_view integral(digits, static_cast<std::size_t>(q - digits));
  bool is_float = false;
  while (q != end_ && (is_digit(*q) || *q == '.' || *q == 'e' || *q == '+' || *q == '-')) {
    is_float = true;
    ++q;
  }
  if (!is_float) {
    if (integral.size() > 1 && integral[0] == '0') return fail("leading zero");
    if (negative) {
      // A negative integer is below zero: zero is always written unsigned.
      if (integral == "0" || !within(integral, kMaxNegative))
        return fail("invalid negative integer");
    } else if (!within(integral, kMaxUnsigned)) {
      return fail("invalid integer");
    }
    p_ = q;
    return true;
  }
  double v = 0;
  if (const char* why = read_canonical_double(
          std::string_view(start, static_cast<std::size_t>(q - start)), v, check_))
    return fail(why);
  p_ = q;
  return true;
}

// Scans until the frame stack is back to `base` open containers. With
// `want_value`, a value starts at the cursor; otherwise one has just ended.
bool CanonicalScanner::scan(int max_depth, int base) {
  bool want_value = true;
  for (;;) {
    if (want_value) {
      if (p_ == end_) return fail("unexpected end of input");
      switch (*p_) {
        case 'n':
          if (!literal("null")) return false;
          break;
        case 't':
          if (!literal("true")) return false;
          break;
        case 'f':
          if (!literal("false")) return false;
          break;
        case '"': {
          bool escaped = false;
          if (!string(escaped)) return false;
          break;
        }
        case '[':
          if (!open(false, max_depth)) return false;
          if (p_ != end_ && *p_ == ']') {
            ++p_;
            --depth_;
            break;
          }
          continue;
        case '{':
          if (!open(true, max_depth)) return false;
          if (p_ != end_ && *p_ == '}') {
            ++p_;
            --depth_;
            break;
          }
          if (!key()) return false;
          continue;
        default:
          if (*p_ != '-' && !is_digit(*p_)) return fail("unexpected character");
          if (!number()) return false;
          break;
      }
    }
    if (depth_ == base) return true;
    const Frame& frame = frames_[static_cast<std::size_t>(depth_ - 1)];
    if (p_ != end_ && *p_ == ',') {
      ++p_;
      if (frame.object && !key()) return false;
      want_value = true;
      continue;
    }
    if (p_ != end_ && *p_ == (frame.object ? '}' : ']')) {
      ++p_;
      --depth_;
      want_value = false;
      continue;
    }
    return fail(frame.object ? "expected ',' or '}'" : "expected ',' or ']'");
  }
}

bool CanonicalScanner::value(std::string_view json) {
  begin_ = p_ = json.data();
  end_ = begin_ + json.size();
  depth_ = 0;
  error_.clear();
  if (!scan(kMaxParamDepth, 0)) return false;
  return p_ == end_ || fail("trailing characters");
}

bool CanonicalScanner::config(std::string_view json) {
  begin_ = p_ = json.data();
  end_ = begin_ + json.size();
  depth_ = 0;
  error_.clear();
  bool escaped = false;
  if (!expect("{\"name\":")) return false;
  if (p_ == end_ || *p_ != '"') return fail("expected '\"'");
  if (!string(escaped) || !expect(",\"version\":")) return false;
  if (p_ == end_ || *p_ != '"') return fail("expected '\"'");
  if (!string(escaped) || !expect(",\"params\":")) return false;
  if (p_ == end_ || *p_ != '{') return fail("expected '{'");
  // The parameter map is a frame of its own that does not count towards the
  // nesting limit: each parameter is a top-level value.
  if (!open(true, kMaxParamDepth + 1)) return false;
  if (p_ != end_ && *p_ == '}') {
    ++p_;
    --depth_;
  } else if (!key() || !scan(kMaxParamDepth + 1, 0)) {
    return false;
  }
  if (!expect("}")) return false;
  return p_ == end_ || fail("trailing characters");
}

bool scan_canonical_config(std::string_view json, std::string* error) {
  CanonicalScanner scanner;
  const bool ok = scanner.config(json);
  if (!ok && error != nullptr) *error = scanner.error();
  return ok;
}

bool scan_canonical_value(std::string_view json, std::string* error) {
  CanonicalScanner scanner;
  const bool ok = scanner.value(json);
  if (!ok && error != nullptr) *error = scanner.error();
  return ok;
}

}  // namespace tessarin::core
