#include "core/text_rules.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/unicode.hpp"

namespace tessarin::core {

namespace {

constexpr std::string_view kNameField = "name";
constexpr std::string_view kVersionField = "version";
constexpr RuleViolation kNameEmpty{kNameField, "Name cannot be empty"};
constexpr RuleViolation kNameInvalid{
    kNameField, "Name must contain only alphanumeric characters, dashes, and underscores"};
constexpr RuleViolation kVersionEmpty{kVersionField, "Version cannot be empty"};
constexpr RuleViolation kVersionInvalid{
    kVersionField, "Version must match semantic versioning pattern (e.g., 1.2.3)"};

constexpr bool is_ascii_digit(unsigned char c) noexcept { return c >= '0' && c <= '9'; }

constexpr std::array<bool, 128> kAsciiNameChar = [] {
  std::array<bool, 128> table{};
  for (unsigned c = 0; c < 128; ++c) {
    table[c] = is_ascii_digit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'Z') ||
               (c >= 'a' && c <= 'z') || c == '-' || c == '_';
  }
  return table;
}();

// --- Name rule: block-at-a-time scan over ASCII ------------------------------
//
// Names are usually short, but nothing limits their length, and a caller may
// hand in megabytes. The scan classifies 16 bytes per step (SSE2 where the
// target has it, 64-bit integer arithmetic elsewhere); the UTF-8 decoder only
// runs from the first byte that is non-ASCII.

std::size_t skip_ascii_name_bytes_scalar(std::string_view s, std::size_t i) noexcept {
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80 || !kAsciiNameChar[c]) {
      break;
    }
    ++i;
  }
  return i;
}

using Word = std::uint64_t;
constexpr Word kOnes = 0x0101'0101'0101'0101;
constexpr Word kHigh = 0x8080'8080'8080'8080;

constexpr Word broadcast(unsigned char b) noexcept { return kOnes * b; }

// Every byte of w7 is below 0x80. Per byte, the high bit of the result is set
// when the byte is >= lo. Each byte sum stays <= 0xFF, so nothing carries into
// the neighbouring byte.
constexpr Word bytes_at_least(Word w7, unsigned char lo) noexcept {
  return w7 + broadcast(static_cast<unsigned char>(0x80 - lo));
}

// Every byte of w7 is below 0x80. Per byte, the high bit of the result is set
// when the byte equals c ((x ^ c) + 0x7F reaches 0x80 exactly when x != c).
constexpr Word bytes_equal(Word w7, unsigned char c) noexcept {
  return ~((w7 ^ broadcast(c)) + broadcast(0x7F));
}

// Per byte, the high bit of the result is set when the byte is non-ASCII or an
// ASCII byte outside [0-9A-Za-z_-]; every other bit is clear.
constexpr Word flag_non_name_bytes(Word w) noexcept {
  const Word w7 = w & ~kHigh;
  const Word folded = w7 | broadcast(0x20);  // 'A'..'Z' -> 'a'..'z'; only letters land in 'a'..'z'
  const Word digit = bytes_at_least(w7, '0') & ~bytes_at_least(w7, '9' + 1);
  const Word letter = bytes_at_least(folded, 'a') & ~bytes_at_least(folded, 'z' + 1);
  const Word allowed = digit | letter | bytes_equal(w7, '-') | bytes_equal(w7, '_');
  return (~allowed | w) & kHigh;
}

// Index in memory order of the first byte whose high bit is set in m (m != 0).
inline std::size_t first_flagged_byte(Word m) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(m)) / 8;
  } else {
    return static_cast<std::size_t>(std::countl_zero(m)) / 8;
  }
}

inline Word load_word(const char* p) noexcept {
  Word w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

#if defined(__SSE2__)

// Per byte, a set bit in the 16-bit mask for each byte that is non-ASCII or
// outside [0-9A-Za-z_-]. Bytes compare as signed, so every non-ASCII byte is
// negative and fails all the tests below.
inline unsigned flag_non_name_bytes_sse2(__m128i x) noexcept {
  const __m128i folded = _mm_or_si128(x, _mm_set1_epi8(0x20));
  const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8('0' - 1)),
                                      _mm_cmplt_epi8(x, _mm_set1_epi8('9' + 1)));
  const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                       _mm_cmplt_epi8(folded, _mm_set1_epi8('z' + 1)));
  const __m128i mark =
      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('-')), _mm_cmpeq_epi8(x, _mm_set1_epi8('_')));
  const __m128i allowed = _mm_or_si128(_mm_or_si128(digit, letter), mark);
  return static_cast<unsigned>(_mm_movemask_epi8(allowed)) ^ 0xFFFFu;
}

#endif

// --- Version rule --------------------------------------------------------------

// Significant digits (leading zeros already skipped) of a piece fit in 32 bits.
bool fits_u32(std::string_view digits) noexcept {
  constexpr std::string_view kMax = "4294967295";
  return digits.size() < kMax.size() || (digits.size() == kMax.size() && digits <= kMax);
}

// --- Quoted string list --------------------------------------------------------

// Bytes copied as they are: printable ASCII other than the quote and backslash.
constexpr bool is_plain_ascii(unsigned char c) noexcept {
  return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void append_unicode_escape(std::string& out, char32_t cp) {
  char hex[8];
  const auto result = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(cp), 16);
  out += "\\u{";
  out.append(hex, result.ptr);
  out += '}';
}

}  // namespace

namespace detail {

std::size_t skip_ascii_name_bytes_portable(std::string_view s, std::size_t i) noexcept {
  const char* const p = s.data();
  const std::size_t n = s.size();
  while (n - i >= 16) {
    const Word a = flag_non_name_bytes(load_word(p + i));
    const Word b = flag_non_name_bytes(load_word(p + i + 8));
    if ((a | b) != 0) {
      return i + (a != 0 ? first_flagged_byte(a) : 8 + first_flagged_byte(b));
    }
    i += 16;
  }
  return skip_ascii_name_bytes_scalar(s, i);
}

std::size_t skip_ascii_name_bytes(std::string_view s, std::size_t i) noexcept {
#if defined(__SSE2__)
  const char* const p = s.data();
  const std::size_t n = s.size();
  while (n - i >= 32) {
    const unsigned a =
        flag_non_name_bytes_sse2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
    const unsigned b =
        flag_non_name_bytes_sse2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16)));
    if ((a | b) != 0) {
      return i + static_cast<std::size_t>(std::countr_zero(a | (b << 16)));
    }
    i += 32;
  }
  if (n - i >= 16) {
    const unsigned a =
        flag_non_name_bytes_sse2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
    if (a != 0) {
      return i + static_cast<std::size_t>(std::countr_zero(a));
    }
    i += 16;
  }
  return skip_ascii_name_bytes_scalar(s, i);
#else
  return skip_ascii_name_bytes_portable(s, i);
#endif
}

}  // namespace detail

std::optional<RuleViolation> check_name(std::string_view utf8) noexcept {
  if (utf8.empty()) {
    return kNameEmpty;
  }
  const std::size_t n = utf8.size();
  std::size_t i = 0;
  for (;;) {
    i = detail::skip_ascii_name_bytes(utf8, i);
    if (i == n) {
      return std::nullopt;
    }
    if (static_cast<unsigned char>(utf8[i]) < 0x80) {
      return kNameInvalid;
    }
    // Decode the whole run of non-ASCII characters, where the block scan
    // would only stop again at once.
    do {
      if (!unicode::is_name_char_above_ascii(unicode::decode_utf8(utf8, i))) {
        return kNameInvalid;
      }
    } while (i < n && static_cast<unsigned char>(utf8[i]) >= 0x80);
  }
}

std::optional<RuleViolation> check_version(std::string_view utf8) noexcept {
  if (utf8.empty()) {
    return kVersionEmpty;
  }
  const std::size_t n = utf8.size();
  std::size_t i = 0;
  for (int piece = 0; piece < 3; ++piece) {
    if (i < n && utf8[i] == '+') {
      ++i;
    }
    const std::size_t digits_begin = i;
    while (i < n && utf8[i] == '0') {
      ++i;
    }
    const std::size_t significant_begin = i;
    while (i < n && is_ascii_digit(static_cast<unsigned char>(utf8[i]))) {
      ++i;
    }
    if (i == digits_begin || !fits_u32(utf8.substr(significant_begin, i - significant_begin))) {
      return kVersionInvalid;
    }
    // The piece must end at a dot; only the third may also end the text.
    // Whatever follows the third piece's dot is not examined.
    if (i == n) {
      if (piece < 2) {
        return kVersionInvalid;
      }
    } else if (utf8[i] != '.') {
      return kVersionInvalid;
    }
    ++i;
  }
  return std::nullopt;
}

void append_quoted_string(std::string& out, std::string_view item) {
  out.push_back('"');
  std::size_t i = 0;
  const std::size_t n = item.size();
  while (i < n) {
    std::size_t run = i;
    while (run < n && is_plain_ascii(static_cast<unsigned char>(item[run]))) {
      ++run;
    }
    out.append(item.data() + i, run - i);
    i = run;
    if (i == n) {
      break;
    }
    const std::size_t start = i;
    const char32_t cp = unicode::decode_utf8(item, i);
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\0':
        out += "\\0";
        break;
      case unicode::kInvalidCodePoint:
        append_utf8(out, 0xFFFD);
        break;
      default:
        if (unicode::needs_escape(cp)) {
          append_unicode_escape(out, cp);
        } else {
          out.append(item.data() + start, i - start);
        }
    }
  }
  out.push_back('"');
}

void append_quoted_string_list(std::string& out, std::span<const std::string> items) {
  out.push_back('[');
  for (std::size_t k = 0; k < items.size(); ++k) {
    if (k != 0) {
      out += ", ";
    }
    append_quoted_string(out, items[k]);
  }
  out.push_back(']');
}

std::string quoted_string_list(std::span<const std::string> items) {
  std::string out;
  append_quoted_string_list(out, items);
  return out;
}

}  // namespace tessarin::core
