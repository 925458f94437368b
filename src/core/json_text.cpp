#include "core/json_text.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

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

// ---------------------------------------------------------------- reading floats
//
// The reader accepts exactly the texts that std::from_chars (general format)
// reads in full, rejects the others with "invalid float" as from_chars does
// (which includes values beyond the range of a double either way), and then
// keeps only the canonical spelling. It is written out here rather than
// taken from the standard library, which not every runtime provides for
// double (libc++ has none), and it never consults the locale.
//
// A canonical text is the writer's own output for the double it rounds to,
// so the reader need not round exactly by itself: it finds a candidate
// within one unit in the last place, and the writer decides. Exactly one
// double can write a given text, and it is the text's correctly rounded
// value (shortest digits read back to their double), so a text is accepted
// with that value or not at all.
namespace {

// 10^q is about mantissa * 2^exponent, the mantissa with its top bit set and
// truncated to 64 bits (relative error below 2^-63). The range covers every
// w * 10^q with w of up to 19 digits whose value is a finite nonzero double.
struct Power10 {
  std::uint64_t mantissa;
  int exponent;
};
constexpr int kMinPower10 = -342;
constexpr int kMaxPower10 = 308;

// Worked out in 128 bits, one factor of ten at a time: each step truncates
// at most one unit of 2^-123 (relative), far below what the 64 bits keep.
constexpr std::array<Power10, kMaxPower10 - kMinPower10 + 1> make_powers_of_ten() {
  __extension__ using U128 = unsigned __int128;
  std::array<Power10, kMaxPower10 - kMinPower10 + 1> table{};
  const U128 one = U128{1} << 127;
  auto store = [&](int q, U128 m, int e) {
    table[static_cast<std::size_t>(q - kMinPower10)] = {static_cast<std::uint64_t>(m >> 64),
                                                        e + 64};
  };
  store(0, one, -127);
  U128 m = one;
  int e = -127;
  for (int q = 1; q <= kMaxPower10; ++q) {
    m = (m >> 3) * 5;  // times 10/16
    e += 4;
    while ((m >> 127) == 0) {
      m <<= 1;
      --e;
    }
    store(q, m, e);
  }
  m = one;
  e = -127;
  for (int q = -1; q >= kMinPower10; --q) {
    m /= 10;
    while ((m >> 127) == 0) {
      m <<= 1;
      --e;
    }
    store(q, m, e);
  }
  return table;
}

constexpr auto kPowersOfTen = make_powers_of_ten();

// Exactly representable powers of ten: a product or quotient with one of
// them is correctly rounded when the other factor is exact too.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The limits of the range, written out in full (their significant digits,
// the first one's weight given beside them). A value at or above the first
// rounds to infinity, one at or below the second rounds to zero; from_chars
// reports both as out of range.
//   python3 -c 'print(2**1024 - 2**970)'   (halfway from DBL_MAX to 2^1024)
constexpr std::string_view kOverflowDigits =
    "17976931348623158079372897140530341507993413271003782693617377898044496829276475094664901797"
    "75872070963302864166928879109465555478519404026306574886715058206819089020007083836762738548"
    "45817711531764475730270069855571366959622842914819860834936475292719074168444365510704342711"
    "559699508093042880177904174497792";
constexpr long long kOverflowWeight = 308;
//   python3 -c 'print(5**1075)'   (2^-1075, halfway from zero to the least subnormal)
constexpr std::string_view kUnderflowDigits =
    "24703282292062327208828439643411068618252990130716238221279284125033775363510437593264991818"
    "08179961898982823477228588654633283551779698981993873980053909390631503565951557022639229085"
    "83924491051844359318028499365361525003193704576782492193656236698636584807570015857692699037"
    "06311928279558551332927834338409351978015531246597263579574622766465272827220056374006485499"
    "97709659947045402082816622623785739345073633900796776193057750674017632467360096895134053553"
    "74585166611342237666786041621596804619144672918403005300575308490487653917113865916462395249"
    "12623653881879636239373280423891018672348497668235089863388587925628302755995657524455507255"
    "18931369083625477918694866799496832404970582102851318545139621383772282614543769341253209859"
    "1327667236328125";
constexpr long long kUnderflowWeight = -324;

// The text's decimal number, as far as the conversion needs it.
struct Decimal {
  std::uint64_t w = 0;             // its significant digits when there are no more than 19
  long long q = 0;                 // value = w * 10^q then
  long long digits = 0;            // significant digits, trailing zeros included
  const char* mantissa = nullptr;  // the digits and point, up to the exponent
  const char* mantissa_end = nullptr;
};

enum class Form { Invalid, NonFinite, Number };

bool equal_ignoring_case(const char* p, const char* end, std::string_view lower) {
  if (end - p != static_cast<std::ptrdiff_t>(lower.size())) return false;
  for (char c : lower) {
    if ((*p++ | 0x20) != c) return false;
  }
  return true;
}

// inf, infinity, nan and nan(chars), in any case, exactly.
bool is_non_finite_name(const char* p, const char* end) {
  if (equal_ignoring_case(p, end, "inf") || equal_ignoring_case(p, end, "infinity") ||
      equal_ignoring_case(p, end, "nan"))
    return true;
  if (end - p < 5 || !equal_ignoring_case(p, p + 3, "nan") || p[3] != '(' || end[-1] != ')')
    return false;
  for (const char* c = p + 4; c != end - 1; ++c) {
    if (!is_digit(*c) && ((*c | 0x20) < 'a' || (*c | 0x20) > 'z') && *c != '_') return false;
  }
  return true;
}

// Appends the digits at p to w (modulo 2^64) and returns where they end;
// eight at a time while it can, as one word.
[[gnu::always_inline]] inline const char* read_digits(const char* p, const char* end,
                                                      std::uint64_t& w) {
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      std::uint64_t chunk;
      std::memcpy(&chunk, p, 8);
      // Every byte in '0'..'9': its high nibble is 3, and adding 6 keeps it so.
      if ((((chunk & 0xf0f0f0f0f0f0f0f0) |
            (((chunk + 0x0606060606060606) & 0xf0f0f0f0f0f0f0f0) >> 4)) != 0x3333333333333333))
        break;
      // Pairs, then quads, then all eight digits (the first byte is the
      // most significant digit).
      chunk = ((chunk & 0x0f0f0f0f0f0f0f0f) * 2561) >> 8;
      chunk = ((chunk & 0x00ff00ff00ff00ff) * 6553601) >> 16;
      chunk = ((chunk & 0x0000ffff0000ffff) * 42949672960001) >> 32;
      w = w * 100000000 + chunk;
      p += 8;
    }
  }
  for (; p != end && is_digit(*p); ++p) w = w * 10 + static_cast<std::uint64_t>(*p - '0');
  return p;
}

// Splits the text (after its minus sign) as from_chars reads it: digits with
// at most one point and at least one digit, then an exponent that counts only
// when it has digits. The whole text must be used.
Form scan_decimal(const char* p, const char* const end, Decimal& d) {
  if (p == end) return Form::Invalid;
  if (!is_digit(*p) && *p != '.') {
    return is_non_finite_name(p, end) ? Form::NonFinite : Form::Invalid;
  }
  // Every digit goes into w as it is read: leading zeros leave it at zero,
  // and it is exact as long as no more than 19 significant digits follow.
  std::uint64_t w = 0;
  const char* const int_begin = p;
  p = read_digits(p, end, w);
  const char* const int_end = p;
  const char* frac_begin = p;
  if (p != end && *p == '.') {
    frac_begin = ++p;
    p = read_digits(p, end, w);
  }
  const char* const frac_end = p;
  if (int_end == int_begin && frac_end == frac_begin) return Form::Invalid;
  d.mantissa = int_begin;
  d.mantissa_end = frac_end;

  long long exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    const char* e = p + 1;
    const bool negative = e != end && *e == '-';
    if (e != end && (*e == '-' || *e == '+')) ++e;
    if (e != end && is_digit(*e)) {
      // Far beyond any double's range long before it saturates; the digit
      // counts added to it stay below the text's length.
      for (; e != end && is_digit(*e); ++e) {
        if (exponent < 1'000'000'000'000LL) exponent = exponent * 10 + (*e - '0');
      }
      if (negative) exponent = -exponent;
      p = e;
    }
  }
  if (p != end) return Form::Invalid;

  // The significant digits start after the leading zeros, in the integer
  // part or else in the fraction.
  const char* first = int_begin;
  while (first != int_end && *first == '0') ++first;
  long long weight_shift;  // the first digit's weight before the exponent, plus one
  if (first != int_end) {
    weight_shift = int_end - first;
    d.digits = weight_shift + (frac_end - frac_begin);
  } else {
    first = frac_begin;
    while (first != frac_end && *first == '0') ++first;
    weight_shift = frac_begin - first;
    d.digits = frac_end - first;
  }
  if (d.digits <= 19) {
    d.w = w;
    d.q = exponent + weight_shift - d.digits;
  } else {
    // Never a canonical text: only the range matters, and whether it is zero.
    d.w = 1;
    d.q = exponent + weight_shift - 19;
  }
  return Form::Number;
}

// The text's significant digits against a limit's: negative, zero or
// positive as the text's value is below, at or above it (same weight).
int compare_digits(const Decimal& d, std::string_view limit) {
  std::size_t i = 0;
  bool started = false;
  for (const char* p = d.mantissa; p != d.mantissa_end; ++p) {
    if (*p == '.' || (!started && *p == '0')) continue;
    started = true;
    if (i == limit.size()) {
      if (*p != '0') return 1;
      continue;
    }
    if (*p != limit[i]) return *p < limit[i] ? -1 : 1;
    ++i;
  }
  return i == limit.size() ? 0 : -1;  // a limit never ends in a zero
}

// True when the nonzero value rounds to infinity or to zero.
bool out_of_range(const Decimal& d) {
  const long long weight = d.q + std::min<long long>(d.digits, 19) - 1;  // the first digit's
  if (weight > kOverflowWeight) return true;
  if (weight < kUnderflowWeight) return true;
  if (weight == kOverflowWeight) return compare_digits(d, kOverflowDigits) >= 0;
  if (weight == kUnderflowWeight) return compare_digits(d, kUnderflowDigits) <= 0;
  return false;
}

// w * 10^q (w nonzero, the value in range) within one unit in the last place.
double near_value(std::uint64_t w, int q) {
  __extension__ using U128 = unsigned __int128;
  const Power10& p = kPowersOfTen[static_cast<std::size_t>(q - kMinPower10)];
  const int shift = std::countl_zero(w);
  const auto high = static_cast<std::uint64_t>((static_cast<U128>(w << shift) * p.mantissa) >> 64);
  // At least 62 significant bits, off by less than 2^-61 of the value: the
  // double nearest to it is at most one step from the exact result's.
  const double rounded = static_cast<double>(high);  // exact power of two scaling below
  const int scale = p.exponent + 64 - shift;
  const auto bits = std::bit_cast<std::uint64_t>(rounded);
  const int biased = static_cast<int>(bits >> 52) + scale;
  if (biased > 0 && biased < 0x7ff) {
    return std::bit_cast<double>(
        bits + (static_cast<std::uint64_t>(static_cast<std::int64_t>(scale)) << 52));
  }
  // Subnormal, or at the top of the range: the slow way.
  const double value = std::ldexp(rounded, scale);
  if (value == 0) return std::numeric_limits<double>::denorm_min();
  if (std::isinf(value)) return std::numeric_limits<double>::max();
  return value;
}

bool writes_as(double value, std::string_view text, std::string& scratch) {
  scratch.clear();
  append_json_double(scratch, value);
  return scratch == text;
}

}  // namespace

const char* read_canonical_double(std::string_view text, double& value, std::string& scratch) {
  const char* p = text.data();
  const char* const end = p + text.size();
  const bool negative = p != end && *p == '-';
  Decimal d;
  switch (scan_decimal(p + negative, end, d)) {
    case Form::Invalid:
      return "invalid float";
    case Form::NonFinite:
      return "non-canonical float";  // written as null
    case Form::Number:
      break;
  }
  const double sign = negative ? -1.0 : 1.0;
  if (d.w == 0) {  // zero, however written
    value = sign * 0.0;
    return writes_as(value, text, scratch) ? nullptr : "non-canonical float";
  }
  if (out_of_range(d)) return "invalid float";
  // Shortest digits never need more than 17.
  if (d.digits > 17) return "non-canonical float";
  const int q = static_cast<int>(d.q);
  if (d.w <= (std::uint64_t{1} << 53) && q >= -22 && q <= 22) {
    // Both factors exact: one correctly rounded operation.
    value = sign * (q >= 0 ? static_cast<double>(d.w) * kExactPowers[q]
                           : static_cast<double>(d.w) / kExactPowers[-q]);
    return writes_as(value, text, scratch) ? nullptr : "non-canonical float";
  }
  value = sign * near_value(d.w, q);
  if (writes_as(value, text, scratch)) return nullptr;
  // The neighbours, for a candidate one step off; any other text is not
  // canonical.
  for (double candidate : {std::nextafter(value, 0.0), std::nextafter(value, sign * HUGE_VAL)}) {
    if (writes_as(candidate, text, scratch)) {
      value = candidate;
      return nullptr;
    }
  }
  return "non-canonical float";
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
