// The slow path of the access flag: answering at once, waiting, fork. See
// access.hpp.
#include "core/access.hpp"

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <new>

namespace tessarin::core {

using namespace access_detail;

std::atomic<std::uint64_t> access_detail::g_generation{0};

namespace {

// Where the waiters of a flag sleep: one of a fixed set of slots, picked by
// the flag's address. A slot's mutex guards the waiter counts of every flag
// that maps to it. It is only ever held for a few instructions, never while
// a thread asks for the interpreter lock or runs the wait hook.
struct Slot {
  std::mutex mutex;
  std::condition_variable changed;
};

// A fork holds every slot's mutex at once (see before_fork), so the count
// stays well below the 64 locks that ThreadSanitizer can follow in one
// thread, with room for the other fork handlers' locks (the value memory
// cache, the pool).
constexpr unsigned kSlotBits = 5;
constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;

// Leaked: a thread may still sleep on a slot while the process exits, and
// destroying a condition variable that has a waiter can block.
Slot* g_slots = nullptr;

std::uint64_t holders(std::uint64_t word) noexcept { return word & (kReaderMask | kWriter); }

bool current(std::uint64_t word) noexcept {
  return (word & kGenerationMask) == g_generation.load(std::memory_order_relaxed);
}

}  // namespace

struct AccessSlow {
  static Slot& slot_of(const AccessFlag& flag) noexcept {
    const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&flag));
    return g_slots[(address * 0x9E3779B97F4A7C15u) >> (64 - kSlotBits)];
  }

  static std::uint64_t word(const AccessFlag& flag) noexcept {
    return flag.word_.load(std::memory_order_relaxed);
  }

  // Under the slot's mutex. A flag that is free but was last used before a
  // fork may still count waiters of the parent, none of which exist here:
  // stamp it with this process's generation and forget them.
  static void renew_if_free(AccessFlag& flag) noexcept {
    for (std::uint64_t old = word(flag); !current(old) && holders(old) == 0;) {
      if (flag.word_.compare_exchange_weak(old, g_generation.load(std::memory_order_relaxed),
                                           std::memory_order_relaxed)) {
        flag.waiting_readers_ = 0;
        flag.waiting_writers_ = 0;
        return;
      }
    }
  }

  // Under the slot's mutex: takes access if `old` (the flag's word as last
  // seen) allows it. A writer needs the flag free; a reader needs no writer
  // holding it and, unless it may pass them, none waiting.
  static bool grant(AccessFlag& flag, std::uint64_t old, AccessMode mode,
                    bool pass_waiting_writers) noexcept {
    std::uint64_t desired;
    if (mode == AccessMode::shared) {
      if ((old & kWriter) != 0) return false;
      if (!pass_waiting_writers && flag.waiting_writers_ != 0) return false;
      desired = old + kReader;
    } else {
      if (holders(old) != 0) return false;
      desired = old | kWriter;
    }
    return flag.word_.compare_exchange_strong(old, desired, std::memory_order_acquire,
                                              std::memory_order_relaxed);
  }

  // Under the slot's mutex: the answer to a request that may not wait,
  // given what is held right now.
  static AccessOutcome at_once(AccessFlag& flag, AccessMode mode) noexcept {
    for (;;) {
      const std::uint64_t old = word(flag);
      if (grant(flag, old, mode, true)) return AccessOutcome::granted;
      if (word(flag) == old) return AccessOutcome::refused;
    }
  }

  // Under the slot's mutex.
  static void enlist(AccessFlag& flag, AccessMode mode) noexcept {
    ++(mode == AccessMode::shared ? flag.waiting_readers_ : flag.waiting_writers_);
    flag.word_.fetch_or(kPending, std::memory_order_relaxed);
  }
  static void delist(AccessFlag& flag, AccessMode mode) noexcept {
    --(mode == AccessMode::shared ? flag.waiting_readers_ : flag.waiting_writers_);
    if (flag.waiting_readers_ == 0 && flag.waiting_writers_ == 0) {
      flag.word_.fetch_and(~kPending, std::memory_order_relaxed);
    }
  }

  // The prepare, parent and child handlers of fork(): the child inherits
  // every slot unlocked and consistent.
  static void before_fork() noexcept {
    for (std::size_t i = 0; i < kSlots; ++i) g_slots[i].mutex.lock();
  }
  static void after_fork_in_parent() noexcept {
    for (std::size_t i = kSlots; i-- > 0;) g_slots[i].mutex.unlock();
  }
  // Slots are made anew rather than unlocked (a thread that is gone may
  // still be counted as sleeping on a condition variable), and the
  // generation moves on: every flag is looked at again in the slow path
  // before anything is granted in it.
  static void after_fork_in_child() noexcept {
    for (std::size_t i = 0; i < kSlots; ++i) {
      new (&g_slots[i].mutex) std::mutex;
      new (&g_slots[i].changed) std::condition_variable;
    }
    g_generation.store(g_generation.load(std::memory_order_relaxed) + kGenerationStep,
                       std::memory_order_relaxed);
  }
};

namespace {

[[maybe_unused]] const bool g_ready = [] {
  g_slots = new Slot[kSlots];
  if (pthread_atfork(&AccessSlow::before_fork, &AccessSlow::after_fork_in_parent,
                     &AccessSlow::after_fork_in_child) != 0) {
    std::abort();
  }
  return true;
}();

// A thread on the waiting list of a flag, blocked by the hook.
class Waiter final : public AccessBlock {
 public:
  Waiter(AccessFlag& flag, AccessMode mode, Slot& slot, std::chrono::milliseconds slice)
      : flag_(flag), mode_(mode), slot_(slot), slice_(slice) {}

  void block() noexcept override {
    std::unique_lock<std::mutex> lock(slot_.mutex);
    if (slice_ == std::chrono::milliseconds::max()) {
      slot_.changed.wait(lock, [this] { return take(); });
    } else {
      slot_.changed.wait_for(lock, slice_, [this] { return take(); });
    }
  }

  bool granted() const noexcept { return granted_; }

 private:
  // Under the slot's mutex. A waiting reader still gives way to waiting
  // writers, whether they came before it or after.
  bool take() noexcept {
    if (!granted_ && AccessSlow::grant(flag_, AccessSlow::word(flag_), mode_, false)) {
      AccessSlow::delist(flag_, mode_);
      granted_ = true;
    }
    return granted_;
  }

  AccessFlag& flag_;
  AccessMode mode_;
  Slot& slot_;
  std::chrono::milliseconds slice_;
  bool granted_ = false;
};

// Under the slot's mutex: off the waiting list without the access. A writer
// that stops waiting may be all that held readers back.
void leave(AccessFlag& flag, AccessMode mode, Slot& slot) noexcept {
  AccessSlow::delist(flag, mode);
  if (mode == AccessMode::exclusive) slot.changed.notify_all();
}

}  // namespace

AccessOutcome AccessFlag::acquire_slow(AccessMode mode, AccessWait& wait) {
  Slot& slot = AccessSlow::slot_of(*this);
  std::unique_lock<std::mutex> lock(slot.mutex);
  AccessSlow::renew_if_free(*this);
  // Holding access already (this flag's or another's), or finding access
  // taken before a fork: answer at once.
  if (t_held != 0 || !current(AccessSlow::word(*this))) return AccessSlow::at_once(*this, mode);
  if (AccessSlow::grant(*this, AccessSlow::word(*this), mode, false)) return AccessOutcome::granted;

  // The hook may run Python code: ask it with the mutex released, then look
  // again, since the flag may have changed meanwhile.
  lock.unlock();
  const std::optional<std::chrono::milliseconds> slice = wait.may_wait();
  lock.lock();
  AccessSlow::renew_if_free(*this);
  if (!slice || !current(AccessSlow::word(*this))) return AccessSlow::at_once(*this, mode);
  if (AccessSlow::grant(*this, AccessSlow::word(*this), mode, false)) return AccessOutcome::granted;

  Waiter waiter(*this, mode, slot, *slice);
  for (;;) {
    AccessSlow::enlist(*this, mode);
    lock.unlock();
    try {
      wait.wait(waiter);
    } catch (...) {
      // Nothing is meant to throw here; should anything, the thread still
      // leaves holding nothing and off the list.
      if (waiter.granted()) {
        release(mode);
      } else {
        lock.lock();
        leave(*this, mode, slot);
      }
      throw;
    }
    // Granted: any pending interrupt is seen by the next look, after the
    // call.
    if (waiter.granted()) return AccessOutcome::granted;
    lock.lock();
    leave(*this, mode, slot);
    lock.unlock();
    if (wait.interrupted()) return AccessOutcome::interrupted;
    lock.lock();
    if (AccessSlow::grant(*this, AccessSlow::word(*this), mode, false)) {
      return AccessOutcome::granted;
    }
  }
}

void AccessFlag::wake() noexcept {
  Slot& slot = AccessSlow::slot_of(*this);
  const std::lock_guard<std::mutex> lock(slot.mutex);
  slot.changed.notify_all();
}

std::uint32_t AccessFlag::waiting() const {
  const std::lock_guard<std::mutex> lock(AccessSlow::slot_of(*this).mutex);
  if (!current(AccessSlow::word(*this))) return 0;
  return waiting_readers_ + waiting_writers_;
}

}  // namespace tessarin::core
