#pragma once

// Unicode character classes used by the name rule and the quoted string list,
// plus a strict UTF-8 decoder. The tables are generated from the Unicode
// Character Database by tools/gen_unicode_tables.py and compiled in, so there
// is no run-time dependency on a Unicode library.

#include <cstddef>
#include <span>
#include <string_view>

namespace tessarin::core::unicode {

// Inclusive range of code points.
struct CodePointRange {
  char32_t first;
  char32_t last;
};

// True for code points above U+007F that have the Alphabetic property or the
// general category Nd, Nl or No: letters and digits of any script. Always
// false for ASCII, which callers classify themselves.
bool is_name_char_above_ascii(char32_t cp) noexcept;

// True for code points a quoted string list writes as \u{...}: general
// categories Cc, Cf, Cs, Co, Cn, Zl, Zp, Zs other than U+0020 (everything
// Python's str.isprintable rejects), and Grapheme_Extend characters, which
// would otherwise fuse with the quote or escape written before them.
bool needs_escape(char32_t cp) noexcept;

// Version of the Unicode Character Database behind the tables, e.g. "15.0.0".
const char* version() noexcept;

// Returned by decode_utf8 for a malformed sequence; never a code point.
inline constexpr char32_t kInvalidCodePoint = 0xFFFF'FFFF;

// Decodes the code point starting at s[pos] and advances pos past it.
// Requires pos < s.size(). Overlong forms, surrogates, values above U+10FFFF
// and truncated or stray bytes yield kInvalidCodePoint and advance pos by one
// byte, so a caller loop always terminates and never reads past the end.
char32_t decode_utf8(std::string_view s, std::size_t& pos) noexcept;

// The generated tables themselves, exposed for their invariant checks.
namespace tables {
std::span<const CodePointRange> name_chars() noexcept;
std::span<const CodePointRange> escape() noexcept;
}  // namespace tables

}  // namespace tessarin::core::unicode
