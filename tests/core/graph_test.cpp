#include "core/graph.hpp"

#include "core/canonical_json.hpp"
#include "core/sha256.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using tessarin::core::canonical_config_json;
using tessarin::core::Graph;
using tessarin::core::ModelConfig;
using tessarin::core::ParamValue;
using tessarin::core::Sha256;

ModelConfig config(std::string name, std::string version = "1.0.0") {
  return ModelConfig{std::move(name), std::move(version), {}};
}

// The canonical byte form built the plain way, one piece after another.
class Reference {
 public:
  void add_node(std::string_view name, const ModelConfig& c) {
    ++nodes_;
    put_u64(nodes_);
    nodes_bytes_ += name;
    nodes_bytes_ += canonical_config_json(c);
  }
  void add_edge(std::uint64_t from, std::uint64_t to) {
    for (std::uint64_t v : {from, to})
      for (int i = 0; i < 8; ++i) edge_bytes_.push_back(static_cast<char>(v >> (8 * i)));
  }
  std::string bytes() const { return nodes_bytes_ + edge_bytes_; }
  std::string hash() const {
    Sha256 sha;
    sha.update(bytes());
    return sha.finish_hex();
  }

 private:
  void put_u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) nodes_bytes_.push_back(static_cast<char>(v >> (8 * i)));
  }
  std::uint64_t nodes_ = 0;
  std::string nodes_bytes_;
  std::string edge_bytes_;
};

TEST(Graph, WorkedExampleAndEmptyGraphHashes) {
  Graph graph;
  EXPECT_EQ(graph.stable_hash(),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(graph.add_node("encoder", config("encoder")), 1u);
  EXPECT_EQ(graph.stable_hash(),
            "8d888713d257f2152ce0a955e70d031b29191786d73e577c81bdb27618235ffb");
  ModelConfig decoder = config("decoder");
  decoder.params.insert_or_assign("layers", ParamValue::uinteger(12));
  EXPECT_EQ(graph.add_node("decoder", decoder), 2u);
  graph.add_edge(1, 2);
  EXPECT_EQ(graph.stable_hash(),
            "fbbb9d71577e1f2d04aedec23df2205b2bb3eb5b021502794eb5db0b477f88af");
  EXPECT_EQ(graph.node_count(), 2u);
  EXPECT_EQ(graph.edge_count(), 1u);
}

TEST(Graph, EdgesNeedNoNodesAndOrderMatters) {
  Graph a, b;
  a.add_edge(0, 99);
  a.add_edge(99, 0);
  b.add_edge(99, 0);
  b.add_edge(0, 99);
  Reference ra;
  ra.add_edge(0, 99);
  ra.add_edge(99, 0);
  EXPECT_EQ(a.stable_hash(), ra.hash());
  EXPECT_NE(a.stable_hash(), b.stable_hash());
  EXPECT_TRUE(a.empty());
  Graph c;
  c.add_edge(~std::uint64_t{0}, 1);
  Reference rc;
  rc.add_edge(~std::uint64_t{0}, 1);
  EXPECT_EQ(c.stable_hash(), rc.hash());
}

// Any bytes: the graph stores names without looking at them.
std::string random_name(std::mt19937_64& rng, std::size_t max_size) {
  std::string name(std::uniform_int_distribution<std::size_t>(0, max_size)(rng), 'x');
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (i % 8 == 0) bits = rng();
    name[i] = static_cast<char>(bits >> (8 * (i % 8)));
  }
  return name;
}

ModelConfig random_config(std::mt19937_64& rng) {
  ModelConfig c = config(random_name(rng, 10), random_name(rng, 6));
  const int n = std::uniform_int_distribution<int>(0, 4)(rng);
  for (int i = 0; i < n; ++i)
    c.params.insert_or_assign(random_name(rng, 8), ParamValue::uinteger(rng()));
  return c;
}

// Random graphs whose nodes land on every side of the chunk boundaries: tiny
// nodes, nodes of a few KiB, and nodes above the largest chunk size.
TEST(Graph, RandomGraphsMatchTheReferenceBytesAndNodesReadBack) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 6; ++round) {
    Graph graph;
    Reference ref;
    std::vector<std::pair<std::string, ModelConfig>> added;
    const int n = round < 3 ? 2000 : 40;
    for (int i = 0; i < n; ++i) {
      std::size_t max_name = 40;
      if (round >= 3) max_name = i % 7 == 0 ? 3 * Graph::kMaxChunk : 9000;
      std::string name = random_name(rng, max_name);
      ModelConfig c = random_config(rng);
      ASSERT_EQ(graph.add_node(name, c), static_cast<std::uint64_t>(i) + 1);
      ref.add_node(name, c);
      if (rng() % 3 == 0) {
        const std::uint64_t from = rng() % (n + 2), to = rng() % (n + 2);
        graph.add_edge(from, to);
        ref.add_edge(from, to);
      }
      added.emplace_back(std::move(name), std::move(c));
    }
    ASSERT_EQ(graph.stable_hash(), ref.hash());
    for (std::size_t i = 0; i < added.size(); ++i) {
      const auto record = graph.node(i);
      ASSERT_EQ(record.id, i + 1);
      ASSERT_EQ(record.name, added[i].first);
      ASSERT_EQ(record.config_json, canonical_config_json(added[i].second));
      ModelConfig back;
      ASSERT_TRUE(graph.node_config(i, back));
      ASSERT_EQ(back.name, added[i].second.name);
      ASSERT_EQ(back.version, added[i].second.version);
      ASSERT_TRUE(back.params == added[i].second.params);
    }
  }
}

TEST(Graph, CopiesAppendIndependentlyWithoutCorruptingSharedChunks) {
  std::mt19937_64 rng(11);
  Graph original;
  Reference ref_original;
  for (int i = 0; i < 50; ++i) {
    const std::string name = "n" + std::to_string(i);
    original.add_node(name, config(name));
    ref_original.add_node(name, config(name));
  }
  Graph copy = original;
  Reference ref_copy = ref_original;
  const std::string before = original.stable_hash();
  ASSERT_EQ(copy.stable_hash(), before);

  // Both sides keep appending; each must keep seeing exactly its own nodes.
  for (int i = 0; i < 500; ++i) {
    const std::string a = "a" + std::to_string(i), b = random_name(rng, 300);
    original.add_node(a, config(a));
    ref_original.add_node(a, config(a));
    copy.add_node(b, config(b, "2"));
    ref_copy.add_node(b, config(b, "2"));
    if (i % 50 == 0) {
      Graph third = copy;  // a copy taken midway, then dropped
      third.add_node("t", config("t"));
    }
  }
  copy.add_edge(1, 2);
  ref_copy.add_edge(1, 2);
  EXPECT_EQ(original.stable_hash(), ref_original.hash());
  EXPECT_EQ(copy.stable_hash(), ref_copy.hash());

  // A copy kept unchanged still hashes as the graph did when it was taken.
  Graph snapshot = original;
  const std::string snapshot_hash = snapshot.stable_hash();
  for (int i = 0; i < 100; ++i) original.add_node("late", config("late"));
  EXPECT_EQ(snapshot.stable_hash(), snapshot_hash);
  EXPECT_EQ(snapshot.node(snapshot.node_count() - 1).name, "a499");
}

TEST(Graph, MovedGraphKeepsItsNodes) {
  Graph a;
  a.add_node("x", config("x"));
  const std::string hash = a.stable_hash();
  Graph b = std::move(a);
  EXPECT_EQ(b.stable_hash(), hash);
  EXPECT_EQ(b.add_node("y", config("y")), 2u);
}

// A copy is hashed on another thread while the original keeps growing, as a
// pipeline run does. Run under a thread sanitizer this is the race check.
TEST(Graph, CopyHashedOnAnotherThreadWhileTheOriginalGrows) {
  Graph original;
  for (int i = 0; i < 1000; ++i) original.add_node("pre", config("pre"));
  for (int round = 0; round < 20; ++round) {
    Graph copy = original;
    const std::string expected = copy.stable_hash();
    std::string seen;
    std::thread worker([&] {
      for (int i = 0; i < 5; ++i) seen = copy.stable_hash();
    });
    for (int i = 0; i < 200; ++i) original.add_node("more", config("more"));
    worker.join();
    EXPECT_EQ(seen, expected);
  }
}

TEST(Graph, ChunksGrowGeometricallyAndStaySmallForSmallGraphs) {
  Graph small;
  small.add_node("x", config("x"));
  EXPECT_EQ(small.arena_capacity(), Graph::kFirstChunk);

  Graph big;
  std::size_t used = 0;
  for (int i = 0; i < 100000; ++i) {
    big.add_node("node", config("cfg"));
    used += 8 + 4 + canonical_config_json(config("cfg")).size();
  }
  // Geometric growth: few chunks, and at most about one largest chunk of
  // slack beyond what the nodes use.
  EXPECT_LT(big.chunk_count(), 20u);
  EXPECT_LT(big.arena_capacity(), used + Graph::kMaxChunk);

  // A node larger than any chunk gets one of exactly its own size.
  Graph huge;
  const std::string name(10 * 1000 * 1000, 'n');
  huge.add_node(name, config("c"));
  EXPECT_EQ(huge.chunk_count(), 1u);
  EXPECT_EQ(huge.arena_capacity(), 8 + name.size() + canonical_config_json(config("c")).size());
  EXPECT_EQ(huge.node(0).name.size(), name.size());
}

// Keeping a copy after every append pins each chunk the copy saw; new chunks
// then start small again instead of doubling on every append.
TEST(Graph, CopiesKeptBetweenAppendsDoNotInflateTheArena) {
  Graph graph;
  std::vector<Graph> kept;
  for (int i = 0; i < 2000; ++i) {
    graph.add_node("node", config("cfg"));
    kept.push_back(graph);
  }
  EXPECT_LE(graph.arena_capacity(), graph.chunk_count() * Graph::kFirstChunk);
  Reference ref;
  for (int i = 0; i < 2000; ++i) ref.add_node("node", config("cfg"));
  EXPECT_EQ(graph.stable_hash(), ref.hash());
  EXPECT_EQ(kept[999].node_count(), 1000u);
}

// Interrupt checks for the hash: a plain function pointer, so the test's
// state lives in globals.
int g_checks = 0;
int g_stop_at = 0;  // 0: never stop
bool count_and_maybe_stop() {
  ++g_checks;
  return g_checks == g_stop_at;
}

// The checked hash feeds the same bytes as the plain one, asks once per
// kInterruptCheckBytes with more to come, and stops at once when told to.
TEST(Graph, InterruptCheckedHashMatchesAndStopsWhenAsked) {
  using tessarin::core::kInterruptCheckBytes;
  std::mt19937_64 rng(11);
  for (int round = 0; round < 6; ++round) {
    Graph graph;
    Reference ref;
    const int nodes = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < nodes; ++i) {
      // Names of up to 6 MB: slices end inside nodes, across chunks, and
      // inside the edge array.
      const std::string name(rng() % (6u << 20), static_cast<char>('a' + i));
      graph.add_node(name, config("c"));
      ref.add_node(name, config("c"));
    }
    const std::size_t edges = rng() % 400000;  // up to 6.4 MB of edges
    for (std::size_t e = 0; e < edges; ++e) {
      const std::uint64_t from = rng(), to = rng();
      graph.add_edge(from, to);
      ref.add_edge(from, to);
    }
    const std::size_t total = ref.bytes().size();
    const int expected_checks =
        static_cast<int>((total + kInterruptCheckBytes - 1) / kInterruptCheckBytes) - 1;

    g_checks = 0;
    g_stop_at = 0;
    const std::optional<std::string> hash = graph.stable_hash(count_and_maybe_stop);
    ASSERT_TRUE(hash.has_value());
    EXPECT_EQ(*hash, ref.hash());
    EXPECT_EQ(g_checks, std::max(expected_checks, 0)) << total;

    if (expected_checks > 0) {
      g_checks = 0;
      g_stop_at = 1 + static_cast<int>(rng() % static_cast<std::uint64_t>(expected_checks));
      EXPECT_FALSE(graph.stable_digest(count_and_maybe_stop).has_value());
      EXPECT_EQ(g_checks, g_stop_at);
    }
  }
}

}  // namespace
