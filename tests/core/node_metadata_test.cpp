#include "core/node_metadata.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using tessarin::core::NodeMetadata;
using tessarin::core::ParamValue;

std::vector<std::string> keys_of(const NodeMetadata& m) {
  std::vector<std::string> out;
  for (const auto& entry : m) out.push_back(entry.key.str());
  return out;
}

TEST(NodeMetadata, KeepsInsertionOrderAndReplacesInPlace) {
  NodeMetadata m;
  EXPECT_TRUE(m.empty());
  m.insert_or_assign("zeta", ParamValue::uinteger(1));
  m.insert_or_assign("alpha", ParamValue::uinteger(2));
  m.insert_or_assign("zeta", ParamValue::uinteger(3));
  m.insert_or_assign("", ParamValue());
  EXPECT_EQ(keys_of(m), (std::vector<std::string>{"zeta", "alpha", ""}));
  ASSERT_NE(m.find("zeta"), nullptr);
  EXPECT_EQ(m.find("zeta")->as_u64(), 3u);
  EXPECT_EQ(m.find("missing"), nullptr);
}

// Random inserts and replacements, across the switch from linear search to
// the hash index, against an ordered reference (a map of key -> position).
TEST(NodeMetadata, RandomOperationsMatchAReference) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 20; ++round) {
    NodeMetadata m;
    std::vector<std::string> order;
    std::map<std::string, std::uint64_t> values;
    const int ops = round < 10 ? 20 : 3000;
    const int key_space = round % 2 == 0 ? 12 : 5000;
    for (int i = 0; i < ops; ++i) {
      // Keys share long prefixes and differ in length, so that equal hash
      // words and tail handling are both exercised.
      std::string key = std::string(rng() % 20, 'k') + std::to_string(rng() % key_space);
      const std::uint64_t v = rng();
      if (!values.count(key)) order.push_back(key);
      values[key] = v;
      m.insert_or_assign(key, ParamValue::uinteger(v));
      if (i % 97 == 0) {
        NodeMetadata copy = m;  // copies carry their index along
        copy.insert_or_assign("only-in-copy", ParamValue());
        EXPECT_EQ(m.find("only-in-copy"), nullptr);
        ASSERT_NE(copy.find(key), nullptr);
      }
    }
    ASSERT_EQ(keys_of(m), order);
    for (const auto& [key, v] : values) {
      ASSERT_NE(m.find(key), nullptr) << key;
      EXPECT_EQ(m.find(key)->as_u64(), v);
    }
    EXPECT_EQ(m.find("absent-key"), nullptr);
  }
}

TEST(NodeMetadata, CopiesAreIndependent) {
  NodeMetadata a;
  for (int i = 0; i < 20; ++i) a.insert_or_assign("k" + std::to_string(i), ParamValue::uinteger(i));
  NodeMetadata b = a;
  b.insert_or_assign("k3", ParamValue::boolean(true));
  b.insert_or_assign("new", ParamValue());
  EXPECT_EQ(a.find("k3")->as_u64(), 3u);
  EXPECT_EQ(a.size(), 20u);
  EXPECT_EQ(b.size(), 21u);
  EXPECT_TRUE(b.find("k3")->as_bool());
}

}  // namespace
