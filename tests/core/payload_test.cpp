// The payload reader and the canonical JSON scanner under mangled input.
#include "core/canonical_json.hpp"
#include "core/canonical_scan.hpp"
#include "core/payload.hpp"
#include "core/unicode.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace tessarin::core {
namespace {

ParamValue random_value(std::mt19937_64& rng, int depth) {
  const char* const texts[] = {
      "", "a", "\"q\\", "\x01\n\t", "\xc3\xa9", "\xf0\x9f\x98\x80", "version", "params"};
  switch (rng() % (depth > 3 ? 6 : 8)) {
    case 0:
      return ParamValue::null();
    case 1:
      return ParamValue::boolean(rng() % 2 == 0);
    case 2:
      return ParamValue::uinteger(rng() >> (rng() % 64));
    case 3:
      return ParamValue::integer(-static_cast<std::int64_t>(rng() >> (1 + rng() % 63)) - 1);
    case 4:
      return ParamValue::real(std::ldexp(static_cast<double>(rng() % 100000) - 50000.0,
                                         static_cast<int>(rng() % 80) - 40));
    case 5:
      return ParamValue::string(texts[rng() % 8]);
    case 6: {
      std::vector<ParamValue> items;
      for (std::size_t i = rng() % 4; i > 0; --i) items.push_back(random_value(rng, depth + 1));
      return ParamValue::array(std::move(items));
    }
    default: {
      ParamMap map;
      for (std::size_t i = rng() % 4; i > 0; --i)
        map.insert_or_assign(texts[rng() % 8], random_value(rng, depth + 1));
      return ParamValue::object(std::move(map));
    }
  }
}

ModelConfig random_config(std::mt19937_64& rng) {
  ModelConfig config{"n\"ame", "1.0", {}};
  for (std::size_t i = rng() % 5; i > 0; --i)
    config.params.insert_or_assign(std::to_string(rng() % 10), random_value(rng, 0));
  return config;
}

std::string mangle(std::string text, std::mt19937_64& rng) {
  const char specials[] = {'"', '\\', '{', '}', '[',    ']',    ',',    ':',
                           '0', '-',  '.', 'e', '\x80', '\xc0', '\xed', '\x1f'};
  switch (rng() % 4) {
    case 0:
      text.resize(rng() % (text.size() + 1));
      break;
    case 1:
      if (!text.empty()) text[rng() % text.size()] ^= static_cast<char>(1 << (rng() % 8));
      break;
    case 2:
      text.insert(rng() % (text.size() + 1), 1, specials[rng() % sizeof specials]);
      break;
    default:
      if (!text.empty()) text.erase(rng() % text.size(), 1 + rng() % 3);
      break;
  }
  return text;
}

bool valid_utf8_reference(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    if (unicode::decode_utf8(text, pos) == unicode::kInvalidCodePoint) return false;
  }
  return true;
}

// The scanner accepts exactly what the parser accepts, minus malformed UTF-8.
TEST(CanonicalScan, AgreesWithTheParserOnMangledText) {
  std::mt19937_64 rng(7);
  CanonicalScanner scanner;
  int accepted = 0;
  for (int round = 0; round < 20000; ++round) {
    const ModelConfig config = random_config(rng);
    std::string json = canonical_config_json(config);
    ASSERT_TRUE(scanner.config(json)) << json << " " << scanner.error();
    for (int k = rng() % 3; k >= 0; --k) json = mangle(json, rng);
    ModelConfig parsed;
    const bool expected = parse_canonical_config(json, parsed) && valid_utf8_reference(json);
    ASSERT_EQ(scanner.config(json), expected) << json;
    std::string value_json;
    append_canonical_value(value_json, random_value(rng, 0));
    value_json = mangle(value_json, rng);
    ParamValue value;
    ASSERT_EQ(scanner.value(value_json),
              parse_canonical_value(value_json, value) && valid_utf8_reference(value_json))
        << value_json;
    accepted += expected;
  }
  EXPECT_GT(accepted, 100);
}

TEST(CanonicalScan, NestingLimitMatchesTheParser) {
  for (int depth : {kMaxParamDepth, kMaxParamDepth + 1}) {
    const std::string value = std::string(depth, '[') + std::string(depth, ']');
    ParamValue parsed;
    EXPECT_EQ(scan_canonical_value(value), parse_canonical_value(value, parsed)) << depth;
    const std::string config = "{\"name\":\"\",\"version\":\"\",\"params\":{\"k\":" + value + "}}";
    ModelConfig parsed_config;
    EXPECT_EQ(scan_canonical_config(config), parse_canonical_config(config, parsed_config))
        << depth;
  }
}

std::vector<std::string> sample_payloads() {
  std::mt19937_64 rng(11);
  Graph graph;
  for (int i = 0; i < 6; ++i) graph.add_node(i % 2 ? "n\xc3\xa9" : "", random_config(rng));
  graph.add_edge(1, 2);
  graph.add_edge(7, 7);
  payload::NodeValue node{3, "node", random_config(rng), {}};
  node.metadata.insert_or_assign("z", random_value(rng, 0));
  node.metadata.insert_or_assign("a", ParamValue::uinteger(1));
  return {
      payload::write(graph),
      payload::write(Graph()),
      payload::write(node),
      payload::write(random_config(rng)),
      payload::write(payload::BuilderValue{std::nullopt, "v", random_config(rng).params}),
      payload::write(make_trace_record("id", "message", TraceLevel::Warn, std::nullopt, "t")),
      payload::write(payload::PipelineValue{{"validation", "", "x"}}),
      payload::write(payload::CompositeValue{{payload::Rule::Version, payload::Rule::Name}}),
  };
}

payload::ReadResult read(const std::string& bytes) {
  return payload::read(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// Truncated payloads are refused; mangled ones are refused or are exactly
// what the writer writes for the value they describe.
TEST(Payload, RefusesOrReproducesMangledPayloads) {
  std::mt19937_64 rng(3);
  for (const std::string& good : sample_payloads()) {
    const payload::ReadResult result = read(good);
    ASSERT_TRUE(result.value) << result.error;
    EXPECT_EQ(payload::write(*result.value), good);
    for (std::size_t n = 0; n < good.size(); ++n) {
      const payload::ReadResult cut = read(good.substr(0, n));
      EXPECT_FALSE(cut.value) << n;
      EXPECT_FALSE(cut.error.empty());
    }
    for (int round = 0; round < 3000; ++round) {
      const std::string bad = mangle(good, rng);
      const payload::ReadResult mangled = read(bad);
      if (mangled.value) {
        EXPECT_EQ(payload::write(*mangled.value), bad);
      } else {
        EXPECT_FALSE(mangled.error.empty());
      }
    }
  }
}

TEST(Payload, GraphComesBackWithItsHashAndKeepsGrowing) {
  std::mt19937_64 rng(5);
  Graph graph;
  for (int i = 0; i < 2000; ++i) graph.add_node("node" + std::to_string(i), random_config(rng));
  for (std::uint64_t i = 1; i < 2000; ++i) graph.add_edge(i, i + 1);
  std::string bytes(payload::graph_payload_size(graph), '\0');
  payload::write_graph(graph, reinterpret_cast<unsigned char*>(bytes.data()));
  payload::ReadResult result = read(bytes);
  ASSERT_TRUE(result.value) << result.error;
  Graph& copy = std::get<Graph>(*result.value);
  EXPECT_EQ(copy.stable_hash(), graph.stable_hash());
  for (std::size_t i = 0; i < graph.node_count(); ++i) {
    EXPECT_EQ(copy.node(i).name, graph.node(i).name);
    EXPECT_EQ(copy.node(i).config_json, graph.node(i).config_json);
  }
  const ModelConfig extra = random_config(rng);
  EXPECT_EQ(copy.add_node("more", extra), graph.add_node("more", extra));
  EXPECT_EQ(copy.stable_hash(), graph.stable_hash());
}

TEST(Payload, HeaderErrorsNameTheProblem) {
  EXPECT_EQ(read("").error, "truncated payload");
  EXPECT_NE(read("\x02\x01").error.find("version 2"), std::string::npos);
  EXPECT_NE(read(std::string("\x01\x63", 2)).error.find("kind 99"), std::string::npos);
  // A count far beyond the bytes present is refused before anything is allocated.
  EXPECT_NE(read("\x01\x05\xff\xff\xff\xff\x0f\x00").error.find("count larger"), std::string::npos);
}

}  // namespace
}  // namespace tessarin::core
