// The build graph and its stable hash.
//
// Nothing can change a node once the graph holds it, so a node is fully
// described by its identifier, its name and the canonical JSON of its
// configuration; node metadata lives only on Python-side node records and is
// never part of a graph. The graph stores, per node, exactly the bytes the
// hash consumes:
//
//   [identifier, 8 bytes little-endian][name, UTF-8][configuration JSON]
//
// back to back in an append-only arena of chunks. The node part of the
// canonical byte form is then the concatenation of the used bytes of the
// chunks, and hashing is a handful of large SHA-256 updates. A configuration
// is rebuilt from its JSON when somebody asks for it (the JSON round-trips
// exactly).
//
// Chunks are immutable once written and shared between a graph and its
// copies, so copying a graph (every pipeline run does) costs one reference
// count per chunk plus the per-node index, not the bytes. A copy may be read
// on another thread, without the interpreter lock, while the original keeps
// growing: see append_bytes in graph.cpp for why that is race-free.
#pragma once

#include "core/interrupt.hpp"
#include "core/param_value.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin::core {

// A directed edge between node identifiers. On little-endian hosts an array
// of these is byte for byte the edge part of the canonical form.
struct GraphEdge {
  std::uint64_t from;
  std::uint64_t to;
};
static_assert(sizeof(GraphEdge) == 16);

// A node as stored: views into the graph's arena, valid as long as the graph
// (or any copy of it) is alive.
struct NodeRecord {
  std::uint64_t id;
  std::string_view name;
  std::string_view config_json;
};

class Graph {
 public:
  Graph() = default;
  // Copies share the arena's chunks; appending to either side afterwards
  // never changes what the other sees.
  Graph(const Graph&) = default;
  Graph& operator=(const Graph&) = default;
  Graph(Graph&&) noexcept = default;
  Graph& operator=(Graph&&) noexcept = default;

  std::size_t node_count() const noexcept { return index_.size(); }
  std::size_t edge_count() const noexcept { return edges_.size(); }
  bool empty() const noexcept { return index_.empty(); }

  // A configuration written as the canonical JSON that a node stores, for
  // a caller that reads the configuration and appends to the graph at
  // different moments (each under its own object's access). It borrows this
  // thread's scratch buffer, so adding nodes does not allocate once warm; a
  // nested use on the same thread finds the buffer taken and gets its own.
  class ConfigText {
   public:
    explicit ConfigText(const ModelConfig& config);
    ~ConfigText();
    ConfigText(const ConfigText&) = delete;
    ConfigText& operator=(const ConfigText&) = delete;

   private:
    friend class Graph;
    std::string text_;
  };

  // Appends a node with the next identifier (node_count() after the append,
  // so 1, 2, 3, ...) and returns that identifier. The configuration is
  // written as canonical JSON; `config` itself is not kept.
  std::uint64_t add_node(std::string_view name, const ModelConfig& config);
  std::uint64_t add_node(std::string_view name, const ConfigText& config);

  // Appends an edge. Nothing is checked: endpoints need not name nodes,
  // repeats, self-loops and cycles are all stored as given.
  void add_edge(std::uint64_t from, std::uint64_t to) { edges_.push_back({from, to}); }

  // The node at `position` (0-based; its identifier is position + 1).
  NodeRecord node(std::size_t position) const noexcept;
  // Rebuilds the configuration of the node at `position` from its JSON.
  // Returns false only if the stored bytes are damaged (a broken invariant).
  bool node_config(std::size_t position, ModelConfig& out) const;

  std::span<const GraphEdge> edges() const noexcept { return edges_; }

  // SHA-256 of the canonical byte form: every node's stored bytes in
  // insertion order, then every edge as two little-endian identifiers.
  std::array<std::uint8_t, 32> stable_digest() const noexcept;
  // The digest as 64 lowercase hexadecimal digits.
  std::string stable_hash() const;
  // The same two, asking `check` after every kInterruptCheckBytes hashed
  // bytes; nullopt as soon as it answers true. A null check is never asked.
  std::optional<std::array<std::uint8_t, 32>> stable_digest(InterruptCheck check) const;
  std::optional<std::string> stable_hash(InterruptCheck check) const;

  // Bytes of arena memory held by this graph's chunks (capacity, shared or
  // not); for tests and memory accounting.
  std::size_t arena_capacity() const noexcept;
  std::size_t chunk_count() const noexcept { return chunks_.size(); }

  // Chunk sizes: the first chunk holds kFirstChunk bytes, each further one
  // twice the previous up to kMaxChunk; a node that does not fit such a
  // chunk gets a chunk of exactly its own size.
  static constexpr std::size_t kFirstChunk = 4096;
  static constexpr std::size_t kMaxChunk = std::size_t{1} << 20;

  // Extent of one node record in an arena laid out as add_node writes it.
  struct NodeExtent {
    std::uint64_t size;  // 8 + name size + JSON size
    std::uint64_t name_size;
  };
  // A graph whose node records, of the sizes in `nodes`, are written by
  // `fill(first, last, out)`: the records of nodes [first, last) back to back
  // at `out`, exactly as add_node lays them out (identifier i + 1 for node i).
  // Called once per arena chunk, in node order. For the payload reader, which
  // checks the records afterwards and drops the graph if any is wrong.
  static Graph adopt(std::span<const NodeExtent> nodes, std::vector<GraphEdge> edges,
                     const std::function<void(std::size_t, std::size_t, unsigned char*)>& fill);

 private:
  struct ChunkRef {
    std::shared_ptr<unsigned char[]> bytes;
    std::size_t capacity;
    // Bytes of this chunk that belong to this graph. Other holders of the
    // same chunk may have a shorter prefix, never different bytes.
    std::size_t used;
  };
  // Where a node's bytes start. Its bytes end where the next node of the
  // same chunk starts, or at the chunk's used length.
  struct IndexEntry {
    std::uint32_t chunk;
    std::uint32_t offset;  // chunks larger than 4 GiB hold a single node at 0
    std::uint64_t name_size;
  };

  // Reserves `size` contiguous bytes at the end of the arena and returns
  // where they start, recording the chunk and offset in `entry`.
  unsigned char* append_bytes(std::size_t size, IndexEntry& entry);
  std::size_t node_end(std::size_t position) const noexcept;

  std::vector<ChunkRef> chunks_;
  std::vector<IndexEntry> index_;
  std::vector<GraphEdge> edges_;
};

}  // namespace tessarin::core
