#include "core/unicode.hpp"

#include "utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace unicode = tessarin::core::unicode;

using tessarin::test::encode;

struct Classified {
  char32_t cp;
  bool expected;
  const char* what;
};

TEST(UnicodeTables, NameCharSpotChecks) {
  const Classified cases[] = {
      {0x00AA, true, "feminine ordinal, Alphabetic (Lo)"},
      {0x00B2, true, "superscript two, No"},
      {0x00B5, true, "micro sign, Alphabetic"},
      {0x00E8, true, "e with grave"},
      {0x0345, true, "combining ypogegrammeni, Mn but Alphabetic"},
      {0x0660, true, "Arabic-Indic digit zero, Nd"},
      {0x2160, true, "Roman numeral one, Nl"},
      {0x4E00, true, "CJK ideograph"},
      {0x6A21, true, "CJK ideograph"},
      {0xFF11, true, "full-width digit one, Nd"},
      {0x10400, true, "Deseret capital long i"},
      {0x1D7CE, true, "mathematical bold digit zero, Nd"},
      {0x0041, false, "ASCII is classified by the caller"},
      {0x0080, false, "C1 control"},
      {0x00A0, false, "no-break space, Zs"},
      {0x00B7, false, "middle dot, Po"},
      {0x00D7, false, "multiplication sign, Sm"},
      {0x0301, false, "combining acute accent, Mn not Alphabetic"},
      {0x200B, false, "zero width space, Cf"},
      {0x3000, false, "ideographic space"},
      {0x1F600, false, "emoji, So"},
      {0xE000, false, "private use"},
      {0x0378, false, "unassigned"},
      {0x10FFFF, false, "last code point, noncharacter"},
      {0x110000, false, "beyond the code space"},
      {unicode::kInvalidCodePoint, false, "decoder's invalid marker"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(unicode::is_name_char_above_ascii(c.cp), c.expected)
        << std::hex << "U+" << +c.cp << " " << c.what;
  }
}

TEST(UnicodeTables, EscapeSpotChecks) {
  const Classified cases[] = {
      {0x0000, true, "NUL, Cc"},
      {0x001F, true, "unit separator, Cc"},
      {0x0020, false, "space is the one printable separator"},
      {0x0021, false, "exclamation mark"},
      {0x007E, false, "tilde"},
      {0x007F, true, "DEL, Cc"},
      {0x0085, true, "next line, Cc"},
      {0x00A0, true, "no-break space, Zs"},
      {0x00A1, false, "inverted exclamation mark"},
      {0x00AD, true, "soft hyphen, Cf"},
      {0x00E9, false, "e with acute"},
      {0x0300, true, "combining grave, Mn, Grapheme_Extend"},
      {0x0301, true, "combining acute, Mn, Grapheme_Extend"},
      {0x0378, true, "unassigned, Cn"},
      {0x0903, false, "Devanagari visarga, Mc, not Grapheme_Extend"},
      {0x09BE, true, "Bengali vowel sign aa, Mc but Grapheme_Extend"},
      {0x200B, true, "zero width space, Cf"},
      {0x200C, true, "zero width non-joiner, Cf"},
      {0x200D, true, "zero width joiner, Cf"},
      {0x2028, true, "line separator, Zl"},
      {0x2029, true, "paragraph separator, Zp"},
      {0x3000, true, "ideographic space, Zs"},
      {0x4E00, false, "CJK ideograph"},
      {0xD800, true, "surrogate, Cs"},
      {0xE000, true, "private use, Co"},
      {0xFE0F, true, "variation selector 16, Grapheme_Extend"},
      {0xFEFF, true, "byte order mark, Cf"},
      {0xFFFD, false, "replacement character"},
      {0xFFFF, true, "noncharacter, Cn"},
      {0x1F600, false, "emoji, So"},
      {0xE0001, true, "language tag, Cf"},
      {0xE0100, true, "variation selector 17, Grapheme_Extend"},
      {0xF0000, true, "supplementary private use, Co"},
      {0x10FFFF, true, "noncharacter, Cn"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(unicode::needs_escape(c.cp), c.expected)
        << std::hex << "U+" << +c.cp << " " << c.what;
  }
}

// The binary search assumes sorted, disjoint, non-adjacent ranges; a generator
// bug that breaks this would make lookups silently wrong.
TEST(UnicodeTables, RangesAreSortedDisjointAndMerged) {
  for (auto table : {unicode::tables::name_chars(), unicode::tables::escape()}) {
    ASSERT_FALSE(table.empty());
    for (std::size_t k = 0; k < table.size(); ++k) {
      EXPECT_LE(table[k].first, table[k].last) << k;
      EXPECT_LE(table[k].last, char32_t{0x10FFFF}) << k;
      if (k > 0) {
        EXPECT_GT(table[k].first, table[k - 1].last + 1) << k;
      }
    }
  }
  EXPECT_GT(unicode::tables::name_chars().front().first, char32_t{0x7F});
}

// Probes every range edge and its outside neighbours through the public
// lookups, which covers the search's off-by-one cases.
TEST(UnicodeTables, LookupsHitExactlyTheRangeEdges) {
  struct Table {
    std::span<const unicode::CodePointRange> ranges;
    bool (*lookup)(char32_t) noexcept;
  };
  const Table tables[] = {{unicode::tables::name_chars(), unicode::is_name_char_above_ascii},
                          {unicode::tables::escape(), unicode::needs_escape}};
  for (const auto& t : tables) {
    for (const auto& r : t.ranges) {
      EXPECT_TRUE(t.lookup(r.first)) << std::hex << +r.first;
      EXPECT_TRUE(t.lookup(r.last)) << std::hex << +r.last;
      EXPECT_TRUE(t.lookup(r.first + (r.last - r.first) / 2)) << std::hex << +r.first;
      if (r.first > 0) {
        EXPECT_FALSE(t.lookup(r.first - 1)) << std::hex << +r.first;
      }
      EXPECT_FALSE(t.lookup(r.last + 1)) << std::hex << +r.last;
    }
  }
}

TEST(UnicodeTables, VersionLooksLikeAUnicodeVersion) {
  EXPECT_TRUE(std::regex_match(unicode::version(), std::regex(R"(\d+\.\d+\.\d+)")))
      << unicode::version();
}

// --- Cross-check against the installed Unicode Character Database -------------
//
// Reads the general categories from extracted/DerivedGeneralCategory.txt,
// which lists unassigned code points explicitly, rather than from
// UnicodeData.txt with its First/Last pairs that the generator uses. Skipped
// when the files are absent or of another Unicode version than the tables.

constexpr const char* kUcdDir = "/usr/share/unicode/";

std::optional<std::string> file_version(std::ifstream& in, const std::string& stem) {
  std::string first;
  std::getline(in, first);
  const std::regex header("#\\s*" + stem + "-(\\d+\\.\\d+\\.\\d+)\\.txt\\s*");
  std::smatch m;
  if (!std::regex_match(first, m, header)) {
    return std::nullopt;
  }
  return m[1].str();
}

// Calls visit(first, last, value) for every data line "XXXX[..YYYY] ; value".
template <typename Visit>
void for_each_entry(std::ifstream& in, Visit visit) {
  std::string line;
  while (std::getline(in, line)) {
    line = line.substr(0, line.find('#'));
    const auto semi = line.find(';');
    if (semi == std::string::npos) {
      continue;
    }
    const std::string range = line.substr(0, semi);
    std::string value = line.substr(semi + 1);
    value.erase(0, value.find_first_not_of(' '));
    value.erase(value.find_last_not_of(' ') + 1);
    const auto dots = range.find("..");
    const auto first = static_cast<char32_t>(std::stoul(range.substr(0, dots), nullptr, 16));
    const auto last = dots == std::string::npos
                          ? first
                          : static_cast<char32_t>(std::stoul(range.substr(dots + 2), nullptr, 16));
    visit(first, last, value);
  }
}

TEST(UnicodeTables, AgreeWithInstalledCharacterDatabase) {
  std::ifstream gc_file(std::string(kUcdDir) + "extracted/DerivedGeneralCategory.txt");
  std::ifstream props_file(std::string(kUcdDir) + "DerivedCoreProperties.txt");
  if (!gc_file || !props_file) {
    GTEST_SKIP() << "Unicode Character Database not installed under " << kUcdDir;
  }
  const auto gc_version = file_version(gc_file, "DerivedGeneralCategory");
  const auto props_version = file_version(props_file, "DerivedCoreProperties");
  if (gc_version != unicode::version() || props_version != unicode::version()) {
    GTEST_SKIP() << "installed database is not Unicode " << unicode::version();
  }

  constexpr std::size_t kCodeSpace = 0x110000;
  std::vector<bool> name_char(kCodeSpace), escape(kCodeSpace), seen(kCodeSpace);
  for_each_entry(gc_file, [&](char32_t first, char32_t last, const std::string& gc) {
    const bool number = gc == "Nd" || gc == "Nl" || gc == "No";
    const bool hidden = gc == "Cc" || gc == "Cf" || gc == "Cs" || gc == "Co" || gc == "Cn" ||
                        gc == "Zl" || gc == "Zp" || gc == "Zs";
    for (char32_t cp = first; cp <= last; ++cp) {
      seen[cp] = true;
      name_char[cp] = name_char[cp] || (number && cp > 0x7F);
      escape[cp] = escape[cp] || (hidden && cp != 0x20);
    }
  });
  for_each_entry(props_file, [&](char32_t first, char32_t last, const std::string& property) {
    for (char32_t cp = first; cp <= last; ++cp) {
      if (property == "Alphabetic" && cp > 0x7F) {
        name_char[cp] = true;
      } else if (property == "Grapheme_Extend") {
        escape[cp] = true;
      }
    }
  });

  int mismatches = 0;
  for (char32_t cp = 0; cp < kCodeSpace && mismatches < 20; ++cp) {
    ASSERT_TRUE(seen[cp]) << std::hex << +cp;
    if (unicode::is_name_char_above_ascii(cp) != name_char[cp]) {
      ADD_FAILURE() << "name char U+" << std::hex << +cp;
      ++mismatches;
    }
    if (unicode::needs_escape(cp) != escape[cp]) {
      ADD_FAILURE() << "escape U+" << std::hex << +cp;
      ++mismatches;
    }
  }
}

// --- UTF-8 decoder -------------------------------------------------------------

TEST(DecodeUtf8, RoundTripsEveryScalarValue) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      continue;
    }
    const std::string bytes = std::string("a").append(encode(cp)).append("b");
    std::size_t pos = 1;
    ASSERT_EQ(unicode::decode_utf8(bytes, pos), cp) << std::hex << +cp;
    ASSERT_EQ(pos, bytes.size() - 1) << std::hex << +cp;
  }
}

TEST(DecodeUtf8, RejectsMalformedSequencesOneByteAtATime) {
  const std::string cases[] = {
      "\x80",              // stray continuation byte
      "\xBF",              // stray continuation byte
      "\xC0\x80",          // overlong NUL
      "\xC1\xBF",          // overlong U+007F
      "\xE0\x80\x80",      // overlong three-byte form
      "\xE0\x9F\xBF",      // overlong U+07FF
      "\xF0\x8F\xBF\xBF",  // overlong U+FFFF
      "\xED\xA0\x80",      // surrogate U+D800
      "\xED\xBF\xBF",      // surrogate U+DFFF
      "\xF4\x90\x80\x80",  // U+110000
      "\xF5\x80\x80\x80",  // lead byte past the code space
      "\xFF",              // never valid
      "\xC3",              // truncated two-byte form
      "\xE6\xA8",          // truncated three-byte form
      "\xF0\x9F\x98",      // truncated four-byte form
      "\xC3\x41",          // continuation replaced by ASCII
      "\xE6\xA8\xC3\xA9",  // three-byte form cut by a new lead byte
  };
  for (const auto& bytes : cases) {
    std::size_t pos = 0;
    EXPECT_EQ(unicode::decode_utf8(bytes, pos), unicode::kInvalidCodePoint)
        << testing::PrintToString(bytes);
    EXPECT_EQ(pos, 1u) << testing::PrintToString(bytes);
  }
}

}  // namespace
