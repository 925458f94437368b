#include "core/unicode.hpp"

#include <algorithm>
#include <iterator>
#include <cstdint>

namespace tessarin::core::unicode {

#include "core/unicode_tables.inc"

namespace {

// Ranges are sorted, disjoint and never adjacent: the only range that can hold
// cp is the last one starting at or below it.
bool in_table(std::span<const CodePointRange> table, char32_t cp) noexcept {
  auto it =
      std::upper_bound(table.begin(), table.end(), cp,
                       [](char32_t value, const CodePointRange& r) { return value < r.first; });
  if (it == table.begin()) {
    return false;
  }
  return cp <= std::prev(it)->last;
}

}  // namespace

bool is_name_char_above_ascii(char32_t cp) noexcept {
  return cp > 0x7F && in_table(kNameCharRanges, cp);
}

bool needs_escape(char32_t cp) noexcept {
  if (cp < 0x80) {
    return cp < 0x20 || cp == 0x7F;
  }
  return in_table(kEscapeRanges, cp);
}

const char* version() noexcept { return kUnicodeVersion; }

char32_t decode_utf8(std::string_view s, std::size_t& pos) noexcept {
  const std::size_t n = s.size();
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  const std::uint8_t lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t length;
  char32_t cp;
  char32_t min_value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
    min_value = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    min_value = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    min_value = 0x10000;
  } else {
    // Continuation byte without a lead, or a lead byte (C0, C1, F5..FF)
    // that can only start an overlong or out-of-range sequence.
    ++pos;
    return kInvalidCodePoint;
  }
  if (n - pos < length) {
    ++pos;
    return kInvalidCodePoint;
  }
  for (std::size_t k = 1; k < length; ++k) {
    const std::uint8_t b = byte(pos + k);
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return kInvalidCodePoint;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min_value || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return kInvalidCodePoint;
  }
  pos += length;
  return cp;
}

namespace tables {
std::span<const CodePointRange> name_chars() noexcept { return kNameCharRanges; }
std::span<const CodePointRange> escape() noexcept { return kEscapeRanges; }
}  // namespace tables

}  // namespace tessarin::core::unicode
