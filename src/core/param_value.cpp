#include "core/param_value.hpp"

#include "core/arena.hpp"

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
  const ParamEntry* entries() const noexcept {
    return reinterpret_cast<const ParamEntry*>(this + 1);
  }
};

static_assert(sizeof(ArrayBlock) % alignof(ParamValue) == 0);
static_assert(sizeof(ObjectBlock) % alignof(ParamEntry) == 0);

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
  for (std::size_t i = 0; i < items.size(); ++i)
    new (&block->items()[i]) ParamValue(std::move(items[i]));
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
  const ParamEntry* it =
      std::lower_bound(begin(), end(), key,
                       [](const ParamEntry& e, std::string_view k) { return e.key.view() < k; });
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
  for (std::size_t i = 0; i < 8; ++i)
    x = (x << 8) | (i < key.size() ? static_cast<unsigned char>(key[i]) : 0u);
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
  for (std::size_t i = 0; i < n; ++i)
    keys[i] = {key_prefix(entries[i].key), static_cast<std::uint32_t>(i)};
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
  auto it =
      std::lower_bound(entries_.begin(), entries_.end(), key,
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
    arena_ = detail::Arena::create();
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
    std::memcpy(static_cast<void*>(&block->items()[i]), static_cast<const void*>(&items[i]),
                sizeof(ParamValue));
    adopt(items[i]);
  }
  return ParamValue::wrap_block(ParamKind::Array, block);
}

ParamValue ParamArena::object_from_unsorted(std::span<ParamEntry> entries) {
  order_scratch_.resize(entries.size());
  std::uint32_t* order = order_scratch_.data();
  std::size_t count = sorted_order(entries, order, sort_scratch_);
  detail::Arena* a = arena();
  auto* block = new (a->allocate(sizeof(detail::ObjectBlock) + count * sizeof(ParamEntry)))
      detail::ObjectBlock();
  block->arena = a;
  block->size = count;
  a->refs.fetch_add(1, std::memory_order_relaxed);
  for (std::size_t i = 0; i < count; ++i) {
    ParamEntry& e = entries[order[i]];
    std::memcpy(static_cast<void*>(&block->entries()[i]), static_cast<const void*>(&e),
                sizeof(ParamEntry));
    adopt(e.key);
    adopt(e.value);
  }
  // Entries dropped as earlier duplicates are destroyed with the span.
  return ParamValue::wrap_block(ParamKind::Object, block);
}

}  // namespace tessarin::core

namespace tessarin::core {

ParamBuilder::~ParamBuilder() {
  // Still set only when the build failed or its root needed no block.
  if (arena_ != nullptr) detail::Arena::destroy(arena_);
}

detail::Arena* ParamBuilder::arena() {
  if (arena_ == nullptr) {
    arena_ = detail::Arena::create();
    // The builder's credit, handed to the finished root.
    arena_->refs.store(1, std::memory_order_relaxed);
  }
  return arena_;
}

RawParam ParamBuilder::heap_string(std::string_view utf8) {
  detail::Arena* a = arena();
  auto* block = new (a->allocate(sizeof(detail::StringBlock) + utf8.size())) detail::StringBlock();
  block->arena = a;
  block->size = utf8.size();
  std::memcpy(block->data(), utf8.data(), utf8.size());
  ParamValue v = ParamValue::wrap_block(ParamKind::String, block);
  RawParam raw{v.head_, v.bits_.u};
  v.reset_bits();
  return raw;
}

ParamValue* ParamBuilder::array(std::size_t size, RawParam& out) {
  detail::Arena* a = arena();
  auto* block = new (a->allocate(sizeof(detail::ArrayBlock) + size * sizeof(ParamValue)))
      detail::ArrayBlock();
  block->arena = a;
  block->size = size;
  out = {ParamValue::head_of(ParamKind::Array, true, 0),
         reinterpret_cast<std::uintptr_t>(static_cast<detail::Block*>(block))};
  return block->items();
}

ParamEntry* ParamBuilder::object(std::size_t size, RawParam& out) {
  detail::Arena* a = arena();
  auto* block = new (a->allocate(sizeof(detail::ObjectBlock) + size * sizeof(ParamEntry)))
      detail::ObjectBlock();
  block->arena = a;
  block->size = size;
  out = {ParamValue::head_of(ParamKind::Object, true, 0),
         reinterpret_cast<std::uintptr_t>(static_cast<detail::Block*>(block))};
  return block->entries();
}

RawParam ParamBuilder::array_of(std::span<const RawParam> items) {
  RawParam out;
  ParamValue* slots = array(items.size(), out);
  for (std::size_t i = 0; i < items.size(); ++i) set(slots + i, items[i]);
  return out;
}

RawParam ParamBuilder::object_of(std::span<const RawEntry> entries) {
  RawParam out;
  ParamEntry* slots = object(entries.size(), out);
  for (std::size_t i = 0; i < entries.size(); ++i) set(slots + i, entries[i].key, entries[i].value);
  return out;
}

ParamValue ParamBuilder::finish(RawParam root) noexcept {
  if (!ParamValue::raw_is_heap(root)) return ParamValue(root);  // the arena goes with the builder
  arena_ = nullptr;
  return ParamValue(root);
}

namespace {

// A key's first 12 bytes (zero-padded) as big-endian numbers, and its
// position: comparing (w0, w1) as one 128-bit number orders keys like their
// bytes, then by position, up to ties on those 12 bytes that a full
// comparison resolves. An inline key is read straight from the value's words.
struct KeyOrder {
  std::uint64_t w0;  // bytes 0..7
  std::uint64_t w1;  // bytes 8..11 in the upper half, the position in the lower
  std::uint32_t index() const noexcept { return static_cast<std::uint32_t>(w1); }
  std::uint32_t bytes() const noexcept { return static_cast<std::uint32_t>(w1 >> 32); }
};

inline KeyOrder key_order(const ParamKey& key, std::uint32_t index) noexcept {
  std::uint64_t words[2];
  std::memcpy(words, static_cast<const void*>(&key), 16);
  std::uint64_t w0, w1;
  if (std::endian::native == std::endian::little && ((words[0] >> 8) & 0xff) == 0) {
    w0 = __builtin_bswap64((words[0] >> 24) | (words[1] << 40));
    w1 = __builtin_bswap64(words[1] >> 24);
  } else {
    std::string_view view = key.view();
    std::uint64_t w[2] = {0, 0};
    std::memcpy(w, view.data(), std::min<std::size_t>(view.size(), 16));
    w0 = std::endian::native == std::endian::little ? __builtin_bswap64(w[0]) : w[0];
    w1 = std::endian::native == std::endian::little ? __builtin_bswap64(w[1]) : w[1];
  }
  return {w0, (w1 & 0xffffffff00000000ull) | index};
}

// Scratch for sorting, reused by every object sorted on this thread (sorting
// runs no outside code, so it never nests).
struct SortScratch {
  std::vector<KeyOrder> keys;
  std::vector<KeyOrder> spare;
  std::vector<RawEntry> entries;
};

// A small object's keys (all inline) and the order found for them.
// Configuration data repeats one dict shape many times (every layer has the
// same keys, in the same order); such an object then costs one comparison
// of its keys' words instead of a sort.
struct LastOrder {
  static constexpr std::size_t kMax = 32;
  std::size_t n = 0;  // 0: nothing remembered
  std::size_t count = 0;
  bool identity = false;
  std::uint64_t words[kMax][2] = {};
  std::uint8_t order[kMax] = {};
};

// Stable LSD radix sort on the 12 key bytes of (w0, w1), skipping bytes that
// every key shares; ties keep their order (by position). Large objects sort
// in a few linear passes instead of n log n comparisons.
KeyOrder* radix_sort(KeyOrder* keys, KeyOrder* spare, std::size_t n) {
  auto digit = [](const KeyOrder& k, int b) -> unsigned {
    return b < 8 ? static_cast<unsigned>(k.w0 >> (56 - 8 * b)) & 0xff
                 : static_cast<unsigned>(k.w1 >> (56 - 8 * (b - 8))) & 0xff;
  };
  static thread_local std::uint32_t counts[12][256];
  std::memset(counts, 0, sizeof(counts));
  for (std::size_t i = 0; i < n; ++i)
    for (int b = 0; b < 12; ++b) ++counts[b][digit(keys[i], b)];
  for (int b = 11; b >= 0; --b) {
    std::uint32_t* count = counts[b];
    if (count[digit(keys[0], b)] == n) continue;
    std::uint32_t offset = 0;
    for (int d = 0; d < 256; ++d) {
      std::uint32_t c = count[d];
      count[d] = offset;
      offset += c;
    }
    for (std::size_t i = 0; i < n; ++i) spare[count[digit(keys[i], b)]++] = keys[i];
    std::swap(keys, spare);
  }
  return keys;
}

}  // namespace

void ParamBuilder::truncate_object(RawParam object, std::size_t size) noexcept {
  auto* block = reinterpret_cast<detail::ObjectBlock*>(static_cast<std::uintptr_t>(object.bits));
  if (size < block->size) block->size = size;
}

namespace {

// Up to this many entries, a sort's scratch is the thread's, kept for the
// next object; beyond, it is one chunk from the chunk cache (keys, spare
// keys, then the entries' copy), given back when done: a huge object leaves
// no huge scratch behind.
constexpr std::size_t kKeepScratch = 1u << 16;

// The body of ParamBuilder::sort_object; `large` is the chunk's scratch for
// objects over kKeepScratch entries, null otherwise (and then folded away:
// small objects sort with the code they had before the chunk existed).
[[gnu::always_inline]] inline void sort_entries(detail::ObjectBlock* block, KeyOrder* large) {
  const std::size_t n = block->size;
  ParamEntry* entries = block->entries();
  constexpr std::size_t kSmall = 32;
  // From here on, radix passes beat comparisons.
  constexpr std::size_t kRadix = 256;
  KeyOrder small_keys[kSmall];
  // Touched (a thread-local lookup) only for objects larger than kSmall.
  auto scratch_of = []() -> SortScratch& {
    static thread_local SortScratch scratch;
    return scratch;
  };
  KeyOrder* keys = small_keys;
  if (large != nullptr) {
    keys = large;
  } else if (n > kSmall) {
    SortScratch& scratch = scratch_of();
    if (scratch.keys.size() < n) scratch.keys.resize(n);
    keys = scratch.keys.data();
  }
  // Inline keys are equal exactly when their two words are. A few shapes
  // are remembered (a layer dict and the dict nested in it alternate), picked
  // by the size and the first key.
  static thread_local LastOrder remembered[4];
  bool remember = n <= LastOrder::kMax;
  std::uint64_t first[2];
  std::memcpy(first, static_cast<const void*>(&entries[0].key), 16);
  const std::uint64_t pick = first[0] ^ first[1] ^ n;
  LastOrder& last = remembered[(pick ^ (pick >> 29) ^ (pick >> 43)) & 3];
  if (remember) {
    bool same = n == last.n;
    for (std::size_t i = 0; i < n; ++i) {
      std::uint64_t w[2];
      std::memcpy(w, static_cast<const void*>(&entries[i].key), 16);
      remember &= !ParamValue::raw_is_heap({w[0], w[1]});
      same &= w[0] == last.words[i][0] && w[1] == last.words[i][1];
    }
    if (same && remember) {
      if (last.identity) return;
      RawEntry copy[LastOrder::kMax];
      std::memcpy(static_cast<void*>(copy), static_cast<const void*>(entries),
                  n * sizeof(ParamEntry));
      for (std::size_t i = 0; i < last.count; ++i)
        std::memcpy(static_cast<void*>(entries + i), static_cast<const void*>(copy + last.order[i]),
                    sizeof(ParamEntry));
      block->size = last.count;
      return;
    }
  }
  auto note = [&](std::size_t count, bool identity) {
    if (!remember) return;
    last.n = n;
    last.count = count;
    last.identity = identity;
    for (std::size_t i = 0; i < n; ++i)
      std::memcpy(last.words[i], static_cast<const void*>(&entries[i].key), 16);
    for (std::size_t i = 0; i < count && !identity; ++i)
      last.order[i] = static_cast<std::uint8_t>(keys[i].index());
  };
  // Three-way on the keys: words first, then the whole keys.
  auto compare = [&](const KeyOrder& a, const KeyOrder& b) -> int {
    if (a.w0 != b.w0) return a.w0 < b.w0 ? -1 : 1;
    if (a.bytes() != b.bytes()) return a.bytes() < b.bytes() ? -1 : 1;
    return entries[a.index()].key.view().compare(entries[b.index()].key.view());
  };
  bool sorted_unique = true;
  for (std::size_t i = 0; i < n; ++i) {
    keys[i] = key_order(entries[i].key, static_cast<std::uint32_t>(i));
    if (i > 0 && sorted_unique) sorted_unique = compare(keys[i - 1], keys[i]) < 0;
  }
  if (sorted_unique) {
    note(n, true);
    return;
  }
  // Equal keys are ordered by position, so the later duplicate comes last.
  auto less = [&](const KeyOrder& a, const KeyOrder& b) {
    int c = compare(a, b);
    return c != 0 ? c < 0 : a.index() < b.index();
  };
  auto insertion_sort = [&](KeyOrder* first, KeyOrder* last) {
    for (KeyOrder* i = first + 1; i < last; ++i) {
      KeyOrder k = *i;
      KeyOrder* j = i;
      while (j > first && less(k, j[-1])) {
        *j = j[-1];
        --j;
      }
      *j = k;
    }
  };
  if (n <= kSmall) {
    insertion_sort(keys, keys + n);
  } else {
    // Whole-number order only; then runs that tie on the first 12 bytes
    // (usually none) are put in full key order.
    if (n < kRadix) {
      std::sort(keys, keys + n, [](const KeyOrder& a, const KeyOrder& b) {
        return a.w0 != b.w0 ? a.w0 < b.w0 : a.w1 < b.w1;
      });
    } else {
      KeyOrder* spare = keys + n;
      if (large == nullptr) {
        SortScratch& scratch = scratch_of();
        if (scratch.spare.size() < n) scratch.spare.resize(n);
        spare = scratch.spare.data();
      }
      KeyOrder* sorted = radix_sort(keys, spare, n);
      if (sorted != keys)
        std::memcpy(static_cast<void*>(keys), static_cast<const void*>(sorted),
                    n * sizeof(KeyOrder));
    }
    for (std::size_t i = 0; i < n;) {
      std::size_t j = i + 1;
      while (j < n && keys[j].w0 == keys[i].w0 && keys[j].bytes() == keys[i].bytes()) ++j;
      if (j - i > kSmall) {
        std::sort(keys + i, keys + j, less);
      } else if (j - i > 1) {
        insertion_sort(keys + i, keys + j);
      }
      i = j;
    }
  }
  // Of equal keys keep the last; decided before any entry moves, since the
  // comparison reads the entries in place.
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 1 < n && compare(keys[i], keys[i + 1]) == 0) continue;
    keys[count++] = keys[i];
  }
  note(count, false);  // before the entries move: it reads their keys
  // Arena entries are plain words (never destroyed one by one): permute them
  // through a copy. A dropped duplicate's blocks simply stay in the arena.
  static_assert(sizeof(RawEntry) == sizeof(ParamEntry));
  RawEntry small_copy[kSmall];
  RawEntry* copy = small_copy;
  if (large != nullptr) {
    copy = reinterpret_cast<RawEntry*>(keys + 2 * n);
  } else if (n > kSmall) {
    SortScratch& scratch = scratch_of();
    if (scratch.entries.size() < n) scratch.entries.resize(n);
    copy = scratch.entries.data();
  }
  std::memcpy(static_cast<void*>(copy), static_cast<const void*>(entries), n * sizeof(ParamEntry));
  for (std::size_t i = 0; i < count; ++i)
    std::memcpy(static_cast<void*>(entries + i), static_cast<const void*>(copy + keys[i].index()),
                sizeof(ParamEntry));
  block->size = count;
}

[[gnu::noinline]] void sort_large_entries(detail::ObjectBlock* block) {
  detail::ScratchChunk scratch(block->size * (2 * sizeof(KeyOrder) + sizeof(RawEntry)));
  sort_entries(block, static_cast<KeyOrder*>(scratch.data()));
}

}  // namespace

void ParamBuilder::sort_object(RawParam object) {
  auto* block = reinterpret_cast<detail::ObjectBlock*>(static_cast<std::uintptr_t>(object.bits));
  const std::size_t n = block->size;
  if (n < 2) return;
  if (n > kKeepScratch) [[unlikely]]
    return sort_large_entries(block);
  sort_entries(block, nullptr);
}

}  // namespace tessarin::core
