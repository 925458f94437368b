#include "core/trace.hpp"

#include <time.h>

#include <utility>

namespace tessarin::core {

std::string_view trace_level_name(TraceLevel level) noexcept {
  switch (level) {
    case TraceLevel::Debug:
      return "Debug";
    case TraceLevel::Info:
      return "Info";
    case TraceLevel::Warn:
      return "Warn";
    case TraceLevel::Error:
      return "Error";
  }
  // Only reachable through a cast from an out-of-range integer.
  return "Unknown";
}

WallTime WallTime::now() noexcept {
  timespec ts{};
  // CLOCK_REALTIME cannot fail with a valid timespec pointer; should it ever,
  // the zero instant (the epoch) is the stamp.
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return WallTime{};
  return WallTime{static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
}

double WallTime::timestamp_secs() const noexcept {
  if (secs < 0) return 0.0;
  return static_cast<double>(secs) + static_cast<double>(nanos) / 1000000000.0;
}

TraceRecord::TraceRecord(std::string id, std::string message, TraceLevel level,
                         std::optional<std::string> span_id, std::optional<std::string> trace_id,
                         WallTime timestamp)
    : id_(std::move(id)),
      message_(std::move(message)),
      span_id_(std::move(span_id)),
      trace_id_(std::move(trace_id)),
      timestamp_(timestamp),
      level_(level) {}

TraceRecordHandle make_trace_record(std::string id, std::string message, TraceLevel level,
                                    std::optional<std::string> span_id,
                                    std::optional<std::string> trace_id) {
  return std::make_shared<const TraceRecord>(std::move(id), std::move(message), level,
                                             std::move(span_id), std::move(trace_id),
                                             WallTime::now());
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

void TraceStore::copy(std::size_t begin, std::size_t end,
                      std::vector<TraceRecordHandle>& out) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  out.insert(out.end(), events_.begin() + static_cast<std::ptrdiff_t>(begin),
             events_.begin() + static_cast<std::ptrdiff_t>(end));
}

std::size_t TraceStore::size() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return events_.size();
}

}  // namespace tessarin::core
