#include "core/param_value.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace tessarin::core {

namespace detail {

// Every block is one allocation: a header followed by its bytes, items or
// entries.
struct StringBlock : Block {
  std::size_t size;
  const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
};

struct ArrayBlock : Block {
  std::size_t size;
  ParamValue* items() noexcept { return reinterpret_cast<ParamValue*>(this + 1); }
  const ParamValue* items() const noexcept { return reinterpret_cast<const ParamValue*>(this + 1); }
};

struct ObjectBlock : Block {
  std::size_t size;
  ParamEntry* entries() noexcept { return reinterpret_cast<ParamEntry*>(this + 1); }
  const ParamEntry* entries() const noexcept { return reinterpret_cast<const ParamEntry*>(this + 1); }
};

static_assert(sizeof(ArrayBlock) % alignof(ParamValue) == 0);
static_assert(sizeof(ObjectBlock) % alignof(ParamEntry) == 0);

class Arena : public ArenaCount {
 public:
  // 8-byte aligned storage that lives as long as the arena.
  void* allocate(std::size_t size) {
    size = (size + 7) & ~std::size_t{7};
    if (static_cast<std::size_t>(end_ - cur_) < size) grow(size);
    void* p = cur_;
    cur_ += size;
    return p;
  }

  void add_foreign(ParamKind kind, Block* block) { foreign_.push_back({kind, block}); }

  static void destroy(Arena* arena) noexcept {
    for (auto& [kind, block] : arena->foreign_) release_block(kind, block);
    Chunk* chunk = arena->head_;
    while (chunk != nullptr) {
      Chunk* next = chunk->next;
      ::operator delete(static_cast<void*>(chunk));
      chunk = next;
    }
    delete arena;
  }

 private:
  struct Chunk {
    Chunk* next;
  };
  // Chunks start small (most values are small) and double up to 64 KiB, so
  // the unused tail of an arena is bounded by its last chunk.
  void grow(std::size_t need) {
    std::size_t size = std::max(next_size_, need + sizeof(Chunk));
    next_size_ = std::min<std::size_t>(next_size_ * 2, 64 * 1024);
    auto* chunk = static_cast<Chunk*>(::operator new(size));
    chunk->next = head_;
    head_ = chunk;
    cur_ = reinterpret_cast<char*>(chunk + 1);
    end_ = reinterpret_cast<char*>(chunk) + size;
  }

  Chunk* head_ = nullptr;
  char* cur_ = nullptr;
  char* end_ = nullptr;
  std::size_t next_size_ = 256;
  std::vector<std::pair<ParamKind, Block*>> foreign_;
};

static_assert(std::is_standard_layout_v<ArenaCount>);

void release_block(ParamKind kind, Block* block) noexcept {
  // acq_rel: the thread that frees must see every write made by the others
  // before they dropped their references.
  if (block->arena != nullptr) {
    Arena* arena = block->arena;
    if (arena->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) Arena::destroy(arena);
    return;
  }
  if (block->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  switch (kind) {
    case ParamKind::String:
      static_cast<StringBlock*>(block)->~StringBlock();
      break;
    case ParamKind::Array: {
      auto* a = static_cast<ArrayBlock*>(block);
      for (std::size_t i = 0; i < a->size; ++i) a->items()[i].~ParamValue();
      a->~ArrayBlock();
      break;
    }
    case ParamKind::Object: {
      auto* o = static_cast<ObjectBlock*>(block);
      for (std::size_t i = 0; i < o->size; ++i) o->entries()[i].~ParamEntry();
      o->~ObjectBlock();
      break;
    }
    default:
      return;
  }
  ::operator delete(static_cast<void*>(block));
}

}  // namespace detail

ParamValue ParamValue::heap_string(std::string_view utf8) {
  void* raw = ::operator new(sizeof(detail::StringBlock) + utf8.size());
  auto* block = new (raw) detail::StringBlock();
  block->size = utf8.size();
  std::memcpy(block->data(), utf8.data(), utf8.size());
  return ParamValue::wrap_block(ParamKind::String, block);
}

ParamValue ParamValue::array(std::span<ParamValue> items) {
  void* raw = ::operator new(sizeof(detail::ArrayBlock) + items.size() * sizeof(ParamValue));
  auto* block = new (raw) detail::ArrayBlock();
  block->size = items.size();
  for (std::size_t i = 0; i < items.size(); ++i) new (&block->items()[i]) ParamValue(std::move(items[i]));
  return ParamValue::wrap_block(ParamKind::Array, block);
}

ParamValue ParamValue::array(std::vector<ParamValue>&& items) {
  ParamValue v = array(std::span<ParamValue>(items));
  items.clear();
  return v;
}

ParamValue ParamValue::object_from_sorted(std::span<ParamEntry> entries) {
  void* raw = ::operator new(sizeof(detail::ObjectBlock) + entries.size() * sizeof(ParamEntry));
  auto* block = new (raw) detail::ObjectBlock();
  block->size = entries.size();
  for (std::size_t i = 0; i < entries.size(); ++i)
    new (&block->entries()[i]) ParamEntry(std::move(entries[i]));
  return ParamValue::wrap_block(ParamKind::Object, block);
}

ParamValue ParamValue::object(ParamMap&& map) {
  // A ParamMap keeps its entries sorted and unique already.
  ParamValue v = object_from_sorted(map.entries_);
  map.entries_.clear();
  return v;
}

std::string_view ParamValue::as_string() const noexcept {
  if (!is_heap()) return {inline_chars(), small_len()};
  auto* s = static_cast<const detail::StringBlock*>(bits_.p);
  return {s->data(), s->size};
}

std::span<const ParamValue> ParamValue::as_array() const noexcept {
  auto* a = static_cast<const detail::ArrayBlock*>(bits_.p);
  return {a->items(), a->size};
}

ParamMapView ParamValue::as_object() const noexcept {
  auto* o = static_cast<const detail::ObjectBlock*>(bits_.p);
  return {o->entries(), o->size};
}

int ParamValue::depth() const noexcept {
  int deepest = 0;
  if (kind() == ParamKind::Array) {
    for (const ParamValue& item : as_array()) deepest = std::max(deepest, item.depth());
    return deepest + 1;
  }
  if (kind() == ParamKind::Object) {
    for (const ParamEntry& entry : as_object()) deepest = std::max(deepest, entry.value.depth());
    return deepest + 1;
  }
  return 0;
}

bool operator==(const ParamValue& a, const ParamValue& b) noexcept {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case ParamKind::Null:
      return true;
    case ParamKind::Bool:
      return a.bits_.b == b.bits_.b;
    case ParamKind::UInt:
    case ParamKind::Int:
    case ParamKind::Float:
      return a.bits_.u == b.bits_.u;
    case ParamKind::String:
      return a.as_string() == b.as_string();
    case ParamKind::Array: {
      if (a.bits_.p == b.bits_.p) return true;
      auto x = a.as_array();
      auto y = b.as_array();
      return std::equal(x.begin(), x.end(), y.begin(), y.end());
    }
    case ParamKind::Object:
      return a.bits_.p == b.bits_.p || a.as_object() == b.as_object();
  }
  return false;
}

const ParamValue* ParamMapView::find(std::string_view key) const noexcept {
  const ParamEntry* it = std::lower_bound(
      begin(), end(), key, [](const ParamEntry& e, std::string_view k) { return e.key.view() < k; });
  if (it != end() && it->key.view() == key) return &it->value;
  return nullptr;
}

bool operator==(ParamMapView a, ParamMapView b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].key != b[i].key || !(a[i].value == b[i].value)) return false;
  }
  return true;
}

namespace {

// The first 8 key bytes as a big-endian number: comparing these numbers
// orders keys like comparing their bytes, up to ties that memcmp resolves.
inline std::uint64_t key_prefix(std::string_view key) noexcept {
  // Keys of 8 bytes or more: one load. Inline keys can also be read 8 bytes
  // at a time (the inline area holds 13), but shorter heap-free views may
  // end anywhere, so those take the byte loop.
  std::uint64_t x = 0;
  if (key.size() >= 8) {
    std::memcpy(&x, key.data(), 8);
    return __builtin_bswap64(x);
  }
  for (std::size_t i = 0; i < 8; ++i) x = (x << 8) | (i < key.size() ? static_cast<unsigned char>(key[i]) : 0u);
  return x;
}


}  // namespace

// Computes the positions of the entries to keep, in ascending key order; of
// equal keys only the last one survives (a later insert replaces an earlier
// one). Returns the number kept, written to order[0..count).
static std::size_t sorted_order(std::span<const ParamEntry> entries, std::uint32_t* order,
                                std::vector<detail::SortKey>& scratch) {
  const std::size_t n = entries.size();
  // Sort (prefix, position) pairs; ties on equal keys are broken by
  // position so the later duplicate comes last.
  scratch.resize(n);
  detail::SortKey* keys = scratch.data();
  for (std::size_t i = 0; i < n; ++i) keys[i] = {key_prefix(entries[i].key), static_cast<std::uint32_t>(i)};
  auto less = [&](const detail::SortKey& a, const detail::SortKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    int c = entries[a.index].key.view().compare(entries[b.index].key.view());
    if (c != 0) return c < 0;
    return a.index < b.index;
  };
  bool sorted_unique = true;
  for (std::size_t i = 1; i < n && sorted_unique; ++i) {
    sorted_unique = keys[i - 1].prefix < keys[i].prefix ||
                    (keys[i - 1].prefix == keys[i].prefix && entries[i - 1].key < entries[i].key);
  }
  if (sorted_unique) {
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
    return n;
  }
  if (n <= 32) {
    for (std::size_t i = 1; i < n; ++i) {
      detail::SortKey k = keys[i];
      std::size_t j = i;
      while (j > 0 && less(k, keys[j - 1])) {
        keys[j] = keys[j - 1];
        --j;
      }
      keys[j] = k;
    }
  } else {
    std::sort(keys, keys + n, less);
  }
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 1 < n && entries[keys[i + 1].index].key == entries[keys[i].index].key) continue;
    order[count++] = keys[i].index;
  }
  return count;
}

ParamMap ParamMap::from_unsorted(std::vector<ParamEntry>&& entries) {
  std::vector<detail::SortKey> scratch;
  std::vector<std::uint32_t> order(entries.size());
  const std::size_t count = sorted_order(entries, order.data(), scratch);
  ParamMap map;
  map.entries_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) map.entries_.push_back(std::move(entries[order[i]]));
  return map;
}

void ParamMap::insert_or_assign(std::string_view key, ParamValue value) {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                             [](const ParamEntry& e, std::string_view k) { return e.key.view() < k; });
  if (it != entries_.end() && std::string_view(it->key) == key) {
    it->value = std::move(value);
    return;
  }
  entries_.insert(it, ParamEntry{ParamKey(key), std::move(value)});
}

}  // namespace tessarin::core

namespace tessarin::core {

ParamArena::~ParamArena() {
  if (arena_ != nullptr && arena_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
    detail::Arena::destroy(arena_);
}

detail::Arena* ParamArena::arena() {
  if (arena_ == nullptr) {
    arena_ = new detail::Arena();
    // The builder's own reference keeps the arena alive while it builds,
    // even if every value made so far is dropped (a failed conversion).
    arena_->refs.store(1, std::memory_order_relaxed);
  }
  return arena_;
}

void ParamArena::adopt(ParamValue& child) noexcept {
  if (!child.is_heap()) return;
  detail::Block* block = child.bits_.p;
  if (block->arena == arena_) {
    // Held by a block of the same arena from now on: not counted.
    arena_->refs.fetch_sub(1, std::memory_order_relaxed);
  } else {
    arena_->add_foreign(child.kind(), block);
  }
  child.reset_bits();
}

void ParamArena::adopt(ParamKey& key) noexcept { adopt(key.text_); }

ParamValue ParamArena::string(std::string_view utf8) {
  if (utf8.size() <= ParamValue::kInlineStringCapacity) return ParamValue::string(utf8);
  detail::Arena* a = arena();
  auto* block = new (a->allocate(sizeof(detail::StringBlock) + utf8.size())) detail::StringBlock();
  block->arena = a;
  block->size = utf8.size();
  std::memcpy(block->data(), utf8.data(), utf8.size());
  a->refs.fetch_add(1, std::memory_order_relaxed);
  return ParamValue::wrap_block(ParamKind::String, block);
}

ParamValue ParamArena::array(std::span<ParamValue> items) {
  detail::Arena* a = arena();
  auto* block = new (a->allocate(sizeof(detail::ArrayBlock) + items.size() * sizeof(ParamValue)))
      detail::ArrayBlock();
  block->arena = a;
  block->size = items.size();
  a->refs.fetch_add(1, std::memory_order_relaxed);
  for (std::size_t i = 0; i < items.size(); ++i) {
    // Copy the bits first, then let the arena take over the reference.
    std::memcpy(static_cast<void*>(&block->items()[i]), static_cast<const void*>(&items[i]), sizeof(ParamValue));
    adopt(items[i]);
  }
  return ParamValue::wrap_block(ParamKind::Array, block);
}

ParamValue ParamArena::object_from_unsorted(std::span<ParamEntry> entries) {
  order_scratch_.resize(entries.size());
  std::uint32_t* order = order_scratch_.data();
  std::size_t count = sorted_order(entries, order, sort_scratch_);
  detail::Arena* a = arena();
  auto* block = new (a->allocate(sizeof(detail::ObjectBlock) + count * sizeof(ParamEntry))) detail::ObjectBlock();
  block->arena = a;
  block->size = count;
  a->refs.fetch_add(1, std::memory_order_relaxed);
  for (std::size_t i = 0; i < count; ++i) {
    ParamEntry& e = entries[order[i]];
    std::memcpy(static_cast<void*>(&block->entries()[i]), static_cast<const void*>(&e), sizeof(ParamEntry));
    adopt(e.key);
    adopt(e.value);
  }
  // Entries dropped as earlier duplicates are destroyed with the span.
  return ParamValue::wrap_block(ParamKind::Object, block);
}

}  // namespace tessarin::core
