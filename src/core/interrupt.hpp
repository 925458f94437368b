// Interrupting long computations.
//
// The core never sees Python, but a caller that holds the interpreter lock
// for a long time (hashing a graph of a gigabyte, a synchronous pipeline run)
// still has to let Ctrl-C through promptly. Such computations take an
// InterruptCheck and call it at bounded intervals; when it answers true they
// stop where they are, change nothing further and report that they were
// interrupted. What the answer means (in the binding: a signal handler
// raised, and its exception is pending) is the caller's business.
//
// A null check means "never interrupted": background runs on pool threads
// have their own cancellation and pass none.
//
// The check may do anything, including unwind the thread (a forced unwind of
// an interpreter thread at exit), so nothing on a path that calls it is
// noexcept.
#pragma once

#include <cstddef>

namespace tessarin::core {

using InterruptCheck = bool (*)();

// Bytes hashed between two checks: a few milliseconds of SHA-256, so a
// request to stop is seen within a small fraction of a second, while the
// check itself costs nothing measurable.
inline constexpr std::size_t kInterruptCheckBytes = std::size_t{4} << 20;

// The answer of a computation that was asked to stop.
struct Interrupted {};

}  // namespace tessarin::core
