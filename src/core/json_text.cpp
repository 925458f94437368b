#include "core/json_text.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace tessarin::core {
namespace {

// For each byte: 0 when it is copied as is, otherwise the letter after the
// backslash ('u' for the \u00xx form).
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) {
    table[c] = 'u';
  }
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}

constexpr std::array<char, 256> kEscape = make_escape_table();

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Nonzero when any of the eight bytes of `x` needs an escape. Each test is
// exact about whether some byte matches (not about which one), which is all
// the scan needs.
inline std::uint64_t chunk_needs_escape(std::uint64_t x) noexcept {
  const std::uint64_t below_space = (x - kOnes * 0x20) & ~x;
  const std::uint64_t q = x ^ (kOnes * '"');
  const std::uint64_t quote = (q - kOnes) & ~q;
  const std::uint64_t b = x ^ (kOnes * '\\');
  const std::uint64_t backslash = (b - kOnes) & ~b;
  return (below_space | quote | backslash) & kHighBits;
}

void append_escape(std::string& out, unsigned char c, char letter) {
  if (letter != 'u') {
    const char pair[2] = {'\\', letter};
    out.append(pair, 2);
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  const char seq[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0x0f]};
  out.append(seq, 6);
}

}  // namespace

void append_json_string(std::string& out, std::string_view utf8) {
  out.push_back('"');
  const char* p = utf8.data();
  const char* const end = p + utf8.size();
  const char* run = p;  // start of the bytes not yet copied

  auto step = [&]() {
    const auto c = static_cast<unsigned char>(*p);
    const char letter = kEscape[c];
    if (letter != 0) {
      out.append(run, static_cast<std::size_t>(p - run));
      append_escape(out, c, letter);
      run = p + 1;
    }
    ++p;
  };

  while (end - p >= 8) {
    std::uint64_t chunk;
    std::memcpy(&chunk, p, 8);
    if (chunk_needs_escape(chunk) == 0) {
      p += 8;
      continue;
    }
    for (int i = 0; i < 8; ++i) {
      step();
    }
  }
  while (p != end) {
    step();
  }
  out.append(run, static_cast<std::size_t>(end - run));
  out.push_back('"');
}

void append_json_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null", 4);
    return;
  }
  if (value == 0.0) {
    if (std::signbit(value)) {
      out.append("-0.0", 4);
    } else {
      out.append("0.0", 3);
    }
    return;
  }

  // Shortest round-trip digits in the form d[.ddd]e±xx.
  char sci[32];
  const auto sci_end =
      std::to_chars(sci, sci + sizeof sci, std::fabs(value), std::chars_format::scientific).ptr;

  char digits[24];
  int k = 0;
  const char* p = sci;
  digits[k++] = *p++;
  if (*p == '.') {
    ++p;
    while (*p != 'e') {
      digits[k++] = *p++;
    }
  }
  ++p;  // 'e'
  const bool negative_exponent = *p == '-';
  ++p;  // sign
  int n = 0;
  for (; p != sci_end; ++p) {
    n = n * 10 + (*p - '0');
  }
  if (negative_exponent) {
    n = -n;
  }
  while (k > 1 && digits[k - 1] == '0') {
    --k;
  }

  char text[48];
  char* w = text;
  if (value < 0) {
    *w++ = '-';
  }
  if (n >= -5 && n <= 15) {
    if (n >= k - 1) {
      std::memcpy(w, digits, static_cast<std::size_t>(k));
      w += k;
      std::memset(w, '0', static_cast<std::size_t>(n - k + 1));
      w += n - k + 1;
      *w++ = '.';
      *w++ = '0';
    } else if (n >= 0) {
      std::memcpy(w, digits, static_cast<std::size_t>(n + 1));
      w += n + 1;
      *w++ = '.';
      std::memcpy(w, digits + n + 1, static_cast<std::size_t>(k - n - 1));
      w += k - n - 1;
    } else {
      *w++ = '0';
      *w++ = '.';
      std::memset(w, '0', static_cast<std::size_t>(-n - 1));
      w += -n - 1;
      std::memcpy(w, digits, static_cast<std::size_t>(k));
      w += k;
    }
  } else {
    *w++ = digits[0];
    if (k > 1) {
      *w++ = '.';
      std::memcpy(w, digits + 1, static_cast<std::size_t>(k - 1));
      w += k - 1;
    }
    *w++ = 'e';
    *w++ = n < 0 ? '-' : '+';
    w = std::to_chars(w, text + sizeof text, n < 0 ? -n : n).ptr;
  }
  out.append(text, static_cast<std::size_t>(w - text));
}

const char* read_canonical_double(std::string_view text, double& value, std::string& scratch) {
  const char* const end = text.data() + text.size();
  auto [stop, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || stop != end) return "invalid float";
  scratch.clear();
  append_json_double(scratch, value);
  return scratch == text ? nullptr : "non-canonical float";
}

void append_json_u64(std::string& out, std::uint64_t value) {
  char text[20];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  out.append(text, static_cast<std::size_t>(end - text));
}

void append_json_i64(std::string& out, std::int64_t value) {
  // std::to_chars writes "-" and the magnitude, INT64_MIN included.
  char text[20];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  out.append(text, static_cast<std::size_t>(end - text));
}

}  // namespace tessarin::core
