#include "core/trace.hpp"

#include <pthread.h>
#include <time.h>

#include <utility>

namespace tessarin::core {

namespace {

// The registry of stores that keep events: a doubly linked list through the
// stores themselves. Both are constant-initialised and never destroyed, so a
// pool thread that drops the last handle to a store while the process runs
// its static destructors still finds them intact.
constinit std::mutex g_registry_mutex;
constinit TraceStore* g_registry_head = nullptr;

}  // namespace

std::string_view trace_level_name(TraceLevel level) noexcept {
  switch (level) {
    case TraceLevel::Debug: return "Debug";
    case TraceLevel::Info: return "Info";
    case TraceLevel::Warn: return "Warn";
    case TraceLevel::Error: return "Error";
  }
  // Only reachable through a cast from an out-of-range integer.
  return "Unknown";
}

WallTime WallTime::now() noexcept {
  timespec ts{};
  // CLOCK_REALTIME cannot fail with a valid timespec pointer; should it ever,
  // the zero instant (the epoch) is the stamp.
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return WallTime{};
  return WallTime{static_cast<std::int64_t>(ts.tv_sec),
                  static_cast<std::uint32_t>(ts.tv_nsec)};
}

double WallTime::timestamp_secs() const noexcept {
  if (secs < 0) return 0.0;
  return static_cast<double>(secs) + static_cast<double>(nanos) / 1000000000.0;
}

TraceRecord::TraceRecord(std::string id, std::string message, TraceLevel level,
                         std::optional<std::string> span_id,
                         std::optional<std::string> trace_id, WallTime timestamp)
    : id_(std::move(id)),
      message_(std::move(message)),
      span_id_(std::move(span_id)),
      trace_id_(std::move(trace_id)),
      timestamp_(timestamp),
      level_(level) {}

TraceRecordHandle make_trace_record(std::string id, std::string message,
                                    TraceLevel level,
                                    std::optional<std::string> span_id,
                                    std::optional<std::string> trace_id) {
  return std::make_shared<const TraceRecord>(std::move(id), std::move(message), level,
                                             std::move(span_id), std::move(trace_id),
                                             WallTime::now());
}

TraceStore::TraceStore(Retention retention) : retention_(retention) {
  // Nobody can ever read a discarding store, and it never locks its mutex.
  if (retention_ == Retention::Discard) return;
  // Registered with the first store, outside the registry's mutex: a fork
  // on another thread keeps pthread_atfork waiting until it is done.
  static const bool handlers_registered =
      pthread_atfork(&lock_all_before_fork, &unlock_all_after_fork, &unlock_all_after_fork) == 0;
  (void)handlers_registered;
  const std::lock_guard<std::mutex> lock(g_registry_mutex);
  next_ = g_registry_head;
  if (next_ != nullptr) next_->prev_ = this;
  g_registry_head = this;
}

TraceStore::~TraceStore() {
  if (retention_ == Retention::Discard) return;
  const std::lock_guard<std::mutex> lock(g_registry_mutex);
  if (prev_ != nullptr) {
    prev_->next_ = next_;
  } else {
    g_registry_head = next_;
  }
  if (next_ != nullptr) next_->prev_ = prev_;
}

// Runs in the thread that calls fork(), before the fork. Each store mutex is
// held only for an append or a copy of handles, never while waiting for
// anything, so every wait here is short. The registry stays locked until
// after the fork, so no store appears or disappears meanwhile.
void TraceStore::lock_all_before_fork() noexcept {
  g_registry_mutex.lock();
  for (TraceStore* store = g_registry_head; store != nullptr; store = store->next_) store->mutex_.lock();
}

// Runs after the fork in the parent and in the child. In the child the
// mutexes are held by its only thread, the copy of the one that locked them,
// which may release them (the usual pthread_atfork pattern).
void TraceStore::unlock_all_after_fork() noexcept {
  for (TraceStore* store = g_registry_head; store != nullptr; store = store->next_) store->mutex_.unlock();
  g_registry_mutex.unlock();
}

std::shared_ptr<TraceStore> TraceStore::create(Retention retention) {
  return std::make_shared<TraceStore>(retention);
}

void TraceStore::record(TraceRecordHandle event) {
  if (retention_ == Retention::Discard) return;
  const std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
}

std::vector<TraceRecordHandle> TraceStore::snapshot() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<TraceRecordHandle>(events_.begin(), events_.end());
}

std::size_t TraceStore::size() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return events_.size();
}

}  // namespace tessarin::core
