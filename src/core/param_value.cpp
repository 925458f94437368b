#include "core/param_value.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tessarin::core {

namespace detail {

// String bytes follow the header in the same allocation.
struct StringBlock : Block {
  std::size_t size;
  const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
};

struct ArrayBlock : Block {
  std::vector<ParamValue> items;
};

struct ObjectBlock : Block {
  ParamMap map;
};

void release_block(ParamKind kind, Block* block) noexcept {
  // acq_rel: the thread that frees must see every write made by the others
  // before they dropped their references.
  if (block->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  switch (kind) {
    case ParamKind::String: {
      auto* s = static_cast<StringBlock*>(block);
      s->~StringBlock();
      ::operator delete(static_cast<void*>(s));
      break;
    }
    case ParamKind::Array:
      delete static_cast<ArrayBlock*>(block);
      break;
    case ParamKind::Object:
      delete static_cast<ObjectBlock*>(block);
      break;
    default:
      break;
  }
}

}  // namespace detail

ParamValue ParamValue::boolean(bool value) noexcept {
  ParamValue v;
  v.kind_ = ParamKind::Bool;
  v.bits_.u = 0;
  v.bits_.b = value;
  return v;
}

ParamValue ParamValue::uinteger(std::uint64_t value) noexcept {
  ParamValue v;
  v.kind_ = ParamKind::UInt;
  v.bits_.u = value;
  return v;
}

ParamValue ParamValue::integer(std::int64_t value) noexcept {
  ParamValue v;
  v.kind_ = ParamKind::Int;
  v.bits_.i = value;
  return v;
}

ParamValue ParamValue::real(double value) noexcept {
  if (!std::isfinite(value)) return ParamValue();
  ParamValue v;
  v.kind_ = ParamKind::Float;
  v.bits_.d = value;
  return v;
}

ParamValue ParamValue::string(std::string_view utf8) {
  ParamValue v;
  if (utf8.empty()) {
    // The empty string needs no block: a null pointer stands for it.
    v.kind_ = ParamKind::String;
    v.bits_.p = nullptr;
    return v;
  }
  void* raw = ::operator new(sizeof(detail::StringBlock) + utf8.size());
  auto* block = new (raw) detail::StringBlock();
  block->size = utf8.size();
  std::memcpy(block->data(), utf8.data(), utf8.size());
  v.kind_ = ParamKind::String;
  v.bits_.p = block;
  return v;
}

ParamValue ParamValue::array(std::vector<ParamValue>&& items) {
  auto* block = new detail::ArrayBlock();
  block->items = std::move(items);
  ParamValue v;
  v.kind_ = ParamKind::Array;
  v.bits_.p = block;
  return v;
}

ParamValue ParamValue::object(ParamMap&& map) {
  auto* block = new detail::ObjectBlock();
  block->map = std::move(map);
  ParamValue v;
  v.kind_ = ParamKind::Object;
  v.bits_.p = block;
  return v;
}

std::string_view ParamValue::as_string() const noexcept {
  if (bits_.p == nullptr) return {};
  auto* s = static_cast<const detail::StringBlock*>(bits_.p);
  return {s->data(), s->size};
}

std::span<const ParamValue> ParamValue::as_array() const noexcept {
  return static_cast<const detail::ArrayBlock*>(bits_.p)->items;
}

const ParamMap& ParamValue::as_object() const noexcept {
  return static_cast<const detail::ObjectBlock*>(bits_.p)->map;
}

int ParamValue::depth() const noexcept {
  int deepest = 0;
  if (kind_ == ParamKind::Array) {
    for (const ParamValue& item : as_array()) deepest = std::max(deepest, item.depth());
    return deepest + 1;
  }
  if (kind_ == ParamKind::Object) {
    for (const ParamEntry& entry : as_object()) deepest = std::max(deepest, entry.value.depth());
    return deepest + 1;
  }
  return 0;
}

bool operator==(const ParamValue& a, const ParamValue& b) noexcept {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
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

namespace {
struct KeyLess {
  bool operator()(const ParamEntry& e, std::string_view key) const noexcept {
    return std::string_view(e.key) < key;
  }
};
}  // namespace

ParamMap ParamMap::from_unsorted(std::vector<ParamEntry>&& entries) {
  ParamMap map;
  map.entries_ = std::move(entries);
  auto& v = map.entries_;
  bool sorted_unique = true;
  for (std::size_t i = 1; i < v.size(); ++i) {
    if (!(v[i - 1].key < v[i].key)) {
      sorted_unique = false;
      break;
    }
  }
  if (sorted_unique) return map;
  std::stable_sort(v.begin(), v.end(),
                   [](const ParamEntry& a, const ParamEntry& b) { return a.key < b.key; });
  // Equal keys are adjacent and in arrival order: keep the last of each run.
  std::size_t out = 0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i + 1 < v.size() && v[i + 1].key == v[i].key) continue;
    if (out != i) v[out] = std::move(v[i]);
    ++out;
  }
  v.erase(v.begin() + static_cast<std::ptrdiff_t>(out), v.end());
  return map;
}

void ParamMap::insert_or_assign(std::string_view key, ParamValue value) {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), key, KeyLess{});
  if (it != entries_.end() && std::string_view(it->key) == key) {
    it->value = std::move(value);
    return;
  }
  entries_.insert(it, ParamEntry{std::string(key), std::move(value)});
}

const ParamValue* ParamMap::find(std::string_view key) const noexcept {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), key, KeyLess{});
  if (it != entries_.end() && std::string_view(it->key) == key) return &it->value;
  return nullptr;
}

bool operator==(const ParamMap& a, const ParamMap& b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a.entries_[i].key != b.entries_[i].key || !(a.entries_[i].value == b.entries_[i].value))
      return false;
  }
  return true;
}

}  // namespace tessarin::core
