#include "core/canonical_json.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using tessarin::core::append_canonical_value;
using tessarin::core::canonical_config_json;
using tessarin::core::kMaxParamDepth;
using tessarin::core::ModelConfig;
using tessarin::core::ParamEntry;
using tessarin::core::ParamKey;
using tessarin::core::ParamKind;
using tessarin::core::ParamMap;
using tessarin::core::ParamValue;
using tessarin::core::parse_canonical_config;
using tessarin::core::parse_canonical_value;

std::string json_of(const ParamValue& value) {
  std::string out;
  append_canonical_value(out, value);
  return out;
}

ParamValue str(std::string_view text) { return ParamValue::string(text); }
ParamValue num(double d) { return ParamValue::real(d); }

ParamValue arr(std::vector<ParamValue> items) { return ParamValue::array(std::move(items)); }

ParamValue obj(std::vector<std::pair<std::string, ParamValue>> pairs) {
  std::vector<ParamEntry> entries;
  for (auto& [k, v] : pairs) entries.push_back(ParamEntry{ParamKey(k), std::move(v)});
  return ParamValue::object(ParamMap::from_unsorted(std::move(entries)));
}

ParamValue nested_arrays(int levels) {
  ParamValue v = ParamValue::uinteger(1);
  for (int i = 0; i < levels; ++i) v = arr({v});
  return v;
}

// --------------------------------------------------------- writer: table

struct WriteCase {
  ParamValue value;
  std::string expected;
};

TEST(CanonicalJson, WritesEveryKindAsTheHashExpects) {
  const std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
  const std::int64_t i64_min = std::numeric_limits<std::int64_t>::min();
  const std::vector<WriteCase> cases = {
      {ParamValue(), "null"},
      {ParamValue::boolean(true), "true"},
      {ParamValue::boolean(false), "false"},
      {ParamValue::uinteger(0), "0"},
      {ParamValue::uinteger(12), "12"},
      {ParamValue::uinteger(u64_max), "18446744073709551615"},
      {ParamValue::integer(-1), "-1"},
      {ParamValue::integer(i64_min), "-9223372036854775808"},
      {num(1.0), "1.0"},
      {num(0.0), "0.0"},
      {num(-0.0), "-0.0"},
      {num(100.0), "100.0"},
      {num(12.34), "12.34"},
      {num(0.001234), "0.001234"},
      {num(1e15), "1000000000000000.0"},
      {num(9999999999999998.0), "9999999999999998.0"},
      {num(1e16), "1e+16"},
      {num(1e-5), "0.00001"},
      {num(1e-6), "1e-6"},
      {num(-1.5e-7), "-1.5e-7"},
      {num(1.7976931348623157e308), "1.7976931348623157e+308"},
      {num(5e-324), "5e-324"},
      {num(0.1), "0.1"},
      {str(""), "\"\""},
      {str("a\"b\\c/\x7f"), "\"a\\\"b\\\\c/\x7f\""},
      {str("\b\t\n\f\r\x01\x1f"), "\"\\b\\t\\n\\f\\r\\u0001\\u001f\""},
      {str("\xc3\xa9\xe2\x82\xac"), "\"\xc3\xa9\xe2\x82\xac\""},
      {arr({}), "[]"},
      {arr({ParamValue::uinteger(1), num(1.0), ParamValue(), str("x")}), "[1,1.0,null,\"x\"]"},
      {obj({}), "{}"},
      // Keys in unsigned byte order, whatever the insertion order.
      {obj({{"b", ParamValue::uinteger(2)},
            {"\xc3\xa9", ParamValue()},
            {"a", arr({obj({})})},
            {"Z", ParamValue::boolean(false)},
            {"", ParamValue::uinteger(0)},
            {"ab", str("q\"")}}),
       "{\"\":0,\"Z\":false,\"a\":[{}],\"ab\":\"q\\\"\",\"b\":2,\"\xc3\xa9\":null}"},
  };
  for (const WriteCase& c : cases) {
    EXPECT_EQ(json_of(c.value), c.expected);
    // ... and every one of them reads back as the same value.
    ParamValue back;
    std::string error;
    ASSERT_TRUE(parse_canonical_value(c.expected, back, &error)) << c.expected << ": " << error;
    EXPECT_TRUE(back == c.value) << c.expected;
  }
}

TEST(CanonicalJson, WritesConfigurationsWithFixedMemberOrder) {
  ModelConfig encoder{"encoder", "1.0.0", {}};
  EXPECT_EQ(canonical_config_json(encoder),
            "{\"name\":\"encoder\",\"version\":\"1.0.0\",\"params\":{}}");
  ModelConfig decoder{"decoder", "1.0.0", {}};
  decoder.params.insert_or_assign("layers", ParamValue::uinteger(12));
  EXPECT_EQ(canonical_config_json(decoder),
            "{\"name\":\"decoder\",\"version\":\"1.0.0\",\"params\":{\"layers\":12}}");
  ModelConfig odd{"a\"\n", "", {}};
  odd.params.insert_or_assign("z", num(1.0));
  odd.params.insert_or_assign("a", ParamValue::uinteger(1));
  EXPECT_EQ(canonical_config_json(odd),
            "{\"name\":\"a\\\"\\n\",\"version\":\"\",\"params\":{\"a\":1,\"z\":1.0}}");
}

// ---------------------------------------------------- random round trips

// Doubles around every layout boundary (powers of ten near the switch
// between positional and scientific notation) and at the ends of the range.
std::vector<double> boundary_doubles() {
  std::vector<double> out = {0.0,
                             -0.0,
                             std::numeric_limits<double>::min(),
                             std::numeric_limits<double>::denorm_min(),
                             std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::epsilon(),
                             0.1,
                             1.0 / 3.0,
                             9007199254740993.0};
  for (int e = -8; e <= 18; ++e) {
    const double p = std::pow(10.0, e);
    for (double d :
         {p, std::nextafter(p, 0.0), std::nextafter(p, INFINITY), p * 1.5, p * 9.999999}) {
      out.push_back(d);
      out.push_back(-d);
    }
  }
  return out;
}

class RandomValues {
 public:
  explicit RandomValues(std::uint32_t seed) : rng_(seed), doubles_(boundary_doubles()) {}

  std::string text() {
    // Quotes, backslashes, every control byte, DEL, the solidus and some
    // multi-byte UTF-8 sequences, mixed with plain letters.
    static const std::vector<std::string> pieces = [] {
      std::vector<std::string> p = {
          "\"",  "\\",  "/", "\x7f", "a", "Z", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
          "u00", "key", " "};
      for (int c = 0; c < 0x20; ++c) p.emplace_back(1, static_cast<char>(c));
      return p;
    }();
    std::string out;
    const int n = pick(0, 12);
    for (int i = 0; i < n; ++i)
      out += pieces[static_cast<std::size_t>(pick(0, static_cast<int>(pieces.size()) - 1))];
    return out;
  }

  double real() {
    switch (pick(0, 2)) {
      case 0:
        return doubles_[static_cast<std::size_t>(pick(0, static_cast<int>(doubles_.size()) - 1))];
      case 1: {
        // Any finite bit pattern.
        for (;;) {
          const double d = std::bit_cast<double>(static_cast<std::uint64_t>(rng_()));
          if (std::isfinite(d)) return d;
        }
      }
      default:
        return std::uniform_real_distribution<double>(-1e6, 1e6)(rng_);
    }
  }

  ParamValue value(int depth) {
    const int kind = pick(0, depth >= 4 ? 6 : 8);
    switch (kind) {
      case 0:
        return ParamValue();
      case 1:
        return ParamValue::boolean(pick(0, 1) == 1);
      case 2: {
        static const std::uint64_t edges[] = {0,
                                              1,
                                              9,
                                              10,
                                              0x7fffffffffffffffULL,
                                              0x8000000000000000ULL,
                                              0xfffffffffffffffeULL,
                                              0xffffffffffffffffULL};
        return ParamValue::uinteger(pick(0, 1) ? edges[pick(0, 7)] : rng_());
      }
      case 3: {
        static const std::int64_t edges[] = {-1, -9, -10, std::numeric_limits<std::int64_t>::min(),
                                             std::numeric_limits<std::int64_t>::min() + 1};
        return ParamValue::integer(pick(0, 1) ? edges[pick(0, 4)]
                                              : -static_cast<std::int64_t>(rng_() >> 1) - 1);
      }
      case 4:
      case 5:
        return num(real());
      case 6:
        return str(text());
      case 7: {
        std::vector<ParamValue> items;
        const int n = pick(0, 5);
        for (int i = 0; i < n; ++i) items.push_back(value(depth + 1));
        return arr(std::move(items));
      }
      default: {
        std::vector<std::pair<std::string, ParamValue>> pairs;
        const int n = pick(0, 5);
        for (int i = 0; i < n; ++i) pairs.emplace_back(text(), value(depth + 1));
        return obj(std::move(pairs));
      }
    }
  }

  ModelConfig config() {
    ModelConfig c{text(), text(), {}};
    const int n = pick(0, 8);
    for (int i = 0; i < n; ++i) c.params.insert_or_assign(text(), value(0));
    return c;
  }

  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  std::mt19937_64& rng() { return rng_; }

 private:
  std::mt19937_64 rng_;
  std::vector<double> doubles_;
};

TEST(CanonicalJson, RandomValuesRoundTripExactly) {
  RandomValues gen(20240601);
  for (int i = 0; i < 3000; ++i) {
    const ParamValue v = gen.value(0);
    const std::string text = json_of(v);
    ParamValue back;
    std::string error;
    ASSERT_TRUE(parse_canonical_value(text, back, &error)) << text << ": " << error;
    ASSERT_TRUE(back == v) << text;
    ASSERT_EQ(json_of(back), text);
  }
}

TEST(CanonicalJson, RandomConfigurationsRoundTripExactly) {
  RandomValues gen(7);
  for (int i = 0; i < 1000; ++i) {
    const ModelConfig c = gen.config();
    const std::string text = canonical_config_json(c);
    ModelConfig back;
    std::string error;
    ASSERT_TRUE(parse_canonical_config(text, back, &error)) << text << ": " << error;
    ASSERT_EQ(back.name, c.name);
    ASSERT_EQ(back.version, c.version);
    ASSERT_TRUE(back.params == c.params) << text;
  }
}

TEST(CanonicalJson, FloatsKeepTheirBitsAndIntegersTheirKind) {
  for (double d : boundary_doubles()) {
    ParamValue back;
    ASSERT_TRUE(parse_canonical_value(json_of(num(d)), back));
    ASSERT_EQ(back.kind(), ParamKind::Float);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(back.as_double()), std::bit_cast<std::uint64_t>(d)) << d;
  }
  ParamValue one;
  ASSERT_TRUE(parse_canonical_value("1", one));
  EXPECT_EQ(one.kind(), ParamKind::UInt);
  ASSERT_TRUE(parse_canonical_value("-1", one));
  EXPECT_EQ(one.kind(), ParamKind::Int);
}

TEST(CanonicalJson, NestingUpToTheDepthLimitParses) {
  // A value converted from Python is at most kMaxParamDepth containers deep.
  const ParamValue deepest = nested_arrays(kMaxParamDepth);
  ParamValue back;
  ASSERT_TRUE(parse_canonical_value(json_of(deepest), back));
  EXPECT_TRUE(back == deepest);
  EXPECT_FALSE(parse_canonical_value(json_of(nested_arrays(kMaxParamDepth + 1)), back));

  ModelConfig c{"n", "v", {}};
  c.params.insert_or_assign("deep", deepest);
  ModelConfig config_back;
  ASSERT_TRUE(parse_canonical_config(canonical_config_json(c), config_back));
  EXPECT_TRUE(config_back.params == c.params);
  c.params.insert_or_assign("deep", nested_arrays(kMaxParamDepth + 1));
  EXPECT_FALSE(parse_canonical_config(canonical_config_json(c), config_back));
}

// ------------------------------------------------------ refusing input

TEST(CanonicalJson, RefusesEverythingTheWriterNeverProduces) {
  const std::string nul_in_string("\"a\0b\"", 5);
  const std::vector<std::string> bad_values = {
      "",
      " 1",
      "1 ",
      "nul",
      "nulll",
      "True",
      "tru",
      "-",
      "--1",
      "+1",
      "01",
      "-0",
      "00",
      "1.",
      ".5",
      "1.0e5",
      "1E+16",
      "1e16",
      "1.50",
      "0.10",
      "1e+015",
      "100000000000000000.0",
      "0.000001",
      "1.0000000000000000001",
      "1e400",
      "-1e400",
      "nan",
      "NaN",
      "inf",
      "-inf",
      "18446744073709551616",
      "-9223372036854775809",
      "\"",
      "\"abc",
      "\"\\",
      "\"\\x\"",
      "\"\\/\"",
      "\"\\u0041\"",
      "\"\\u000a\"",
      "\"\\u001F\"",
      "\"\\u00\"",
      "\"\\U0001\"",
      "\"\\u0020\"",
      "\"\n\"",
      nul_in_string,
      "[",
      "[1",
      "[1,]",
      "[,1]",
      "[1 ,2]",
      "[1,,2]",
      "[1]]",
      "{",
      "{\"a\"}",
      "{\"a\":}",
      "{\"a\":1,}",
      "{a:1}",
      "{\"a\" :1}",
      "{\"b\":1,\"a\":2}",
      "{\"a\":1,\"a\":2}",
      "{1:2}",
      "[\"a\":1]",
      "{\"a\":1]",
      "[1}",
  };
  for (const std::string& text : bad_values) {
    ParamValue out;
    std::string error;
    EXPECT_FALSE(parse_canonical_value(text, out, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }

  const std::vector<std::string> bad_configs = {
      "",
      "{}",
      "{\"name\":\"a\",\"version\":\"1\",\"params\":{}",
      "{\"name\":\"a\",\"version\":\"1\",\"params\":{}}x",
      "{\"name\":\"a\",\"version\":\"1\",\"params\":[]}",
      "{\"name\":\"a\",\"version\":\"1\",\"params\":null}",
      "{\"version\":\"1\",\"name\":\"a\",\"params\":{}}",
      "{\"name\":\"a\",\"version\":1,\"params\":{}}",
      "{\"name\":null,\"version\":\"1\",\"params\":{}}",
      "{\"name\":\"a\",\"version\":\"1\",\"params\":{},\"extra\":1}",
      "{\"name\":\"a\", \"version\":\"1\",\"params\":{}}",
      "{\"name\":\"a\",\"version\":\"1\",\"params\":{\"b\":1,\"a\":1}}",
      "{\"name\":\"a\",\"version\":\"1\",\"params\":{\"a\":01}}",
  };
  for (const std::string& text : bad_configs) {
    ModelConfig out;
    std::string error;
    EXPECT_FALSE(parse_canonical_config(text, out, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

// Damaged canonical text never crashes the parser, and whatever it still
// accepts is canonical: writing the parsed value gives back the same bytes.
TEST(CanonicalJson, MutatedTextIsEitherRefusedOrCanonical) {
  RandomValues gen(99);
  static const char kNoise[] = "{}[],:\"\\-+.e0123456789ntfu";
  int accepted = 0;
  for (int i = 0; i < 3000; ++i) {
    ModelConfig c = gen.config();
    std::string text = canonical_config_json(c);
    const int edits = gen.pick(1, 3);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const std::size_t at =
          static_cast<std::size_t>(gen.pick(0, static_cast<int>(text.size()) - 1));
      switch (gen.pick(0, 3)) {
        case 0:
          text.erase(at, 1);
          break;
        case 1:
          text.insert(at, 1, kNoise[gen.pick(0, sizeof kNoise - 2)]);
          break;
        case 2:
          text[at] = kNoise[gen.pick(0, sizeof kNoise - 2)];
          break;
        default:
          text.resize(at);
          break;
      }
    }
    ModelConfig out;
    if (parse_canonical_config(text, out)) {
      ++accepted;
      ASSERT_EQ(canonical_config_json(out), text);
    }
    // The same bytes as a bare value (the params object is one).
    const std::size_t params_at = text.find("\"params\":");
    if (params_at != std::string::npos && text.size() > params_at + 10) {
      const std::string tail = text.substr(params_at + 9, text.size() - params_at - 10);
      ParamValue v;
      if (parse_canonical_value(tail, v)) {
        ASSERT_EQ(json_of(v), tail);
      }
    }
  }
  // Some edits (inside a string, a digit for a digit) leave canonical text.
  EXPECT_GT(accepted, 0);
}

}  // namespace
