// JSON-like parameter values and key-ordered parameter maps.
//
// A ParamValue is immutable once built. Strings, arrays and objects live in
// reference-counted blocks, so copying a value (which every container copy,
// getter and pipeline run does) costs one atomic increment instead of a deep
// walk. Nothing can change a stored value in place, so sharing is invisible:
// every copy behaves exactly like a deep copy. The counts are atomic because a
// background pipeline run may drop its copy on another thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessarin::core {

// Containers nested deeper than this are refused by every conversion into a
// ParamValue. Every recursive walk over a value (conversion back, copy,
// destruction, JSON writing) is therefore bounded by this depth, which keeps
// the native stack small even on threads with a 256 KiB stack.
inline constexpr int kMaxParamDepth = 255;

enum class ParamKind : std::uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };

class ParamValue;
class ParamMap;

namespace detail {
struct Block {
  std::atomic<std::uint32_t> refs{1};
};
struct StringBlock;
struct ArrayBlock;
struct ObjectBlock;
void release_block(ParamKind kind, Block* block) noexcept;
}  // namespace detail

class ParamValue {
 public:
  ParamValue() noexcept : kind_(ParamKind::Null) { bits_.u = 0; }
  ParamValue(const ParamValue& other) noexcept : kind_(other.kind_), bits_(other.bits_) { retain(); }
  ParamValue(ParamValue&& other) noexcept : kind_(other.kind_), bits_(other.bits_) {
    other.kind_ = ParamKind::Null;
    other.bits_.u = 0;
  }
  ParamValue& operator=(const ParamValue& other) noexcept {
    ParamValue copy(other);
    swap(copy);
    return *this;
  }
  ParamValue& operator=(ParamValue&& other) noexcept {
    ParamValue moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~ParamValue() { release(); }

  void swap(ParamValue& other) noexcept {
    std::swap(kind_, other.kind_);
    std::swap(bits_, other.bits_);
  }

  static ParamValue null() noexcept { return ParamValue(); }
  static ParamValue boolean(bool value) noexcept;
  static ParamValue uinteger(std::uint64_t value) noexcept;
  // Negative integers only: non-negative ones always use the unsigned form so
  // that an integral value has exactly one representation.
  static ParamValue integer(std::int64_t value) noexcept;
  // Any signed value, normalised to the unsigned form when non-negative.
  static ParamValue from_int64(std::int64_t value) noexcept {
    return value < 0 ? integer(value) : uinteger(static_cast<std::uint64_t>(value));
  }
  // Non-finite doubles become null.
  static ParamValue real(double value) noexcept;
  static ParamValue string(std::string_view utf8);
  static ParamValue array(std::vector<ParamValue>&& items);
  static ParamValue object(ParamMap&& map);

  ParamKind kind() const noexcept { return kind_; }
  bool as_bool() const noexcept { return bits_.b; }
  std::uint64_t as_u64() const noexcept { return bits_.u; }
  std::int64_t as_i64() const noexcept { return bits_.i; }
  double as_double() const noexcept { return bits_.d; }
  std::string_view as_string() const noexcept;
  std::span<const ParamValue> as_array() const noexcept;
  const ParamMap& as_object() const noexcept;

  // Nesting depth: 0 for scalars, 1 + the deepest child for containers.
  int depth() const noexcept;

  // Structural equality (1 and 1.0 differ; floats compare bit for bit so that
  // -0.0 and 0.0 differ as they do in the canonical JSON).
  friend bool operator==(const ParamValue& a, const ParamValue& b) noexcept;

 private:
  void retain() const noexcept {
    if (kind_ >= ParamKind::String && bits_.p != nullptr)
      bits_.p->refs.fetch_add(1, std::memory_order_relaxed);
  }
  void release() noexcept {
    if (kind_ >= ParamKind::String && bits_.p != nullptr) detail::release_block(kind_, bits_.p);
  }

  ParamKind kind_;
  union Bits {
    bool b;
    std::uint64_t u;
    std::int64_t i;
    double d;
    detail::Block* p;
  } bits_;
};

struct ParamEntry {
  std::string key;
  ParamValue value;
};

// Map from UTF-8 keys to values, iterated in ascending byte order of the keys
// (byte by byte as unsigned values; a proper prefix sorts first). A sorted
// flat vector: lookups are binary searches and iteration is cache friendly.
class ParamMap {
 public:
  ParamMap() = default;

  // Builds a map from entries in arbitrary order; when a key repeats, the
  // later entry wins, as with repeated inserts.
  static ParamMap from_unsorted(std::vector<ParamEntry>&& entries);

  void insert_or_assign(std::string_view key, ParamValue value);
  const ParamValue* find(std::string_view key) const noexcept;

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  auto begin() const noexcept { return entries_.begin(); }
  auto end() const noexcept { return entries_.end(); }
  const ParamEntry& operator[](std::size_t i) const noexcept { return entries_[i]; }

  friend bool operator==(const ParamMap& a, const ParamMap& b) noexcept;

 private:
  std::vector<ParamEntry> entries_;
};

// The configuration of one model component.
struct ModelConfig {
  std::string name;
  std::string version;
  ParamMap params;
};

}  // namespace tessarin::core
