// The access flag of stateful objects (core/access.hpp) at the binding
// layer. Reads take SharedAccess, changes ExclusiveAccess, each for the
// whole call. A call that has to wait for another thread does so with the
// interpreter lock released, and Ctrl-C ends the wait; a request that may
// not wait (re-entry from user code run inside a call on the same thread,
// among others) raises "Already borrowed" or "Already mutably borrowed".
#pragma once

#include "core/access.hpp"
#include "python/python.hpp"

#include <cstdint>

namespace tessarin::py {

using core::AccessFlag;

// Everything but the fast path: waits, or raises the refusal or the
// exception of an interrupting signal handler.
void acquire_or_raise(AccessFlag& flag, core::AccessMode mode);

// Access held for the lifetime of the object, counted as this thread's.
template <core::AccessMode Mode>
class Access {
 public:
  explicit Access(AccessFlag& flag) : flag_(flag), held_(core::accesses_held_by_this_thread()) {
    if (!flag.try_acquire(Mode)) [[unlikely]]
      acquire_or_raise(flag, Mode);
    ++held_;
  }
  ~Access() {
    --held_;
    flag_.release(Mode);
  }
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;

 private:
  AccessFlag& flag_;
  std::uint32_t& held_;
};

using SharedAccess = Access<core::AccessMode::shared>;
using ExclusiveAccess = Access<core::AccessMode::exclusive>;

// The private module function _access_waiters(obj): threads waiting for
// obj's access flag right now (for tests that need to know that a thread
// waits without sleeping on it).
void register_access(PyObject* module);

}  // namespace tessarin::py
