#include "core/arena.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <bit>

#if defined(__SANITIZE_ADDRESS__)
#define TESSARIN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSARIN_ASAN 1
#endif
#endif
#ifdef TESSARIN_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace tessarin::core::detail {
namespace {

// Chunks from this size up are mapped; smaller ones come from operator new.
// As an arena's chunks double from 1 KiB, it takes at most six of those.
constexpr std::size_t kMappedChunk = std::size_t{64} << 10;
// The doubling stops here: the unused tail of an arena is at most one chunk
// (and costs no memory at all in a mapped chunk until something is written
// there).
constexpr std::size_t kLargestChunk = std::size_t{64} << 10;
// Mapped sizes are powers of two from kMappedChunk to kChunkCacheBytes, so
// that a chunk freed by one value fits the next value of a similar size;
// larger mappings are exact multiples of kMappedChunk and never cached.
constexpr int kClasses = std::countr_zero(kChunkCacheBytes) - std::countr_zero(kMappedChunk) + 1;
static_assert(std::has_single_bit(kChunkCacheBytes) && kChunkCacheBytes >= kMappedChunk);

constexpr std::size_t class_size(int cls) noexcept { return kMappedChunk << cls; }

// The class whose size holds `size` bytes, or -1 above the largest class.
int class_for(std::size_t size) noexcept {
  if (size <= kMappedChunk) return 0;
  if (size > kChunkCacheBytes) return -1;
  return std::countr_zero(std::bit_ceil(size)) - std::countr_zero(kMappedChunk);
}

// A chunk while it waits in the cache: its own bytes hold the links.
struct CachedChunk {
  CachedChunk* newer;
  CachedChunk* older;
  std::uint64_t stamp;  // when it was freed, to find the oldest of all classes
};

void poison(void* chunk, std::size_t size) noexcept {
#ifdef TESSARIN_ASAN
  // A read through a dangling value into a cached chunk is a use after free.
  ASAN_POISON_MEMORY_REGION(static_cast<char*>(chunk) + sizeof(CachedChunk),
                            size - sizeof(CachedChunk));
#else
  (void)chunk, (void)size;
#endif
}

void unpoison(void* chunk, std::size_t size) noexcept {
#ifdef TESSARIN_ASAN
  ASAN_UNPOISON_MEMORY_REGION(chunk, size);
#else
  (void)chunk, (void)size;
#endif
}

// A chunk out of the cache, plain memory of `size` bytes again.
void* uncache(CachedChunk* chunk, std::size_t size) noexcept {
  chunk->~CachedChunk();
  unpoison(chunk, size);
  return chunk;
}

// The most recently freed mapped chunks, one list per class, newest first,
// kChunkCacheBytes at most over all classes. Taking a chunk takes its
// class's newest (the likeliest to be in the processor's caches); making
// room drops the oldest of all. The lock is held for list updates only:
// nothing is mapped, unmapped or allocated under it, and nothing under it
// waits for anything else. A plain pthread mutex: constant-initialised and
// trivially destructible, so that a pool thread freeing a value while the
// process exits never meets a destroyed lock.
class ChunkCache {
 public:
  constexpr ChunkCache() = default;

  void* take(int cls) noexcept {
    CachedChunk* chunk;
    {
      const Locked lock(*this);
      chunk = lists_[cls].newest;
      if (chunk == nullptr) return nullptr;
      unlink(cls, chunk);
    }
    return uncache(chunk, class_size(cls));
  }

  // Keeps what fits of `chunks` (making room by dropping older chunks);
  // returns the chunks to unmap, linked by `next`.
  ArenaChunk* keep(ArenaChunk* chunks) noexcept {
    ArenaChunk* doomed = nullptr;
    const Locked lock(*this);
    while (chunks != nullptr) {
      ArenaChunk* const next = chunks->next;
      const std::size_t size = chunks->mapped;
      const int cls = class_for(size);
      if (cls < 0 || class_size(cls) != size) {
        chunks->next = doomed;
        doomed = chunks;
      } else {
        while (bytes_ + size > kChunkCacheBytes) doomed = drop_oldest(doomed);
        chunks->~ArenaChunk();
        List& list = lists_[cls];
        auto* cached = new (static_cast<void*>(chunks)) CachedChunk{nullptr, list.newest, ++clock_};
        if (list.newest != nullptr)
          list.newest->newer = cached;
        else
          list.oldest = cached;
        list.newest = cached;
        bytes_ += size;
        poison(cached, size);
      }
      chunks = next;
    }
    return doomed;
  }

  void lock() noexcept { pthread_mutex_lock(&mutex_); }
  void unlock() noexcept { pthread_mutex_unlock(&mutex_); }

 private:
  struct Locked {
    explicit Locked(ChunkCache& cache) noexcept : cache(cache) { cache.lock(); }
    ~Locked() { cache.unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ChunkCache& cache;
  };
  struct List {
    CachedChunk* newest = nullptr;
    CachedChunk* oldest = nullptr;
  };

  // Moves the oldest chunk of all classes onto `doomed`.
  ArenaChunk* drop_oldest(ArenaChunk* doomed) noexcept {
    int victim = -1;
    for (int cls = 0; cls < kClasses; ++cls) {
      const CachedChunk* oldest = lists_[cls].oldest;
      if (oldest != nullptr && (victim < 0 || oldest->stamp < lists_[victim].oldest->stamp))
        victim = cls;
    }
    CachedChunk* chunk = lists_[victim].oldest;
    unlink(victim, chunk);
    return new (uncache(chunk, class_size(victim))) ArenaChunk{doomed, class_size(victim)};
  }

  // Takes `chunk` out of its class's list, wherever it stands there.
  void unlink(int cls, const CachedChunk* chunk) noexcept {
    List& list = lists_[cls];
    (chunk->newer != nullptr ? chunk->newer->older : list.newest) = chunk->older;
    (chunk->older != nullptr ? chunk->older->newer : list.oldest) = chunk->newer;
    bytes_ -= class_size(cls);
  }

  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  List lists_[kClasses];
  std::size_t bytes_ = 0;
  std::uint64_t clock_ = 0;
};

constinit ChunkCache g_cache;

// A child process has only the thread that forked. Had another thread been
// updating the cache at that instant, the child would inherit a locked mutex
// and half-linked lists; so a fork waits for the lock and holds it across.
// Registered while the library loads, before any worker pool exists: the
// pool's handlers, registered later, run their prepare step first (prepare
// handlers run in reverse order), so the pool threads that a fork waits for
// are never stuck on this lock behind it.
[[maybe_unused]] const bool g_fork_handlers_registered =
    pthread_atfork([] { g_cache.lock(); }, [] { g_cache.unlock(); }, [] { g_cache.unlock(); }) == 0;

}  // namespace

void* map_chunk(std::size_t& size) noexcept {
  const int cls = class_for(size);
  if (cls >= 0) {
    size = class_size(cls);
    if (void* chunk = g_cache.take(cls)) return chunk;
  } else {
    size = (size + kMappedChunk - 1) & ~(kMappedChunk - 1);
  }
  void* chunk = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return chunk == MAP_FAILED ? nullptr : chunk;
}

void unmap_chunks(ArenaChunk* chunks) noexcept {
  ArenaChunk* doomed = g_cache.keep(chunks);
  while (doomed != nullptr) {
    ArenaChunk* const next = doomed->next;
    munmap(static_cast<void*>(doomed), doomed->mapped);
    doomed = next;
  }
}

ScratchChunk::ScratchChunk(std::size_t bytes) {
  std::size_t size = bytes + sizeof(ArenaChunk);
  void* raw = map_chunk(size);
  if (raw == nullptr) {
    raw = ::operator new(bytes + sizeof(ArenaChunk));
    size = 0;
  }
  chunk_ = new (raw) ArenaChunk{nullptr, size};
}

ScratchChunk::~ScratchChunk() {
  if (chunk_->mapped != 0)
    unmap_chunks(chunk_);
  else
    ::operator delete(static_cast<void*>(chunk_));
}

void Arena::grow(std::size_t need) {
  std::size_t size = std::max(next_size_, need + sizeof(ArenaChunk));
  next_size_ = std::min(next_size_ * 2, kLargestChunk);
  void* raw = nullptr;
  std::size_t mapped = 0;
  if (size >= kMappedChunk) {
    mapped = size;
    raw = map_chunk(mapped);
    if (raw != nullptr)
      size = mapped;
    else
      mapped = 0;  // the system refused: operator new decides what happens
  }
  if (raw == nullptr) raw = ::operator new(size);
  head_ = new (raw) ArenaChunk{head_, mapped};
  cur_ = reinterpret_cast<char*>(head_ + 1);
  end_ = static_cast<char*>(raw) + size;
}

}  // namespace tessarin::core::detail
