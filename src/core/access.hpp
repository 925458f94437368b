// The access flag of objects that threads share.
//
// An object with state (a configuration, a builder, a graph node, a graph)
// carries one flag. A call that reads the object holds shared access for its
// duration, any number at once; a call that changes it holds exclusive
// access. A request is answered in one of three ways:
//
//   granted      at once, or after waiting for other threads to let go;
//   refused      it conflicts, and waiting could never end well: the binding
//                raises "Already borrowed" (exclusive access requested) or
//                "Already mutably borrowed" (shared access requested while
//                exclusive access is held);
//   interrupted  the wait hook ended the wait (Ctrl-C).
//
// Who waits and who is refused (the rule that keeps waits free of cycles):
//
//   A thread that holds any access never waits. Its requests are answered at
//   once: granted when compatible with the access held right now (a nested
//   read goes ahead even while a writer waits), refused otherwise, exactly
//   as before threads could wait. That covers re-entry on the same object
//   (user code run inside a call, a conversion's __len__ or a finalizer run
//   by an allocation, touching the object being read or changed: a nested
//   write, or any request during a write, fails as it always did), and every
//   request for a second object: nothing ever waits while holding something
//   another thread may be waiting for, so no set of waits can form a cycle.
//   The module's own calls hold one object's access at a time:
//   BuildGraph.add_node writes the configuration's canonical text under the
//   configuration's access and lets go before it takes the graph's; pickling
//   a graph copies it under shared access and lets go before writing the
//   payload; GraphNode() copies the configuration it is given before the
//   node exists; the validators, pipelines and getters read one object. So
//   the rule only ever refuses user code re-entering from inside a call.
//
//   Any other thread waits until it can be granted: readers share, a writer
//   excludes everyone else, and a waiting writer holds back new readers, so
//   that a stream of readers cannot starve it.
//
//   The hook may decline to wait (the interpreter is shutting down, and the
//   holder may be a thread it will never run again): the request is then
//   answered at once, as for a thread that holds access.
//
//   Across fork(), the child has only the forking thread. Access taken in
//   the parent is marked by the parent's fork generation in the flag's word;
//   a request in the child that finds such access held is answered at once
//   instead of waiting, since its holder does not exist there (or is the
//   forking thread itself, in the middle of a call, which will let go: then
//   the flag is free again and stamped with the child's generation).
//
// The uncontended cost is one atomic read-modify-write to take access, one
// to give it back, and this thread's count of held accesses. Everything else
// lives out of line, behind a pending bit in the flag's word that sends new
// requests to the slow path while anyone waits. Waiters sleep on one of a
// fixed set of condition variables picked by the flag's address, so a flag
// is 16 bytes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace tessarin::core {

enum class AccessMode : std::uint8_t { shared, exclusive };

enum class AccessOutcome : std::uint8_t { granted, refused, interrupted };

// Blocks the calling thread until its request is granted or a slice of time
// has passed, whichever comes first. Handed to AccessWait::wait.
class AccessBlock {
 public:
  virtual void block() noexcept = 0;

 protected:
  ~AccessBlock() = default;
};

// What a thread does while it waits. The binding releases the interpreter
// lock around the block and looks for pending signals between blocks.
class AccessWait {
 public:
  // Asked, holding no access, before a thread starts to wait. nullopt: do
  // not wait, answer at once. Otherwise the longest single block before
  // the wait stops to ask interrupted() (duration::max(): no limit).
  virtual std::optional<std::chrono::milliseconds> may_wait() = 0;
  // Calls block.block() (once, or again and again while the access is not
  // granted), with whatever other threads need released around it.
  virtual void wait(AccessBlock& block) = 0;
  // Asked after a block that ended without the access, with the thread off
  // the flag's waiting list again (so that whatever this runs, a signal
  // handler say, may use the flag like any other code). True ends the wait.
  virtual bool interrupted() = 0;

 protected:
  ~AccessWait() = default;
};

namespace access_detail {

// The flag's word: the reader count, the writer bit, the pending bit, and in
// the upper half the fork generation of the process in which the access it
// records was taken.
inline constexpr std::uint64_t kReader = 1;
inline constexpr std::uint64_t kReaderMask = (std::uint64_t{1} << 30) - 1;
inline constexpr std::uint64_t kWriter = std::uint64_t{1} << 30;
inline constexpr std::uint64_t kPending = std::uint64_t{1} << 31;
inline constexpr std::uint64_t kGenerationMask = ~std::uint64_t{0} << 32;
inline constexpr std::uint64_t kGenerationStep = std::uint64_t{1} << 32;

// This process's fork generation, in its place in a flag's word. Moves on in
// the child of every fork().
[[gnu::visibility("hidden")]] extern std::atomic<std::uint64_t> g_generation;

// The number of accesses this thread holds.
inline thread_local constinit std::uint32_t t_held = 0;

}  // namespace access_detail

// This thread's count of held accesses. Whoever takes access through a flag
// adds one for as long as it holds it (AccessFlag leaves that to the caller,
// so that the count's address is looked up once per call).
inline std::uint32_t& accesses_held_by_this_thread() noexcept {
  std::uint32_t* held = &access_detail::t_held;
  // Kept rather than looked up again: the compiler would otherwise redo the
  // thread-local lookup (a call into the dynamic loader) at every use.
  asm("" : "+r"(held));
  return *held;
}

class AccessFlag {
 public:
  AccessFlag() noexcept = default;
  AccessFlag(const AccessFlag&) = delete;
  AccessFlag& operator=(const AccessFlag&) = delete;

  // Takes access if nothing stands in the way, without looking further.
  bool try_acquire(AccessMode mode) noexcept {
    using namespace access_detail;
    const std::uint64_t generation = g_generation.load(std::memory_order_relaxed);
    std::uint64_t word;
    std::uint64_t desired;
    if (mode == AccessMode::shared) {
      word = word_.load(std::memory_order_relaxed);
      if (((word ^ generation) & (kGenerationMask | kWriter | kPending)) != 0) return false;
      desired = word + kReader;
    } else {
      word = generation;
      desired = generation | kWriter;
    }
    return word_.compare_exchange_strong(word, desired, std::memory_order_acquire,
                                         std::memory_order_relaxed);
  }

  // Everything try_acquire leaves out: the rules of the header comment.
  AccessOutcome acquire_slow(AccessMode mode, AccessWait& wait);

  AccessOutcome acquire(AccessMode mode, AccessWait& wait) {
    return try_acquire(mode) ? AccessOutcome::granted : acquire_slow(mode, wait);
  }

  void release(AccessMode mode) noexcept {
    using namespace access_detail;
    const std::uint64_t before =
        word_.fetch_sub(mode == AccessMode::shared ? kReader : kWriter, std::memory_order_release);
    if ((before & kPending) != 0) [[unlikely]]
      wake();
  }

  // Threads waiting for this flag right now; for tests.
  std::uint32_t waiting() const;

 private:
  friend struct AccessSlow;
  void wake() noexcept;

  std::atomic<std::uint64_t> word_{0};
  // Guarded by the mutex of the flag's wait slot.
  std::uint32_t waiting_readers_ = 0;
  std::uint32_t waiting_writers_ = 0;
};

}  // namespace tessarin::core
