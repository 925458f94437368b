// The memory of converted parameter values: one arena per value, and a
// process-wide cache of the large chunks that arenas map from the system.
//
// A value's blocks (often tens of thousands) come from a few chunks of its
// arena instead of one allocation each, and go together when the last
// reference to any of them goes (see ParamBuilder). Small chunks come from
// operator new, as any small allocation. Large ones, and the dedicated
// chunks of large blocks, are mapped by the module itself: left to glibc,
// their speed would depend on the process's history (glibc trims or unmaps
// them while its thresholds are at their defaults, so that every conversion
// page-faults them in again, and keeps them once the process has freed any
// large block), and a value freed in the middle of glibc's heap would stay
// resident for good. Freed mapped chunks wait in a cache for the next
// conversion, up to kChunkCacheBytes over all threads; the rest goes back to
// the system at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "core/param_value.hpp"

namespace tessarin::core {

// Most bytes of freed chunks that the process keeps mapped for later values.
// Enough for the conversions of values of a few MB to find warm memory,
// small next to what glibc keeps once its thresholds have risen (up to
// 64 MiB at the top of its heap).
inline constexpr std::size_t kChunkCacheBytes = std::size_t{16} << 20;

namespace detail {

// The header of every chunk after an arena's first (which is the arena's own
// allocation). `mapped` is the size of the chunk's mapping, 0 when it came
// from operator new.
struct ArenaChunk {
  ArenaChunk* next;
  std::size_t mapped;
};

// A mapping of at least `size` bytes for an arena chunk, from the cache or
// the system, with its size in `size`; nullptr when the system has none.
void* map_chunk(std::size_t& size) noexcept;
// Gives mapped chunks (linked by `next`) back: to the cache, or unmapped.
void unmap_chunks(ArenaChunk* chunks) noexcept;

// Temporary memory for a conversion (the scratch of a large sort), from the
// same cache and given back to it when done: so that its speed does not
// depend on the process's history either, and a huge conversion leaves no
// huge scratch behind.
class ScratchChunk {
 public:
  explicit ScratchChunk(std::size_t bytes);
  ~ScratchChunk();
  ScratchChunk(const ScratchChunk&) = delete;
  ScratchChunk& operator=(const ScratchChunk&) = delete;
  // 16-byte aligned.
  void* data() const noexcept { return chunk_ + 1; }

 private:
  ArenaChunk* chunk_;
};

class Arena : public ArenaCount {
 public:
  // The arena and its first chunk are one allocation: most values are small
  // and never need a second one.
  static Arena* create() {
    void* raw = ::operator new(kFirstAllocation);
    auto* arena = new (raw) Arena();
    arena->cur_ = reinterpret_cast<char*>(arena + 1);
    arena->end_ = static_cast<char*>(raw) + kFirstAllocation;
    return arena;
  }

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
    ArenaChunk* chunk = arena->head_;
    ArenaChunk* mapped = nullptr;
    while (chunk != nullptr) {
      ArenaChunk* next = chunk->next;
      if (chunk->mapped != 0) {
        chunk->next = mapped;
        mapped = chunk;
      } else {
        ::operator delete(static_cast<void*>(chunk));
      }
      chunk = next;
    }
    arena->~Arena();
    ::operator delete(static_cast<void*>(arena));
    if (mapped != nullptr) unmap_chunks(mapped);
  }

 private:
  static constexpr std::size_t kFirstAllocation = 512;
  static_assert(sizeof(ArenaCount) % 8 == 0);
  static_assert(sizeof(ArenaChunk) % 8 == 0);

  Arena() = default;
  void grow(std::size_t need);

  ArenaChunk* head_ = nullptr;
  char* cur_ = nullptr;
  char* end_ = nullptr;
  std::size_t next_size_ = 1024;
  std::vector<std::pair<ParamKind, Block*>> foreign_;
};
static_assert(sizeof(Arena) % 8 == 0);

}  // namespace detail
}  // namespace tessarin::core
