#include "core/graph.hpp"

#include "core/canonical_json.hpp"
#include "core/sha256.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace tessarin::core {

namespace {

// Scratch space for one configuration's JSON (Graph::ConfigText). Kept per
// thread so that adding nodes does not allocate once it has warmed up; not
// kept after an unusually large configuration, so that one 10 MB node does
// not pin 10 MB for good.
thread_local std::string t_json;
constexpr std::size_t kKeepScratch = std::size_t{1} << 16;

void store_u64_le(unsigned char* out, std::uint64_t value) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &value, sizeof value);
  } else {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

// Makes room for one more element with the usual geometric growth, so that
// the push_back that follows cannot fail.
template <class T>
void reserve_one_more(std::vector<T>& v) {
  if (v.size() == v.capacity()) v.reserve(v.empty() ? 8 : v.size() * 2);
}

}  // namespace

unsigned char* Graph::append_bytes(std::size_t size, IndexEntry& entry) {
  // Only the sole holder of the last chunk may write into its free space.
  // Other holders (copies of this graph, possibly being hashed on a worker
  // thread without the interpreter lock) only ever read their own prefix of
  // the chunk, and nobody writes below any holder's prefix, so a write into
  // the free space could only race with a reader that shares the chunk.
  //
  // Seeing a use count of 1 rules that out: the count grows only by copying
  // a graph that holds the chunk, and the only holder left is this graph,
  // which is being appended to and so cannot be copied at the same time
  // (its owner holds exclusive access under the interpreter lock). A count
  // above 1 may drop concurrently as a copy is destroyed elsewhere; then we
  // merely start a chunk we did not need. The acquire fence orders our
  // writes after the reads that other holders made before they let go.
  if (!chunks_.empty()) {
    ChunkRef& last = chunks_.back();
    if (last.capacity - last.used >= size && last.bytes.use_count() == 1) {
      std::atomic_thread_fence(std::memory_order_acquire);
      entry.chunk = static_cast<std::uint32_t>(chunks_.size() - 1);
      entry.offset = static_cast<std::uint32_t>(last.used);
      unsigned char* at = last.bytes.get() + last.used;
      last.used += size;
      return at;
    }
  }
  // The next chunk doubles what this graph put into the last one, within
  // [kFirstChunk, kMaxChunk]: a steadily growing graph gets geometrically
  // larger chunks, while a graph that is copied and kept between single
  // appends (each copy pins the chunk it saw) starts small again each time.
  std::size_t capacity = kFirstChunk;
  if (!chunks_.empty()) {
    capacity = std::clamp(chunks_.back().used * 2, kFirstChunk, kMaxChunk);
  }
  capacity = std::max(capacity, size);
  if (chunks_.size() >= std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("graph arena has too many chunks");
  }
  reserve_one_more(chunks_);
  ChunkRef chunk{std::make_shared_for_overwrite<unsigned char[]>(capacity), capacity, size};
  entry.chunk = static_cast<std::uint32_t>(chunks_.size());
  entry.offset = 0;
  chunks_.push_back(std::move(chunk));
  return chunks_.back().bytes.get();
}

Graph::ConfigText::ConfigText(const ModelConfig& config) {
  text_.swap(t_json);
  text_.clear();
  append_canonical_config(text_, config);
}

Graph::ConfigText::~ConfigText() {
  if (text_.capacity() <= kKeepScratch) t_json.swap(text_);
}

std::uint64_t Graph::add_node(std::string_view name, const ModelConfig& config) {
  return add_node(name, ConfigText(config));
}

std::uint64_t Graph::add_node(std::string_view name, const ConfigText& config) {
  const std::string& json = config.text_;
  const std::uint64_t id = static_cast<std::uint64_t>(index_.size()) + 1;
  // Everything that can fail happens before the graph changes.
  reserve_one_more(index_);
  IndexEntry entry{};
  entry.name_size = name.size();
  unsigned char* out = append_bytes(8 + name.size() + json.size(), entry);
  store_u64_le(out, id);
  if (!name.empty()) std::memcpy(out + 8, name.data(), name.size());
  std::memcpy(out + 8 + name.size(), json.data(), json.size());
  index_.push_back(entry);
  return id;
}

std::size_t Graph::node_end(std::size_t position) const noexcept {
  const IndexEntry& entry = index_[position];
  if (position + 1 < index_.size() && index_[position + 1].chunk == entry.chunk) {
    return index_[position + 1].offset;
  }
  return chunks_[entry.chunk].used;
}

NodeRecord Graph::node(std::size_t position) const noexcept {
  const IndexEntry& entry = index_[position];
  const auto* bytes =
      reinterpret_cast<const char*>(chunks_[entry.chunk].bytes.get()) + entry.offset;
  const std::size_t total = node_end(position) - entry.offset;
  const std::size_t json_size = total - 8 - entry.name_size;
  return NodeRecord{
      static_cast<std::uint64_t>(position) + 1,
      std::string_view(bytes + 8, entry.name_size),
      std::string_view(bytes + 8 + entry.name_size, json_size),
  };
}

bool Graph::node_config(std::size_t position, ModelConfig& out) const {
  return parse_canonical_config(node(position).config_json, out);
}

namespace {

// Feeds a hash in slices, asking the interrupt check whenever another
// kInterruptCheckBytes have gone in since it last asked. Without a check the
// bytes go in whole.
class CheckedFeed {
 public:
  CheckedFeed(Sha256& sha, InterruptCheck check) noexcept : sha_(sha), check_(check) {}

  // False once the check asked to stop; nothing more is fed then.
  bool feed(const void* data, std::size_t size) {
    if (check_ == nullptr) {
      sha_.update(data, size);
      return true;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size != 0) {
      if (since_check_ >= kInterruptCheckBytes) {
        if (check_()) return false;
        since_check_ = 0;
      }
      const std::size_t slice = std::min(size, kInterruptCheckBytes - since_check_);
      sha_.update(bytes, slice);
      bytes += slice;
      size -= slice;
      since_check_ += slice;
    }
    return true;
  }

 private:
  Sha256& sha_;
  InterruptCheck check_;
  std::size_t since_check_ = 0;
};

}  // namespace

std::optional<std::array<std::uint8_t, 32>> Graph::stable_digest(InterruptCheck check) const {
  Sha256 sha;
  CheckedFeed feed(sha, check);
  for (const ChunkRef& chunk : chunks_) {
    if (!feed.feed(chunk.bytes.get(), chunk.used)) return std::nullopt;
  }
  if constexpr (std::endian::native == std::endian::little) {
    if (!feed.feed(edges_.data(), edges_.size() * sizeof(GraphEdge))) return std::nullopt;
  } else {
    for (const GraphEdge& edge : edges_) {
      unsigned char pair[16];
      store_u64_le(pair, edge.from);
      store_u64_le(pair + 8, edge.to);
      if (!feed.feed(pair, sizeof pair)) return std::nullopt;
    }
  }
  return sha.finish();
}

std::array<std::uint8_t, 32> Graph::stable_digest() const noexcept {
  return *stable_digest(nullptr);
}

std::string Graph::stable_hash() const { return sha256_hex(stable_digest()); }

std::optional<std::string> Graph::stable_hash(InterruptCheck check) const {
  std::optional<std::array<std::uint8_t, 32>> digest = stable_digest(check);
  if (!digest) return std::nullopt;
  return sha256_hex(*digest);
}

std::size_t Graph::arena_capacity() const noexcept {
  std::size_t total = 0;
  for (const ChunkRef& chunk : chunks_) total += chunk.capacity;
  return total;
}

Graph Graph::adopt(std::span<const NodeExtent> nodes, std::vector<GraphEdge> edges,
                   const std::function<void(std::size_t, std::size_t, unsigned char*)>& fill) {
  // Index offsets are 32-bit: chunks stay below 1 GiB, except that a node
  // larger than that gets a chunk of its own (at offset 0).
  constexpr std::size_t kAdoptChunk = std::size_t{1} << 30;
  Graph graph;
  graph.index_.reserve(nodes.size());
  graph.edges_ = std::move(edges);
  std::size_t i = 0;
  while (i < nodes.size()) {
    std::size_t end = i;
    std::size_t bytes = 0;
    while (end < nodes.size() && (end == i || bytes + nodes[end].size <= kAdoptChunk)) {
      bytes += static_cast<std::size_t>(nodes[end].size);
      ++end;
    }
    if (graph.chunks_.size() >= std::numeric_limits<std::uint32_t>::max()) {
      throw std::length_error("graph arena has too many chunks");
    }
    ChunkRef chunk{std::make_shared_for_overwrite<unsigned char[]>(bytes), bytes, bytes};
    fill(i, end, chunk.bytes.get());
    const auto chunk_index = static_cast<std::uint32_t>(graph.chunks_.size());
    graph.chunks_.push_back(std::move(chunk));
    std::size_t offset = 0;
    for (; i < end; ++i) {
      graph.index_.push_back(
          IndexEntry{chunk_index, static_cast<std::uint32_t>(offset), nodes[i].name_size});
      offset += static_cast<std::size_t>(nodes[i].size);
    }
  }
  return graph;
}

}  // namespace tessarin::core
