// A pipeline run in the background: the stages of a pipeline executed on the
// worker pool, one step per resume, with a yield (and a look at the
// cancellation signal) before the start event and before every stage.
//
// The run owns everything it touches (stage names, backend, working copy, a
// share of the trace store), so it never needs the caller again until it
// hands its outcome to `finish`. Whoever receives the outcome decides how it
// travels on (the Python binding turns it into an asyncio completion).
#pragma once

#include "core/backend.hpp"
#include "core/graph.hpp"
#include "core/trace.hpp"
#include "core/worker_pool.hpp"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tessarin::core {

// A one-shot, thread-safe flag: set once by whoever may cancel a run, read by
// the run at each of its yields. Setting it again changes nothing.
class CancelSignal {
 public:
  void set() noexcept { set_.store(true, std::memory_order_release); }
  bool is_set() const noexcept { return set_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> set_{false};
};

// How a background run ended.
struct AsyncOutcome {
  enum class Kind {
    // Every stage succeeded; `graph` is the working copy after them.
    Completed,
    // A stage returned an error; `message` is the text Python raises
    // ("Stage '<name>' failed: <display text>").
    StageFailed,
    // The cancellation signal stopped the run at a yield; nothing to deliver.
    Cancelled,
    // Something other than a stage error broke the run (an exception out of
    // the machinery); `message` is kInternalFaultPrefix + the description.
    Faulted,
  };

  Kind kind = Kind::Cancelled;
  Graph graph;
  std::string message;
};

// The text in front of the description of an internal fault.
inline constexpr char kInternalFaultPrefix[] = "internal error in background pipeline run: ";

class AsyncPipelineRun final : public PoolTask {
 public:
  // Receives the outcome exactly once, on the worker thread that ended the
  // run (from resume() or on_fault()). It must not throw and should only hand
  // the outcome on (the worker is needed by other runs).
  using Finish = std::function<void(AsyncOutcome)>;

  AsyncPipelineRun(std::vector<std::string> stages, NullBackend backend,
                   std::shared_ptr<TraceSink> trace, Graph graph,
                   std::shared_ptr<const CancelSignal> cancel, Finish finish);

  // One step: the start event, one stage, or the last stage together with
  // the complete event. Returns Yield while stages remain.
  Step resume() override;

  // A step threw: the outcome is a fault carrying `what`.
  void on_fault(const char* what) noexcept override;

 private:
  // About to wait at a yield: stop here if the run was cancelled.
  Step pause();
  Step end(AsyncOutcome outcome);

  const std::vector<std::string> stages_;
  const NullBackend backend_;
  const std::shared_ptr<TraceSink> trace_;
  Graph graph_;
  const std::shared_ptr<const CancelSignal> cancel_;
  Finish finish_;

  // False until the first resume, which only takes the yield in front of the
  // start event.
  bool begun_ = false;
  // The next step: 0 is the start event, i >= 1 is stage i - 1.
  std::size_t next_step_ = 0;
};

}  // namespace tessarin::core
