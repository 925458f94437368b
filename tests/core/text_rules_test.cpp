#include "core/text_rules.hpp"

#include "utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/unicode.hpp"

namespace {

using tessarin::core::append_quoted_string_list;
using tessarin::core::check_name;
using tessarin::core::check_version;
using tessarin::core::quoted_string_list;
using tessarin::core::RuleViolation;
namespace unicode = tessarin::core::unicode;

const RuleViolation kNameEmpty{"name", "Name cannot be empty"};
const RuleViolation kNameInvalid{
    "name", "Name must contain only alphanumeric characters, dashes, and underscores"};
const RuleViolation kVersionEmpty{"version", "Version cannot be empty"};
const RuleViolation kVersionInvalid{"version",
                                    "Version must match semantic versioning pattern (e.g., 1.2.3)"};

using tessarin::test::encode;

std::string encode(const std::u32string& text) {
  std::string out;
  for (char32_t cp : text) {
    out += encode(cp);
  }
  return out;
}

std::string show(const std::string& s) { return testing::PrintToString(s); }

// --- Name rule -----------------------------------------------------------------

TEST(NameRule, EmptyNameHasItsOwnMessage) { EXPECT_EQ(check_name(""), kNameEmpty); }

TEST(NameRule, AcceptedNames) {
  const std::string names[] = {
      "encoder_v2-final",
      "Transformer",
      "\u6a21\u578b",  // 模型
      "mod\u00e8le",   // modèle, precomposed
      "x\u00b2",       // x², No
      "a",
      "Z",
      "0",
      "-",
      "_",
      "--__--",
      "\u0660\u0661\u0662",  // Arabic-Indic digits, Nd
      "\u2167",              // Roman numeral eight, Nl
      "\u00aa\u00ba",        // ordinal indicators, Lo
      "\u0398\u03b5\u03ac",  // Greek
      "\U00010400",          // Deseret, four-byte UTF-8
      "\uff11\uff12\uff13",  // full-width digits are digits in names
      std::string(1000, 'a') + "\u00e9" + std::string(1000, '9'),
  };
  for (const auto& name : names) {
    EXPECT_EQ(check_name(name), std::nullopt) << show(name);
  }
}

TEST(NameRule, RejectedNames) {
  const std::string names[] = {
      " ",
      "my model",
      "my.model",
      "a/b",
      "a\u00a0b",  // no-break space
      "a b c",     // several offenders, still one violation
      "name\t",
      std::string("a\0b", 3),
      "a\x7f",
      "e\u0301",     // decomposed é: the accent is not Alphabetic
      "a\u00b7b",    // middle dot
      "\U0001F600",  // emoji
      "\u6a21 \u578b",
      "x\u200by",  // zero width space
      "a@b",
      "a[b",
      "a`b",
      "a{b",
      "a:b",
      "a/b",    // neighbours of the allowed ASCII ranges
      "a\xC3",  // malformed: truncated sequence
      "\xFF"
      "abc",           // malformed: invalid byte
      "\xED\xA0\x80",  // malformed: encoded surrogate
      std::string(5000, 'a') + "!",
  };
  for (const auto& name : names) {
    EXPECT_EQ(check_name(name), kNameInvalid) << show(name);
  }
}

bool ascii_name_char(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
         c == '_';
}

// Reference: classify each code point on its own, no word tricks.
bool reference_name_ok(const std::u32string& text) {
  if (text.empty()) {
    return false;
  }
  for (char32_t cp : text) {
    const bool ok = cp < 0x80 ? ascii_name_char(static_cast<unsigned char>(cp))
                              : unicode::is_name_char_above_ascii(cp);
    if (!ok) {
      return false;
    }
  }
  return true;
}

// The word-at-a-time scan must classify every ASCII byte exactly as the
// byte-by-byte rule does, wherever the byte sits within a word.
TEST(NameRule, EveryAsciiByteAtEveryOffset) {
  for (int c = 0; c < 128; ++c) {
    for (std::size_t offset = 0; offset < 40; ++offset) {
      std::string name(48, 'k');
      name[offset] = static_cast<char>(c);
      const auto expected = ascii_name_char(static_cast<unsigned char>(c))
                                ? std::nullopt
                                : std::optional(kNameInvalid);
      ASSERT_EQ(check_name(name), expected) << "byte " << c << " at " << offset;
    }
  }
}

// Both block scanners against a byte loop, for every ASCII and some non-ASCII
// bytes at every position of blocks of several lengths and start offsets.
TEST(NameRule, BlockScannersFindTheFirstNonNameByte) {
  using tessarin::core::detail::skip_ascii_name_bytes;
  using tessarin::core::detail::skip_ascii_name_bytes_portable;
  const auto reference = [](const std::string& s, std::size_t from) {
    while (from < s.size() && static_cast<unsigned char>(s[from]) < 0x80 &&
           ascii_name_char(static_cast<unsigned char>(s[from]))) {
      ++from;
    }
    return from;
  };
  for (int c = 0; c < 256; ++c) {
    if (c >= 0x80 && c != 0x80 && c != 0xC3 && c != 0xE6 && c != 0xF0 && c != 0xFF) {
      continue;
    }
    for (std::size_t length : {1u, 15u, 16u, 17u, 31u, 32u, 33u, 70u}) {
      for (std::size_t pos = 0; pos <= length; ++pos) {
        std::string s(length, 'M');
        if (pos < length) {
          s[pos] = static_cast<char>(c);
        }
        for (std::size_t from : {std::size_t{0}, std::size_t{1}, std::size_t{9}}) {
          if (from > length) {
            continue;
          }
          const std::size_t expected = reference(s, from);
          ASSERT_EQ(skip_ascii_name_bytes(s, from), expected)
              << c << " " << length << " " << pos << " " << from;
          ASSERT_EQ(skip_ascii_name_bytes_portable(s, from), expected)
              << c << " " << length << " " << pos << " " << from;
        }
      }
    }
  }
  // Two offending bytes: the first one is reported, whichever block holds it.
  std::string s(80, '_');
  s[50] = '.';
  s[23] = '\xC3';
  EXPECT_EQ(skip_ascii_name_bytes(s, 0), 23u);
  EXPECT_EQ(skip_ascii_name_bytes_portable(s, 0), 23u);
  EXPECT_EQ(skip_ascii_name_bytes(s, 24), 50u);
  EXPECT_EQ(skip_ascii_name_bytes_portable(s, 24), 50u);
}

// A non-ASCII character at each offset of an otherwise ASCII name, with or
// without a disallowed ASCII character before or after it: the fast scan and
// the decoding fallback must hand over at the right byte.
TEST(NameRule, FastAndSlowPathsAgreeAroundNonAsciiCharacters) {
  const char32_t non_ascii[] = {0x00E9, 0x6A21, 0x10400, 0x00B2, 0x00A0, 0x0301, 0x1F600, 0x200B};
  const char32_t disallowed_ascii[] = {U' ', U'.', U'\0', U'@', U'{'};
  for (char32_t special : non_ascii) {
    for (std::size_t offset = 0; offset <= 40; ++offset) {
      for (std::size_t length : {offset + 1, offset + 2, offset + 17, std::size_t{64}}) {
        if (length <= offset) {
          continue;
        }
        std::u32string text(length, U'q');
        text[offset] = special;
        ASSERT_EQ(check_name(encode(text)).has_value(), !reference_name_ok(text))
            << std::hex << +special << std::dec << " at " << offset << " len " << length;
        for (char32_t bad : disallowed_ascii) {
          for (std::size_t bad_pos :
               {std::size_t{0}, offset / 2, offset + 1, offset + 9, length - 1}) {
            if (bad_pos == offset || bad_pos >= length) {
              continue;
            }
            std::u32string with_bad = text;
            with_bad[bad_pos] = bad;
            ASSERT_EQ(check_name(encode(with_bad)), kNameInvalid)
                << std::hex << +special << std::dec << " at " << offset << ", bad at " << bad_pos;
          }
        }
      }
    }
  }
}

TEST(NameRule, RandomNamesMatchReference) {
  const char32_t alphabet[] = {U'a',    U'Z',    U'5',    U'-',   U'_',   U' ',   U'.',
                               U'\x7f', U'\t',   0x00E9,  0x00B2, 0x00A0, 0x0301, 0x6A21,
                               0x3000,  0x10400, 0x1F600, 0x2160, 0xFEFF, 0x0660};
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(alphabet) - 1);
  std::uniform_int_distribution<int> percent(0, 99);
  std::uniform_int_distribution<std::size_t> length(0, 80);
  for (int round = 0; round < 20000; ++round) {
    // Mostly letters, so that many names are valid and long ASCII runs occur.
    std::u32string text(length(rng), U'x');
    for (auto& cp : text) {
      if (percent(rng) < 15) {
        cp = alphabet[pick(rng)];
      }
    }
    const std::string utf8 = encode(text);
    const auto expected = text.empty()              ? std::optional(kNameEmpty)
                          : reference_name_ok(text) ? std::nullopt
                                                    : std::optional(kNameInvalid);
    ASSERT_EQ(check_name(utf8), expected) << show(utf8);
  }
}

TEST(NameRule, HugeAsciiNames) {
  std::string name(1 << 20, 'a');
  EXPECT_EQ(check_name(name), std::nullopt);
  name.back() = '.';
  EXPECT_EQ(check_name(name), kNameInvalid);
  name.back() = 'a';
  name[name.size() / 2] = ' ';
  EXPECT_EQ(check_name(name), kNameInvalid);
}

// --- Version rule --------------------------------------------------------------

TEST(VersionRule, EmptyVersionHasItsOwnMessage) { EXPECT_EQ(check_version(""), kVersionEmpty); }

TEST(VersionRule, AcceptedVersions) {
  const std::string versions[] = {
      "1.0.0",
      "2.1.3",
      "0.0.0",
      "01.002.0003",
      "+1.+2.+3",
      "4294967295.0.0",
      "0.4294967295.4294967295",
      "00000000004294967295.0.0",
      "1." + std::string(1000, '0') + ".0",
      "1.2.3.4",
      "1.2.3.",
      "1.2.3.beta",
      "1.2.3..",
      "1.2.3. x",
      "1.2.3.-1",
      "+0.+00.+4294967295",
  };
  for (const auto& v : versions) {
    EXPECT_EQ(check_version(v), std::nullopt) << show(v);
  }
}

TEST(VersionRule, RejectedVersions) {
  const std::string versions[] = {
      "1.0",
      "latest",
      "1",
      ".",
      "..",
      "1.2",
      "1.2.",
      "v1.0.0",
      "1..2",
      ".1.2.3",
      "1.-2.3",
      "4294967296.0.0",
      "0.0.4294967296",
      "0.0.99999999999",
      "00004294967296.0.0",
      " 1.2.3",
      "1.2.3 ",
      "1 .2.3",
      "1.2. 3",
      "0.1.0-alpha",
      "1.2.3-rc.1",
      "1.2.3+build",
      "1.2.3a",
      "++1.2.3",
      "+.1.2",
      "1.+.2",
      "1.2.+",
      "-1.2.3",
      "1.2.-3",
      "\uff11.\uff12.\uff13",  // full-width digits
      "1\u30022.3",            // ideographic full stop
      "\u0661.2.3",            // Arabic-Indic digit one
  };
  for (const auto& v : versions) {
    EXPECT_EQ(check_version(v), kVersionInvalid) << show(v);
  }
}

// Independent reference: split everything, then judge the first three pieces
// by converting them with a wide integer type.
std::optional<RuleViolation> reference_version(const std::string& v) {
  if (v.empty()) {
    return kVersionEmpty;
  }
  std::vector<std::string> pieces(1);
  for (char c : v) {
    if (c == '.') {
      pieces.emplace_back();
    } else {
      pieces.back() += c;
    }
  }
  if (pieces.size() < 3) {
    return kVersionInvalid;
  }
  for (int k = 0; k < 3; ++k) {
    std::string p = pieces[k];
    if (!p.empty() && p[0] == '+') {
      p.erase(0, 1);
    }
    if (p.empty()) {
      return kVersionInvalid;
    }
    std::uint64_t value = 0;
    for (char c : p) {
      if (c < '0' || c > '9') {
        return kVersionInvalid;
      }
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
      if (value > 0xFFFFFFFFull) {
        return kVersionInvalid;
      }
    }
  }
  return std::nullopt;
}

TEST(VersionRule, RandomCharacterStringsMatchReference) {
  const char alphabet[] = "0123456789..........+++--a  ";
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 2);
  std::uniform_int_distribution<std::size_t> length(0, 16);
  for (int round = 0; round < 200000; ++round) {
    std::string v(length(rng), ' ');
    for (auto& c : v) {
      c = alphabet[pick(rng)];
    }
    ASSERT_EQ(check_version(v), reference_version(v)) << show(v);
  }
}

// Piece-level strings, so that near-limit numbers, signs and junk pieces
// appear often enough in every position.
TEST(VersionRule, RandomPieceStringsMatchReference) {
  const std::string pieces[] = {
      "0",
      "1",
      "42",
      "+7",
      "007",
      "4294967295",
      "4294967296",
      "4294967294",
      "9999999999",
      "10000000000",
      "00000000004294967295",
      "00000000004294967296",
      "0000000000000000000000",
      "+4294967295",
      "++1",
      "+",
      "",
      "-1",
      "1-alpha",
      "3+build",
      "a",
      " 1",
      "1 ",
      "beta",
  };
  std::mt19937 rng(11);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> count(1, 5);
  for (int round = 0; round < 100000; ++round) {
    std::string v;
    const int n = count(rng);
    for (int k = 0; k < n; ++k) {
      if (k != 0) {
        v += '.';
      }
      v += pieces[pick(rng)];
    }
    ASSERT_EQ(check_version(v), reference_version(v)) << show(v);
  }
}

// --- Quoted string list --------------------------------------------------------

std::string quoted(std::vector<std::string> items) { return quoted_string_list(items); }

std::string hex_escape(char32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
  return buf;
}

TEST(QuotedStringList, ListShape) {
  EXPECT_EQ(quoted({}), "[]");
  EXPECT_EQ(quoted({""}), "[\"\"]");
  EXPECT_EQ(quoted({"name"}), "[\"name\"]");
  EXPECT_EQ(quoted({"name", "version"}), "[\"name\", \"version\"]");
  EXPECT_EQ(quoted({"a", "", "c"}), "[\"a\", \"\", \"c\"]");
  EXPECT_EQ(quoted({"a\"b", "c\\d", "it's", ", "}), "[\"a\\\"b\", \"c\\\\d\", \"it's\", \", \"]");
}

TEST(QuotedStringList, AppendsToExistingText) {
  std::string out = "CompositeValidator(validators=";
  const std::vector<std::string> items{"name", "version"};
  append_quoted_string_list(out, items);
  EXPECT_EQ(out, "CompositeValidator(validators=[\"name\", \"version\"]");
}

TEST(QuotedStringList, EveryAsciiCharacter) {
  for (int c = 0; c < 128; ++c) {
    std::string expected;
    switch (c) {
      case '\\':
        expected = "\\\\";
        break;
      case '"':
        expected = "\\\"";
        break;
      case '\t':
        expected = "\\t";
        break;
      case '\r':
        expected = "\\r";
        break;
      case '\n':
        expected = "\\n";
        break;
      case '\0':
        expected = "\\0";
        break;
      default:
        expected = (c < 0x20 || c == 0x7F) ? hex_escape(static_cast<char32_t>(c))
                                           : std::string(1, static_cast<char>(c));
    }
    const std::string item(1, static_cast<char>(c));
    EXPECT_EQ(quoted({item}), "[\"" + expected + "\"]") << "character " << c;
    // Inside a longer item as well, where the plain-ASCII run copying applies.
    EXPECT_EQ(quoted({"ab" + item + "cd"}), "[\"ab" + expected + "cd\"]") << "character " << c;
  }
  EXPECT_EQ(quoted({"\x7f"}), "[\"\\u{7f}\"]");
  EXPECT_EQ(quoted({"\x1b"}), "[\"\\u{1b}\"]");
}

TEST(QuotedStringList, NonAsciiCharacters) {
  struct Case {
    char32_t cp;
    bool escaped;
  };
  const Case cases[] = {
      {0x0301, true},   {0x0300, true},   {0x09BE, true},   {0xFE0F, true},
      {0xE0100, true},  // Grapheme_Extend
      {0x200B, true},   {0x200D, true},   {0xFEFF, true},   {0x00AD, true},
      {0xE0001, true},                                                        // Cf
      {0x2028, true},   {0x2029, true},   {0x00A0, true},   {0x3000, true},   // Zl, Zp, Zs
      {0x0080, true},   {0x009F, true},                                       // Cc
      {0xE000, true},   {0xF8FF, true},   {0x10FFFD, true},                   // Co
      {0x0378, true},   {0xFFFF, true},   {0x10FFFF, true}, {0x50000, true},  // Cn
      {0x00E9, false},  {0x00E8, false},  {0x6A21, false},  {0x0416, false},
      {0x10400, false}, {0x1F600, false}, {0x1F468, false}, {0x00A9, false},
      {0x00B7, false},  {0x0903, false},  {0xFFFD, false},  {0x2160, false},
      {0x00B2, false},
  };
  for (const auto& c : cases) {
    const std::string expected = c.escaped ? hex_escape(c.cp) : encode(c.cp);
    EXPECT_EQ(quoted({std::string("x").append(encode(c.cp)).append("y")}),
              std::string("[\"x").append(expected).append("y\"]"))
        << std::hex << +c.cp;
  }
  EXPECT_EQ(quoted({"\u0301"}), "[\"\\u{301}\"]");
  EXPECT_EQ(quoted({"\u200b"}), "[\"\\u{200b}\"]");
  EXPECT_EQ(quoted({"e\u0301", "\U0001F468\u200D\U0001F469"}),
            "[\"e\\u{301}\", \"\U0001F468\\u{200d}\U0001F469\"]");
}

TEST(QuotedStringList, MalformedBytesBecomeReplacementCharacters) {
  EXPECT_EQ(quoted({"a\xFF"
                    "b"}),
            "[\"a\uFFFDb\"]");
  EXPECT_EQ(quoted({"\xE6\xA8"}), "[\"\uFFFD\uFFFD\"]");
}

}  // namespace
