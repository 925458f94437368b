// The access flag of stateful objects. Readers take shared access (any
// number at once), writers exclusive access. Under the interpreter lock a
// conflict only arises through re-entry: user code run during an argument
// conversion touching the object that is being changed or read.
#pragma once

#include "python/errors.hpp"

#include <atomic>
#include <cstdint>

namespace tessarin::py {

class AccessFlag {
 public:
  // >0: that many readers; -1: one writer; 0: free.
  std::atomic<std::int32_t> state{0};
};

class SharedAccess {
 public:
  explicit SharedAccess(AccessFlag& flag) : flag_(flag) {
    std::int32_t current = flag_.state.load(std::memory_order_relaxed);
    do {
      if (current < 0) raise_runtime_error("Already mutably borrowed");
    } while (!flag_.state.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                                std::memory_order_relaxed));
  }
  ~SharedAccess() { flag_.state.fetch_sub(1, std::memory_order_release); }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;

 private:
  AccessFlag& flag_;
};

class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(AccessFlag& flag) : flag_(flag) {
    std::int32_t expected = 0;
    if (!flag_.state.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
      raise_runtime_error("Already borrowed");
    }
  }
  ~ExclusiveAccess() { flag_.state.store(0, std::memory_order_release); }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

 private:
  AccessFlag& flag_;
};

}  // namespace tessarin::py
