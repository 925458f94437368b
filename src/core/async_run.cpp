#include "core/async_run.hpp"

#include "core/pipeline.hpp"

#include <optional>
#include <utility>

namespace tessarin::core {

namespace {

// The run's trace store is shared with Python objects that a child process
// made by fork() goes on using, so each event is appended inside a
// ForkQuiet scope: a fork never finds its mutex held or its list
// half-appended. Only the append is covered, so a fork never waits for a
// stage (hashing a large graph takes a while) to end.
class ForkQuietSink final : public TraceSink {
 public:
  explicit ForkQuietSink(TraceSink& inner) noexcept : inner_(inner) {}
  void record(TraceRecordHandle event) override {
    const ForkQuiet::Scope quiet;
    inner_.record(std::move(event));
  }

 private:
  TraceSink& inner_;
};

}  // namespace

AsyncPipelineRun::AsyncPipelineRun(std::vector<std::string> stages, NullBackend backend,
                                   std::shared_ptr<TraceSink> trace, Graph graph,
                                   std::shared_ptr<const CancelSignal> cancel, Finish finish)
    : stages_(std::move(stages)),
      backend_(std::move(backend)),
      trace_(std::move(trace)),
      graph_(std::move(graph)),
      cancel_(std::move(cancel)),
      finish_(std::move(finish)) {}

PoolTask::Step AsyncPipelineRun::pause() {
  if (cancel_ && cancel_->is_set()) return end(AsyncOutcome{});
  return Step::Yield;
}

PoolTask::Step AsyncPipelineRun::end(AsyncOutcome outcome) {
  // Moved out first: the finish callback runs once even if the pool keeps
  // this task object around a little longer, and whatever it captured is
  // not released a second time by the task's destructor.
  Finish finish = std::move(finish_);
  finish_ = nullptr;
  if (finish) finish(std::move(outcome));
  return Step::Done;
}

PoolTask::Step AsyncPipelineRun::resume() {
  if (!begun_) {
    begun_ = true;
    return pause();
  }
  // Back from a yield. The signal may have been set while this run sat in the
  // queue; looking again here spares a whole step of work nobody wants.
  if (cancel_ && cancel_->is_set()) return end(AsyncOutcome{});

  ForkQuietSink trace(*trace_);
  const std::string count = std::to_string(stages_.size());
  if (next_step_ == 0) {
    record_event(trace, "pipeline.async.start",
                 "Executing async pipeline with " + count + " stages", TraceLevel::Info);
  } else {
    const std::string& stage = stages_[next_step_ - 1];
    const StageContext context{backend_, trace};
    // No interrupt check here: a background run is stopped by its
    // cancellation signal, so a stage either succeeds or fails.
    StageResult result = run_stage(stage, graph_, context);
    if (CoreError* error = std::get_if<CoreError>(&result)) {
      AsyncOutcome failed;
      failed.kind = AsyncOutcome::Kind::StageFailed;
      failed.message = StageFailure{stage, std::move(*error)}.message();
      return end(std::move(failed));
    }
  }
  ++next_step_;
  if (next_step_ <= stages_.size()) return pause();  // the yield before the next stage

  record_event(trace, "pipeline.async.complete",
               "Async pipeline completed successfully (" + count + " stages)", TraceLevel::Info);
  AsyncOutcome completed;
  completed.kind = AsyncOutcome::Kind::Completed;
  completed.graph = std::move(graph_);
  return end(std::move(completed));
}

void AsyncPipelineRun::on_fault(const char* what) noexcept {
  // Building the message or handing it on can only fail by running out of
  // memory, which ends the process anyway; nothing else may escape here.
  try {
    AsyncOutcome faulted;
    faulted.kind = AsyncOutcome::Kind::Faulted;
    faulted.message = kInternalFaultPrefix;
    faulted.message += what != nullptr ? what : "unknown exception";
    end(std::move(faulted));
  } catch (...) {
  }
}

}  // namespace tessarin::core
