#include "core/json_text.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <unistd.h>

#include <bit>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using tessarin::core::append_json_double;
using tessarin::core::append_json_i64;
using tessarin::core::append_json_string;
using tessarin::core::append_json_u64;
using tessarin::core::read_canonical_double;

std::string json_string(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

std::string json_double(double value) {
  std::string out;
  append_json_double(out, value);
  return out;
}

// ---------------------------------------------------------------- strings

// Escapes of the bytes below 0x20, written out one by one.
const char* const kControlEscapes[32] = {
    "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
    "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
    "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
    "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
};

std::string expected_escape(unsigned char c) {
  if (c < 0x20) {
    return kControlEscapes[c];
  }
  if (c == '"') {
    return "\\\"";
  }
  if (c == '\\') {
    return "\\\\";
  }
  return std::string(1, static_cast<char>(c));
}

std::string reference_json_string(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    out += expected_escape(static_cast<unsigned char>(c));
  }
  return out + "\"";
}

TEST(JsonString, EveryAsciiCodePoint) {
  for (int c = 0; c < 0x80; ++c) {
    SCOPED_TRACE(c);
    const std::string one(1, static_cast<char>(c));
    const std::string escaped = expected_escape(static_cast<unsigned char>(c));
    std::string expected = "\"";
    expected.append(escaped).append("\"");
    EXPECT_EQ(json_string(one), expected);
    // Inside a longer text, so the byte is found by the word-at-a-time scan.
    std::string inside = "abc";
    inside.append(one).append("defghijklmnop");
    expected = "\"abc";
    expected.append(escaped).append("defghijklmnop\"");
    EXPECT_EQ(json_string(inside), expected);
  }
}

TEST(JsonString, FixedCases) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "\"\""},
      {"encoder", "\"encoder\""},
      {"a/b", "\"a/b\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"C:\\dir", "\"C:\\\\dir\""},
      {"line\nnext", "\"line\\nnext\""},
      {std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\x7f\""},
      {std::string("nul\0byte", 8), "\"nul\\u0000byte\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},                            // e with acute accent
      {"\xe6\x97\xa5\xe6\x9c\xac", "\"\xe6\x97\xa5\xe6\x9c\xac\""},  // CJK
      {"\xf0\x9f\x98\x80 smile", "\"\xf0\x9f\x98\x80 smile\""},      // outside the BMP
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(json_string(input), expected);
  }
}

// High bytes whose low seven bits look like '"', '\\' or a control byte must
// not be taken for them by the word-at-a-time scan.
TEST(JsonString, HighBytesAreCopiedRaw) {
  std::string all;
  for (int c = 0x80; c <= 0xff; ++c) {
    all.push_back(static_cast<char>(c));
  }
  EXPECT_EQ(json_string(all), "\"" + all + "\"");
  const std::string lookalikes = "\xa2\xdc\x80\x9f\x8a\xa2\xdc\x80\x9f\x8a\xa2\xdc\x80";
  EXPECT_EQ(json_string(lookalikes), "\"" + lookalikes + "\"");
}

// A byte needing an escape at every position of texts of various lengths,
// so it lands at every offset of every scanned word and in the tail.
TEST(JsonString, EscapeAtEveryPosition) {
  for (std::size_t length = 1; length <= 40; ++length) {
    for (std::size_t pos = 0; pos < length; ++pos) {
      for (char special : {'"', '\\', '\n', '\x01', '\x1f'}) {
        std::string text(length, 'x');
        text[pos] = special;
        ASSERT_EQ(json_string(text), reference_json_string(text))
            << "length " << length << " pos " << pos << " byte " << int(special);
      }
    }
  }
}

TEST(JsonString, RandomBytesMatchReference) {
  std::mt19937_64 rng(2024);
  const std::string specials = std::string("\"\\\b\t\n\f\r\x00\x01\x1f\x7f\x80\xa2\xdc\xff", 15);
  for (int round = 0; round < 3000; ++round) {
    std::string text(rng() % 80, '\0');
    const int density = static_cast<int>(rng() % 4);  // 0: no specials at all
    for (auto& c : text) {
      if (density != 0 && rng() % (density * 8) == 0) {
        c = specials[rng() % specials.size()];
      } else {
        c = static_cast<char>(rng() % 2 == 0 ? 'a' + rng() % 26 : 0x20 + rng() % 0xe0);
      }
    }
    ASSERT_EQ(json_string(text), reference_json_string(text));
  }
}

TEST(JsonText, AppendsToExistingContent) {
  std::string out = "{\"k\":";
  append_json_string(out, "v");
  out += ',';
  append_json_double(out, 2.5);
  out += ',';
  append_json_u64(out, 7);
  out += ',';
  append_json_i64(out, -7);
  EXPECT_EQ(out, "{\"k\":\"v\",2.5,7,-7");
}

// ---------------------------------------------------------------- integers

TEST(JsonInteger, Boundaries) {
  const std::pair<std::uint64_t, const char*> unsigned_cases[] = {
      {0, "0"},
      {1, "1"},
      {9, "9"},
      {10, "10"},
      {1000000, "1000000"},
      {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
  };
  for (const auto& [value, text] : unsigned_cases) {
    std::string out;
    append_json_u64(out, value);
    EXPECT_EQ(out, text);
  }
  const std::pair<std::int64_t, const char*> signed_cases[] = {
      {0, "0"},
      {-1, "-1"},
      {-10, "-10"},
      {42, "42"},
      {std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
  };
  for (const auto& [value, text] : signed_cases) {
    std::string out;
    append_json_i64(out, value);
    EXPECT_EQ(out, text);
  }
}

TEST(JsonInteger, RandomMatchPrintf) {
  std::mt19937_64 rng(5);
  char expected[32];
  for (int i = 0; i < 20000; ++i) {
    // Spread over all digit counts, not just 19- and 20-digit values.
    const std::uint64_t value = rng() >> (rng() % 64);
    std::string out;
    append_json_u64(out, value);
    std::snprintf(expected, sizeof expected, "%" PRIu64, value);
    ASSERT_EQ(out, expected);

    const auto signed_value = static_cast<std::int64_t>(rng() % 2 == 0 ? value : ~value);
    out.clear();
    append_json_i64(out, signed_value);
    std::snprintf(expected, sizeof expected, "%" PRId64, signed_value);
    ASSERT_EQ(out, expected);
  }
}

// ---------------------------------------------------------------- floats

TEST(JsonDouble, Layout) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {-1.0, "-1.0"},
      {1.5, "1.5"},
      {100.0, "100.0"},
      {123456.0, "123456.0"},
      {12.34, "12.34"},
      {0.1, "0.1"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1 / 3.0, "0.3333333333333333"},
      {0.001234, "0.001234"},
      {0.000123, "0.000123"},
      {0.00001, "0.00001"},
      {-2.5e-5, "-0.000025"},
      {1.2345678e-5, "0.000012345678"},
      {1e-6, "1e-6"},
      {2.5e-6, "2.5e-6"},
      {-1.5e-7, "-1.5e-7"},
      {1e15, "1000000000000000.0"},
      {1.234e15, "1234000000000000.0"},
      {1234567890123456.7, "1234567890123456.8"},
      {9007199254740993.0, "9007199254740992.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e+16"},
      {1.2345e16, "1.2345e+16"},
      {123456789012345680.0, "1.2345678901234568e+17"},
      {1e21, "1e+21"},
      {1e22, "1e+22"},
      {1e100, "1e+100"},
      {5e-324, "5e-324"},
      {2.2250738585072014e-308, "2.2250738585072014e-308"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {-1.7976931348623157e308, "-1.7976931348623157e+308"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
      {-std::numeric_limits<double>::quiet_NaN(), "null"},
  };
  for (const auto& [value, text] : cases) {
    EXPECT_EQ(json_double(value), text) << "value " << value;
  }
}

struct Shortest {
  std::string digits;  // significant digits, no trailing zeros
  int exponent;        // decimal exponent of the first digit
};

// Fewest significant digits whose correctly rounded value (printf rounds
// exactly in glibc) reads back as `magnitude`: this is the shortest digit
// string nearest to the double, found without std::to_chars.
Shortest reference_shortest(double magnitude) {
  char text[64];
  for (int precision = 0; precision < 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*e", precision, magnitude);
    if (std::strtod(text, nullptr) == magnitude) {
      break;
    }
  }
  Shortest result;
  const char* p = text;
  for (; *p != 'e'; ++p) {
    if (*p != '.') {
      result.digits += *p;
    }
  }
  result.exponent = std::atoi(p + 1);
  while (result.digits.size() > 1 && result.digits.back() == '0') {
    result.digits.pop_back();
  }
  return result;
}

// The expected text, laid out with printf's own fixed and exponent formats.
std::string reference_json_double(double value) {
  const Shortest s = reference_shortest(std::fabs(value));
  const int k = static_cast<int>(s.digits.size());
  const int n = s.exponent;
  char text[400];
  if (n >= -5 && n <= 15) {
    const int fraction_digits = std::max(1, k - 1 - n);
    std::snprintf(text, sizeof text, "%.*f", fraction_digits, value);
    return text;
  }
  std::snprintf(text, sizeof text, "%.*e", k - 1, value);
  // printf pads the exponent to two digits; the canonical form does not.
  std::string out = text;
  const auto e = out.find('e');
  std::size_t first = e + 2;
  while (first + 1 < out.size() && out[first] == '0') {
    ++first;
  }
  return out.substr(0, e + 2) + out.substr(first);
}

std::string significant_digits(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c == 'e') {
      break;
    }
    if (c >= '0' && c <= '9') {
      digits += c;
    }
  }
  const auto first = digits.find_first_not_of('0');
  digits = digits.substr(first);
  while (digits.size() > 1 && digits.back() == '0') {
    digits.pop_back();
  }
  return digits;
}

bool is_power_of_two_significand(double value) {
  return (std::bit_cast<std::uint64_t>(value) & ((std::uint64_t{1} << 52) - 1)) == 0;
}

void check_double(double value) {
  SCOPED_TRACE(testing::Message() << "bits 0x" << std::hex << std::bit_cast<std::uint64_t>(value));
  const std::string ours = json_double(value);
  if (!std::isfinite(value)) {
    ASSERT_EQ(ours, "null");
    return;
  }
  // Reads back to the very same double.
  const double back = std::strtod(ours.c_str(), nullptr);
  ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value)) << ours;

  // Same significant digits as the shortest form of std::to_chars.
  char shortest[64];
  const auto end =
      std::to_chars(shortest, shortest + sizeof shortest, value, std::chars_format::scientific).ptr;
  ASSERT_EQ(significant_digits(ours), significant_digits(std::string(shortest, end))) << ours;

  // The whole text against the printf-based reference. At an exact power of
  // two the rounding interval is lopsided, and the nearest digits of some
  // length can miss it while a farther string of that length hits it; the
  // reference search then settles for one digit more.
  const std::string expected = reference_json_double(value);
  if (ours != expected) {
    ASSERT_TRUE(is_power_of_two_significand(value)) << ours << " vs " << expected;
    ASSERT_LT(significant_digits(ours).size(), significant_digits(expected).size())
        << ours << " vs " << expected;
  }
}

TEST(JsonDouble, LayoutTableMatchesReference) {
  // The hand-written table above is itself consistent with the reference.
  for (double value : {1.0, 100.0, 1e15, 1e16, 9999999999999998.0, 0.00001, 1e-6, 0.000123, 5e-324,
                       1.7976931348623157e308, -1.5e-7, 123456789012345680.0, 0.1, 1 / 3.0}) {
    check_double(value);
  }
}

TEST(JsonDouble, RandomBitPatterns) {
  std::mt19937_64 rng(31337);
  for (int i = 0; i < 40000; ++i) {
    check_double(std::bit_cast<double>(rng()));
    if (HasFatalFailure()) {
      return;
    }
  }
}

// Values around the switch between positional and scientific layout,
// where random bit patterns rarely land.
TEST(JsonDouble, RandomAroundLayoutSwitch) {
  std::mt19937_64 rng(777);
  std::uniform_real_distribution<double> mantissa(1.0, 10.0);
  for (int i = 0; i < 30000; ++i) {
    const int exponent = static_cast<int>(rng() % 26) - 8;  // 1e-8 .. 1e17
    double value = mantissa(rng) * std::pow(10.0, exponent);
    if (rng() % 2 == 0) {
      value = -value;
    }
    check_double(value);
    if (HasFatalFailure()) {
      return;
    }
  }
}

// Values with few significant digits: integral values, trailing zeros of the
// positional form, and the exact boundary exponents -5/-6 and 15/16.
TEST(JsonDouble, RandomShortDecimals) {
  std::mt19937_64 rng(99);
  char text[64];
  for (int i = 0; i < 30000; ++i) {
    const int digits = 1 + static_cast<int>(rng() % 6);
    std::uint64_t m = rng() % static_cast<std::uint64_t>(std::pow(10, digits));
    if (m == 0) {
      m = 1;
    }
    const int exponent = static_cast<int>(rng() % 30) - 12;
    std::snprintf(text, sizeof text, "%" PRIu64 "e%d", m, exponent);
    check_double(std::strtod(text, nullptr));
    if (HasFatalFailure()) {
      return;
    }
  }
}

TEST(JsonDouble, EveryPowerOfTwo) {
  for (int e = -1074; e <= 1023; ++e) {
    check_double(std::ldexp(1.0, e));
    check_double(-std::ldexp(1.0, e));
    if (HasFatalFailure()) {
      return;
    }
  }
}

TEST(JsonDouble, EveryPowerOfTen) {
  for (int e = -323; e <= 308; ++e) {
    char text[16];
    std::snprintf(text, sizeof text, "1e%d", e);
    const double value = std::strtod(text, nullptr);
    const std::string ours = json_double(value);
    std::string expected;
    if (e >= 0 && e <= 15) {
      expected = "1" + std::string(static_cast<std::size_t>(e), '0') + ".0";
    } else if (e < 0 && e >= -5) {
      expected = "0." + std::string(static_cast<std::size_t>(-e - 1), '0') + "1";
    } else {
      expected = std::string("1e") + (e > 0 ? "+" : "-") + std::to_string(std::abs(e));
    }
    EXPECT_EQ(ours, expected);
  }
}

// ---------------------------------------------------------------- reading floats

// An answer of the reader, as text: its message, or the bits of the value.
std::string answer(const char* why, double value) {
  if (why != nullptr) return why;
  char text[32];
  std::snprintf(text, sizeof text, "bits 0x%016" PRIx64, std::bit_cast<std::uint64_t>(value));
  return text;
}

std::string read(std::string_view text) {
  double value = 0;
  std::string scratch;
  const char* why = read_canonical_double(text, value, scratch);
  return answer(why, value);
}

// Compares the reader with the answer `known` in advance, if given, and with
// the standard library's parser where it has one for double (libc++ has
// none): whatever from_chars reads in full and the writer writes back.
void check_read(const std::string& text, const std::string& known = "") {
  const std::string ours = read(text);
  if (!known.empty()) {
    ASSERT_EQ(ours, known) << "text: " << text;
  }
#ifdef __cpp_lib_to_chars
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, value);
  const char* why = ec != std::errc() || stop != end ? "invalid float"
                    : json_double(value) != text     ? "non-canonical float"
                                                     : nullptr;
  ASSERT_EQ(ours, answer(why, value)) << "text: " << text;
#endif
}

// Texts of `value` that from_chars takes and the writer does not write, or
// may not: other layouts, digits one off, too many digits.
std::vector<std::string> variants_of(double value) {
  std::vector<std::string> out;
  char text[64];
  for (const char* format : {"%.17g", "%.16g", "%.15e", "%.3e", "%.1f"}) {
    std::snprintf(text, sizeof text, format, value);
    out.push_back(text);
  }
  std::string canonical = json_double(value);
  const auto e = canonical.find('e');
  std::size_t last = (e == std::string::npos ? canonical.size() : e) - 1;
  for (int step : {1, -1}) {
    std::string t = canonical;
    t[last] = static_cast<char>((t[last] - '0' + 10 + step) % 10 + '0');
    out.push_back(t);
  }
  out.push_back(canonical.substr(0, last + 1) + "0" + canonical.substr(last + 1));
  return out;
}

TEST(ReadDouble, MillionRandomDoubles) {
  std::mt19937_64 rng(2024);
  for (int i = 0; i < 1000000; ++i) {
    const double value = std::bit_cast<double>(rng());
    if (!std::isfinite(value)) continue;
    // The writer's own text reads back to the very same double.
    check_read(json_double(value), answer(nullptr, value));
    if (i % 8 == 0) {
      for (const std::string& text : variants_of(value)) check_read(text);
    }
    if (HasFatalFailure()) return;
  }
}

// Few digits and any exponent, the shapes of most real values, and texts of
// 19 to 40 digits around the double nearest to them.
TEST(ReadDouble, RandomDecimalTexts) {
  std::mt19937_64 rng(7);
  char text[128];
  for (int i = 0; i < 200000; ++i) {
    const int digits = 1 + static_cast<int>(rng() % 40);
    std::string mantissa;
    for (int k = 0; k < digits; ++k) mantissa += static_cast<char>('0' + rng() % 10);
    const int exponent = static_cast<int>(rng() % 700) - 350;
    std::snprintf(text, sizeof text, "%se%d", mantissa.c_str(), exponent);
    check_read(text);
    const std::size_t point = rng() % (mantissa.size() + 1);
    check_read(mantissa.substr(0, point) + "." + mantissa.substr(point));
    if (HasFatalFailure()) return;
  }
}

// The mantissa of a text in scientific form moved one step up or down in its
// last digit (with carry or borrow).
std::string last_digit_step(std::string text, int step) {
  for (std::size_t i = text.find('e'); i-- > 0;) {
    if (text[i] == '.') continue;
    const int v = text[i] - '0' + step;
    text[i] = static_cast<char>('0' + (v + 10) % 10);
    if (v >= 0 && v <= 9) break;
  }
  return text;
}

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while ((start = text.find_first_not_of(" \n", start)) != std::string_view::npos) {
    const std::size_t end = std::min(text.find_first_of(" \n", start), text.size());
    out.emplace_back(text.substr(start, end - start));
    start = end;
  }
  return out;
}

std::vector<std::string> boundary_texts() {
  std::vector<std::string> texts = words(
      // Values the vectors carry, and neighbours in the last digit.
      "0.0 1.0 1.5 0.1 0.3 0.5 12.34 0.001234 0.6666666666666666 1.0000000000000002 100.0 10000.0 "
      "123456789012345.6 1000000000000000.0 1e+16 1.5e+16 1e+21 1e+22 1e+23 0.00001 1e-6 1e-7 "
      "1.5e-7 1e-310 5e-324 2.2250738585072014e-308 2.225073858507201e-308 "
      "2.2250738585072011e-308 1.7976931348623157e+308 1.7976931348623158e+308 "
      "1.7976931348623159e+308 4.9406564584124654e-324 2e-324 3e-324 9007199254740993.0 "
      "9007199254740992.0 0.30000000000000004 "
      // Out of range, and exponents of every length.
      "1e400 1e-400 1e308 1e309 1e-323 1e-324 1e-325 1e0000000000000000000000000005 "
      "1e99999999999999999999 1e-99999999999999999999 0e99999999999999999999 "
      "0.0e-99999999999999999999 "
      // Other spellings from_chars takes, or stops short of.
      "0 00.0 1. .5 1e 1e+ 1e- 1e+5 1E+16 1e16 1e+016 1.0e+16 10000000000000000.0 1e+15 1e-05 "
      "1.5e-07 0.000001 1.50 01.5 +1.5 1,5 - . e5 .e5 1..5 1.5. 1e5.0 1e5e5 -+1.5 0x1p3 0x10 "
      "0X1.8p1 1p3 inf INF Inf infinity Infinity infinit infinityy nan NaN nan() nan(123) "
      "nan(a_Z9) nan( nan(ab nan(a)b nan(a-b) null true");
  for (const char* text : {"", " 1.5", "1.5 ", "1.5\n", "nan(a b)", "nan\b1)"})
    texts.push_back(text);
  // 2^1024 - 2^970 rounds to infinity and 2^-1075 to zero; their exact
  // digits (glibc prints a long double exactly) and texts just beside them.
  static_assert(std::numeric_limits<long double>::digits >= 55);
  for (long double limit :
       {std::ldexp(1.0L, 1024) - std::ldexp(1.0L, 970), std::ldexp(1.0L, -1075)}) {
    char exact[1200];
    std::snprintf(exact, sizeof exact, "%.1100Le", limit);
    const std::string text = exact, short_text = text.substr(0, 40) + text.substr(text.find('e'));
    for (const std::string& near : {text, last_digit_step(text, 1), last_digit_step(text, -1),
                                    short_text, last_digit_step(short_text, 1)}) {
      texts.push_back(near);
    }
  }
  // Overlong digit strings.
  const std::string zeros(400, '0');
  for (const std::string& text :
       {"1." + zeros + "1", "0." + zeros + "1e400", "1" + zeros, "0." + zeros, zeros + "1.5",
        "1.5" + zeros, "1" + zeros + "e-400", "4.9406564584124654" + zeros + "1e-324"}) {
    texts.push_back(text);
  }
  const std::size_t count = texts.size();
  for (std::size_t i = 0; i < count; ++i) texts.push_back("-" + texts[i]);
  return texts;
}

TEST(ReadDouble, Boundaries) {
  // Known answers, which hold without from_chars too.
  check_read("1.7976931348623157e+308", answer(nullptr, 1.7976931348623157e308));
  check_read("5e-324", answer(nullptr, 5e-324));
  for (const std::string& text : words("1e400 1e-400 2e-324 1.7976931348623159e+308 +1.5 1e 0x10"))
    check_read(text, "invalid float");
  for (const std::string& text : words("1. .5 -0 inf nan(x) 3e-324 1.50 1e-06"))
    check_read(text, "non-canonical float");
  for (const std::string& text : boundary_texts()) {
    check_read(text);
    if (HasFatalFailure()) return;
  }
}

// The reader is the same in any locale: a German LC_NUMERIC, where the C
// library's own parsers take "1,5" and stop at "1.5"'s point, changes
// nothing. The locale is made for the test with localedef.
TEST(ReadDouble, IgnoresTheLocale) {
  char dir[] = "/tmp/tessarin-locale-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string command =
      std::string("localedef -i de_DE -f UTF-8 ") + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) {
    GTEST_SKIP()
        << "localedef could not make de_DE.UTF-8 (Debian's locales package has its sources)";
  }
  std::vector<std::string> texts = boundary_texts();
  std::mt19937_64 rng(5);
  for (int i = 0; i < 20000; ++i) {
    const double value = std::bit_cast<double>(rng());
    if (!std::isfinite(value)) continue;
    texts.push_back(json_double(value));
    for (const std::string& text : variants_of(value)) texts.push_back(text);
  }
  std::vector<std::string> in_c;
  for (const std::string& text : texts) in_c.push_back(read(text));

  ASSERT_EQ(setenv("LOCPATH", dir, 1), 0);
  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
  ASSERT_STREQ(std::localeconv()->decimal_point, ",");
  std::vector<std::string> in_german;
  for (const std::string& text : texts) in_german.push_back(read(text));
  std::setlocale(LC_ALL, "C");
  unsetenv("LOCPATH");
  std::system((std::string("rm -rf ") + dir).c_str());
  ASSERT_EQ(in_german, in_c);
}

}  // namespace
