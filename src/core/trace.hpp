#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin::core {

// Severity of a trace event; the values are part of the Python interface.
enum class TraceLevel : std::uint8_t { Debug = 0, Info = 1, Warn = 2, Error = 3 };

// "Debug", "Info", "Warn" or "Error".
std::string_view trace_level_name(TraceLevel level) noexcept;

// An instant of the system real-time clock. Kept normalised the way
// clock_gettime returns it: nanos lies in [0, 1e9), so an instant before the
// epoch has negative secs.
struct WallTime {
  std::int64_t secs = 0;
  std::uint32_t nanos = 0;

  // Reads CLOCK_REALTIME.
  static WallTime now() noexcept;

  // Seconds since the epoch as a double: secs + nanos / 1e9, each converted to
  // double first; 0.0 for an instant before the epoch.
  double timestamp_secs() const noexcept;
};

// One trace event. Immutable once built, so it is shared rather than copied:
// every holder (Python event objects, the store, snapshots) points at the same
// record, and handing one on costs a reference-count increment.
class TraceRecord {
 public:
  TraceRecord(std::string id, std::string message, TraceLevel level,
              std::optional<std::string> span_id, std::optional<std::string> trace_id,
              WallTime timestamp);

  const std::string& id() const noexcept { return id_; }
  const std::string& message() const noexcept { return message_; }
  TraceLevel level() const noexcept { return level_; }
  const std::optional<std::string>& span_id() const noexcept { return span_id_; }
  const std::optional<std::string>& trace_id() const noexcept { return trace_id_; }
  WallTime timestamp() const noexcept { return timestamp_; }
  double timestamp_secs() const noexcept { return timestamp_.timestamp_secs(); }

 private:
  const std::string id_;
  const std::string message_;
  const std::optional<std::string> span_id_;
  const std::optional<std::string> trace_id_;
  const WallTime timestamp_;
  const TraceLevel level_;
};

// Shared, read-only handle to a record. Never null where this library
// produces or stores one.
using TraceRecordHandle = std::shared_ptr<const TraceRecord>;

// Builds a record stamped with the current wall-clock time; the clock is read
// after the arguments have been taken.
TraceRecordHandle make_trace_record(std::string id, std::string message,
                                    TraceLevel level = TraceLevel::Info,
                                    std::optional<std::string> span_id = std::nullopt,
                                    std::optional<std::string> trace_id = std::nullopt);

// The recording interface the execution code writes events through.
class TraceSink {
 public:
  virtual ~TraceSink() = default;
  // Appends the event. The handle must not be null.
  virtual void record(TraceRecordHandle event) = 0;

 protected:
  TraceSink() = default;
  TraceSink(const TraceSink&) = default;
  TraceSink& operator=(const TraceSink&) = default;
};

// The event store behind InMemoryTraceSink: an append-only list guarded by one
// mutex, shared through std::shared_ptr by the sink object, every context made
// from it and every run in progress, on any thread.
//
// Nothing but the append, the copy of the handle vector and the size read
// happens under the mutex: no allocation of records, no string copies and
// never a call into Python, so the lock order "interpreter lock, then store
// mutex" can never be inverted.
//
// A store made with Retention::Discard drops every record without taking the
// lock. It serves contexts whose events nobody can ever read (a context that
// made its own private store): keeping their events would only grow memory
// with every run. Its size() stays 0 and its snapshot() is empty.
//
// Across fork(): the child has only the thread that forked, so the mutex must
// not be held by any other thread at that instant, or it would stay locked
// in the child for good. Two kinds of thread use a store. Python threads hold
// the interpreter lock for the whole call, mutex included, and a Python
// thread forks only with that lock held, so none of them is inside a store
// when one forks. Pool threads do not hold it; they append inside a ForkQuiet
// scope (see worker_pool.hpp), which a fork waits for. Any other thread that
// shares a store across a fork must do the same.
class TraceStore final : public TraceSink {
 public:
  enum class Retention : std::uint8_t { Keep, Discard };

  explicit TraceStore(Retention retention = Retention::Keep) noexcept : retention_(retention) {}
  TraceStore(const TraceStore&) = delete;
  TraceStore& operator=(const TraceStore&) = delete;

  static std::shared_ptr<TraceStore> create(Retention retention = Retention::Keep);

  void record(TraceRecordHandle event) override;

  // A copy of the whole list at this moment, oldest first: the handles are
  // copied, the records are shared. Always a prefix of any later snapshot.
  std::vector<TraceRecordHandle> snapshot() const;

  // Number of records kept so far.
  std::size_t size() const;

  // Appends to `out` the records at positions [begin, end), oldest first;
  // `end` must not exceed a size() read earlier. Records are only ever
  // appended, so the first size() records never change: copying them a
  // batch at a time yields exactly the snapshot of the moment size() was
  // read, while each batch holds the mutex only briefly.
  void copy(std::size_t begin, std::size_t end, std::vector<TraceRecordHandle>& out) const;

  Retention retention() const noexcept { return retention_; }

 private:
  mutable std::mutex mutex_;
  // A deque, not a vector: appending never moves what is stored already, so
  // a growing store costs no reallocation copies (and no page faults on a
  // doubled buffer) while the mutex is held.
  std::deque<TraceRecordHandle> events_;
  const Retention retention_;
};

}  // namespace tessarin::core
