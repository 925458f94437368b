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
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
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
class ParamBuilder;
class ParamMap;
class ParamMapView;
struct ParamEntry;

// The two words a value slot holds, as a plain copy that owns nothing. A
// ParamBuilder hands these around (in registers) while it builds a value in
// its arena; only the finished root becomes an owning ParamValue.
struct RawParam {
  std::uint64_t head;
  std::uint64_t bits;
};
struct RawEntry {
  RawParam key;
  RawParam value;
};

namespace detail {
class Arena;
// Header of every shared block. A block either stands alone, counting its
// own references, or lives in an arena, which counts the references for all
// of its blocks at once (see ParamArena).
struct Block {
  std::atomic<std::uint64_t> refs{1};
  Arena* arena = nullptr;
};
struct SortKey {
  std::uint64_t prefix;
  std::uint32_t index;
};
struct ArenaCount {
  std::atomic<std::uint64_t> refs{0};
};
struct StringBlock;
struct ArrayBlock;
struct ObjectBlock;
void release_block(ParamKind kind, Block* block) noexcept;
inline void retain_block(Block* block) noexcept;
}  // namespace detail

class ParamValue {
 public:
  ParamValue() noexcept : head_(0), bits_{.u = 0} {}
  ParamValue(const ParamValue& other) noexcept {
    copy_bits(other);
    retain();
  }
  ParamValue(ParamValue&& other) noexcept {
    copy_bits(other);
    other.reset_bits();
  }
  ParamValue& operator=(const ParamValue& other) noexcept {
    other.retain();
    release();
    copy_bits(other);
    return *this;
  }
  ParamValue& operator=(ParamValue&& other) noexcept {
    if (this != &other) {
      release();
      copy_bits(other);
      other.reset_bits();
    }
    return *this;
  }
  ~ParamValue() { release(); }

  void swap(ParamValue& other) noexcept {
    ParamValue tmp(std::move(other));
    other.copy_bits(*this);
    copy_bits(tmp);
    tmp.reset_bits();
  }

  static ParamValue null() noexcept { return ParamValue(); }
  static ParamValue boolean(bool value) noexcept {
    ParamValue v;
    v.head_ = head_of(ParamKind::Bool, false, 0);
    v.bits_.b = value;
    return v;
  }
  static ParamValue uinteger(std::uint64_t value) noexcept {
    ParamValue v;
    v.head_ = head_of(ParamKind::UInt, false, 0);
    v.bits_.u = value;
    return v;
  }
  // Negative integers only: non-negative ones always use the unsigned form so
  // that an integral value has exactly one representation.
  static ParamValue integer(std::int64_t value) noexcept {
    ParamValue v;
    v.head_ = head_of(ParamKind::Int, false, 0);
    v.bits_.i = value;
    return v;
  }
  // Any signed value, normalised to the unsigned form when non-negative.
  static ParamValue from_int64(std::int64_t value) noexcept {
    return value < 0 ? integer(value) : uinteger(static_cast<std::uint64_t>(value));
  }
  // Non-finite doubles become null.
  static ParamValue real(double value) noexcept {
    ParamValue v;
    // Non-finite values stay null: NaN and infinities are not JSON numbers.
    if (value - value == 0.0) {
      v.head_ = head_of(ParamKind::Float, false, 0);
      v.bits_.d = value;
    }
    return v;
  }
  static ParamValue string(std::string_view utf8) {
    if (utf8.size() > kInlineStringCapacity) return heap_string(utf8);
    ParamValue v;
    v.head_ = head_of(ParamKind::String, false, static_cast<std::uint8_t>(utf8.size()));
    if (!utf8.empty()) std::memcpy(v.inline_chars(), utf8.data(), utf8.size());
    return v;
  }
  // The raw words of scalar values and of short strings, built in registers:
  // written as two whole words, they forward from the store buffer to the
  // next reader instead of stalling on a byte-and-word mix.
  static RawParam raw_null() noexcept { return {0, 0}; }
  static RawParam raw_bool(bool value) noexcept {
    return {head_of(ParamKind::Bool, false, 0), value ? 1u : 0u};
  }
  static RawParam raw_uint(std::uint64_t value) noexcept {
    return {head_of(ParamKind::UInt, false, 0), value};
  }
  static RawParam raw_int(std::int64_t value) noexcept {
    return value < 0
               ? RawParam{head_of(ParamKind::Int, false, 0), static_cast<std::uint64_t>(value)}
               : raw_uint(static_cast<std::uint64_t>(value));
  }
  static RawParam raw_real(double value) noexcept {
    if (value - value != 0.0) return raw_null();
    return {head_of(ParamKind::Float, false, 0), std::bit_cast<std::uint64_t>(value)};
  }
  // At most kInlineStringCapacity bytes; the unused bytes are zero (key
  // sorting reads them as padding).
  // With `terminated`, data[size] is readable too (a NUL terminator, as
  // the interpreter's UTF-8 buffers have), which lets 3-byte strings take
  // the main path.
  static RawParam raw_short_string(const char* data, std::size_t size,
                                   bool terminated = false) noexcept {
    std::uint64_t lo = 0, hi = 0;  // bytes 0..7 and 8..12
    if constexpr (std::endian::native == std::endian::little) {
      // Overlapping 4-byte loads that never read outside the readable bytes
      // and take no branch on the length: strings of mixed lengths would
      // mispredict every other one. A terminator read with them is zero,
      // like the padding.
      const std::size_t readable = size + (terminated ? 1 : 0);
      if (readable >= 4) {
        // Bytes 0..7 from loads at 0 and min(4, readable - 4); bytes 8..12
        // from loads at min(8, readable - 4) and readable - 4, each shifted or
        // masked so that byte 8 lands at bit 0. Masks instead of
        // conditionals: the compiler would branch.
        const std::size_t d = readable - 4;
        const std::size_t a1 = d - ((d - 4) & (std::size_t{0} - (d > 4)));
        const std::size_t a2 = d - ((d - 8) & (std::size_t{0} - (d > 8)));
        std::uint32_t w0, w1, w2, w3;
        std::memcpy(&w0, data, 4);
        std::memcpy(&w1, data + a1, 4);
        std::memcpy(&w2, data + a2, 4);
        std::memcpy(&w3, data + d, 4);
        lo = w0 | (std::uint64_t{w1} << (8 * a1));
        hi = (((std::uint64_t{w3} << 32) >> ((8 * (16 - readable)) & 63)) &
              (std::uint64_t{0} - (readable > 8))) |
             (std::uint64_t{w2} & (std::uint64_t{0} - (readable >= 12)));
      } else if (size > 0) {
        const auto* u = reinterpret_cast<const unsigned char*>(data);
        lo = u[0] | (std::uint64_t{u[size / 2]} << (8 * (size / 2))) |
             (std::uint64_t{u[size - 1]} << (8 * (size - 1)));
      }
      return {head_of(ParamKind::String, false, static_cast<std::uint8_t>(size)) | (lo << 24),
              (lo >> 40) | (hi << 24)};
    } else {
      ParamValue v;
      v.head_ = head_of(ParamKind::String, false, static_cast<std::uint8_t>(size));
      if (size != 0) std::memcpy(v.inline_chars(), data, size);
      return {v.head_, v.bits_.u};
    }
  }
  static bool raw_is_heap(RawParam raw) noexcept {
    if constexpr (std::endian::native == std::endian::little) return ((raw.head >> 8) & 0xff) != 0;
    return ((raw.head >> 48) & 0xff) != 0;
  }

  static ParamValue array(std::vector<ParamValue>&& items);
  static ParamValue array(std::span<ParamValue> items);  // moves the items out
  static ParamValue object(ParamMap&& map);
  // Entries must be sorted by key bytes and unique; they are moved out.
  static ParamValue object_from_sorted(std::span<ParamEntry> entries);

  ParamKind kind() const noexcept { return static_cast<ParamKind>(head_byte(0)); }
  bool as_bool() const noexcept { return bits_.b; }
  std::uint64_t as_u64() const noexcept { return bits_.u; }
  std::int64_t as_i64() const noexcept { return bits_.i; }
  double as_double() const noexcept { return bits_.d; }
  std::string_view as_string() const noexcept;
  std::span<const ParamValue> as_array() const noexcept;
  ParamMapView as_object() const noexcept;

  // Nesting depth: 0 for scalars, 1 + the deepest child for containers.
  int depth() const noexcept;

  // Structural equality (1 and 1.0 differ; floats compare bit for bit so that
  // -0.0 and 0.0 differ as they do in the canonical JSON).
  friend bool operator==(const ParamValue& a, const ParamValue& b) noexcept;

  // Strings up to this many bytes live inside the value itself.
  static constexpr std::size_t kInlineStringCapacity = 13;

 private:
  static ParamValue heap_string(std::string_view utf8);
  explicit ParamValue(RawParam raw) noexcept : head_(raw.head) { bits_.u = raw.bits; }
  // A handle owning one (already counted) reference to `block`.
  static ParamValue wrap_block(ParamKind kind, detail::Block* block) noexcept {
    ParamValue v;
    v.head_ = head_of(kind, true, 0);
    v.bits_.p = block;
    return v;
  }
  friend class ParamArena;
  friend class ParamBuilder;
  void retain() const noexcept {
    if (is_heap()) detail::retain_block(bits_.p);
  }
  void release() noexcept {
    if (is_heap()) detail::release_block(kind(), bits_.p);
  }
  // Word by word: values are usually just built with two word stores, and a
  // wider load of them would stall on store forwarding.
  void copy_bits(const ParamValue& other) noexcept {
    head_ = other.head_;
    bits_.u = other.bits_.u;
  }
  void reset_bits() noexcept {
    head_ = 0;
    bits_.u = 0;
  }
  // The header word holds, in memory order: the kind, whether bits_.p owns a
  // shared block, the length of an inline string, then its first 5 bytes.
  static constexpr std::uint64_t head_of(ParamKind kind, bool heap, std::uint8_t len) noexcept {
    const std::uint64_t b0 = static_cast<std::uint8_t>(kind), b1 = heap ? 1 : 0, b2 = len;
    if constexpr (std::endian::native == std::endian::little) return b0 | (b1 << 8) | (b2 << 16);
    return (b0 << 56) | (b1 << 48) | (b2 << 40);
  }
  std::uint8_t head_byte(int i) const noexcept {
    if constexpr (std::endian::native == std::endian::little)
      return static_cast<std::uint8_t>(head_ >> (8 * i));
    return static_cast<std::uint8_t>(head_ >> (56 - 8 * i));
  }
  bool is_heap() const noexcept { return head_byte(1) != 0; }
  std::uint8_t small_len() const noexcept { return head_byte(2); }
  const char* inline_chars() const noexcept { return reinterpret_cast<const char*>(this) + 3; }
  char* inline_chars() noexcept { return reinterpret_cast<char*>(this) + 3; }

  // Layout (16 bytes): the header word, then the scalar or block pointer. An
  // inline string's bytes start at byte 3 and run on into bits_. Every byte
  // is always set (whole words are compared and copied), so the word member
  // comes first: a union's initialiser sets its first member only.
  std::uint64_t head_;
  union Bits {
    std::uint64_t u;
    bool b;
    std::int64_t i;
    double d;
    detail::Block* p;
  } bits_;
};
static_assert(sizeof(ParamValue) == 16);

// An immutable UTF-8 key. Short keys (most of them) live inline, so an entry
// is 32 bytes and needs no allocation of its own.
class ParamKey {
  friend class ParamArena;
  friend class ParamBuilder;

 public:
  ParamKey() noexcept = default;
  explicit ParamKey(std::string_view utf8) : text_(ParamValue::string(utf8)) {}
  std::string_view view() const noexcept { return text_.as_string(); }
  operator std::string_view() const noexcept { return view(); }
  std::string str() const { return std::string(view()); }
  std::size_t size() const noexcept { return view().size(); }
  friend bool operator==(const ParamKey& a, const ParamKey& b) noexcept {
    return a.view() == b.view();
  }
  friend bool operator==(const ParamKey& a, std::string_view b) noexcept { return a.view() == b; }
  friend bool operator<(const ParamKey& a, const ParamKey& b) noexcept {
    return a.view() < b.view();
  }

 private:
  ParamValue text_;
};

struct ParamEntry {
  ParamKey key;
  ParamValue value;
};

// Read-only view of entries sorted by key bytes: the content of an object
// value or of a ParamMap.
class ParamMapView {
 public:
  ParamMapView() noexcept = default;
  ParamMapView(const ParamEntry* data, std::size_t size) noexcept : data_(data), size_(size) {}
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const ParamEntry* begin() const noexcept { return data_; }
  const ParamEntry* end() const noexcept { return data_ + size_; }
  const ParamEntry& operator[](std::size_t i) const noexcept { return data_[i]; }
  const ParamValue* find(std::string_view key) const noexcept;
  friend bool operator==(ParamMapView a, ParamMapView b) noexcept;

 private:
  const ParamEntry* data_ = nullptr;
  std::size_t size_ = 0;
};

// Builds a value tree inside one arena: the blocks of one converted value
// (often tens of thousands) come from a few large chunks instead of one
// allocation each, and are freed together when the last reference to any of
// them goes. References are counted on the arena; references held by blocks
// of the same arena are not counted (the arena is freed without walking its
// blocks), references to blocks outside it are kept in a list and released
// when the arena goes.
class ParamArena {
 public:
  ParamArena() noexcept = default;
  ParamArena(const ParamArena&) = delete;
  ParamArena& operator=(const ParamArena&) = delete;
  ~ParamArena();

  ParamValue string(std::string_view utf8);
  // The items / entries are moved out (entries in any order, later duplicate
  // keys win).
  ParamValue array(std::span<ParamValue> items);
  ParamValue object_from_unsorted(std::span<ParamEntry> entries);

 private:
  detail::Arena* arena();
  void adopt(ParamValue& child) noexcept;
  void adopt(ParamKey& key) noexcept;
  detail::Arena* arena_ = nullptr;
  // Reused by every object this builder sorts.
  std::vector<detail::SortKey> sort_scratch_;
  std::vector<std::uint32_t> order_scratch_;
};

// Builds one value tree in an arena, writing every container straight into
// a block of its final size. Values under construction are RawParam words
// that own nothing: the arena is counted once, by the builder, and that one
// reference passes to the finished root, so building costs no atomic
// operation per block. Blocks of a failed build are dropped with the arena,
// without walking them. Not for use by more than one thread.
class ParamBuilder {
 public:
  ParamBuilder() noexcept = default;
  ParamBuilder(const ParamBuilder&) = delete;
  ParamBuilder& operator=(const ParamBuilder&) = delete;
  ~ParamBuilder();

  RawParam string(std::string_view utf8) {
    if (utf8.size() <= ParamValue::kInlineStringCapacity)
      return ParamValue::raw_short_string(utf8.data(), utf8.size());
    return heap_string(utf8);
  }
  // The same, for bytes followed by a readable NUL.
  RawParam terminated_string(const char* data, std::size_t size) {
    if (size <= ParamValue::kInlineStringCapacity)
      return ParamValue::raw_short_string(data, size, true);
    return heap_string({data, size});
  }
  // A new array (object) of `size` slots, each to be filled with set()
  // before finish(); `out` receives the container's own words.
  ParamValue* array(std::size_t size, RawParam& out);
  ParamEntry* object(std::size_t size, RawParam& out);
  // Copies of items / entries gathered elsewhere (entries in any order, as
  // for object(), to be put in order by sort_object()).
  RawParam array_of(std::span<const RawParam> items);
  RawParam object_of(std::span<const RawEntry> entries);

  static void set(ParamValue* slot, RawParam value) noexcept {
    ::new (static_cast<void*>(slot)) ParamValue(value);
  }
  static void set(ParamEntry* slot, RawParam key, RawParam value) noexcept {
    set(&slot->key.text_, key);
    set(&slot->value, value);
  }

  // Puts the entries of an object made here in ascending key order; of equal
  // keys only the last one stays (a later insert replaces an earlier one).
  static void sort_object(RawParam object);
  // Shortens an object made here to its first `size` entries.
  static void truncate_object(RawParam object, std::size_t size) noexcept;

  // The finished value. It owns the arena from now on; the builder is spent.
  ParamValue finish(RawParam root) noexcept;

 private:
  RawParam heap_string(std::string_view utf8);
  detail::Arena* arena();
  detail::Arena* arena_ = nullptr;
};

// Map from UTF-8 keys to values, iterated in ascending byte order of the keys
// (byte by byte as unsigned values; a proper prefix sorts first). A sorted
// flat vector: lookups are binary searches and iteration is cache friendly.
class ParamMap {
  friend class ParamValue;

 public:
  ParamMap() = default;

  // Builds a map from entries in arbitrary order; when a key repeats, the
  // later entry wins, as with repeated inserts.
  static ParamMap from_unsorted(std::vector<ParamEntry>&& entries);

  void insert_or_assign(std::string_view key, ParamValue value);
  const ParamValue* find(std::string_view key) const noexcept { return view().find(key); }

  ParamMapView view() const noexcept { return {entries_.data(), entries_.size()}; }
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  const ParamEntry* begin() const noexcept { return entries_.data(); }
  const ParamEntry* end() const noexcept { return entries_.data() + entries_.size(); }
  const ParamEntry& operator[](std::size_t i) const noexcept { return entries_[i]; }

  friend bool operator==(const ParamMap& a, const ParamMap& b) noexcept {
    return a.view() == b.view();
  }

 private:
  std::vector<ParamEntry> entries_;
};

namespace detail {
inline void retain_block(Block* block) noexcept {
  if (block->arena != nullptr)
    reinterpret_cast<ArenaCount*>(block->arena)->refs.fetch_add(1, std::memory_order_relaxed);
  else
    block->refs.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace detail

// The configuration of one model component.
struct ModelConfig {
  std::string name;
  std::string version;
  ParamMap params;
};

}  // namespace tessarin::core
