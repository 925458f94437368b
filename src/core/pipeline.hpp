// Pipeline stages: the stage dispatcher and the synchronous run. Shared by
// synchronous and asynchronous execution; nothing here touches Python.
#pragma once

#include "core/backend.hpp"
#include "core/error.hpp"
#include "core/graph.hpp"
#include "core/interrupt.hpp"
#include "core/trace.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tessarin::core {

// What a stage sees besides the working copy and its own name.
struct StageContext {
  const Backend& backend;
  TraceSink& trace;
  // Asked during long stages and between stages; null for runs that are
  // stopped by other means (background runs are cancelled at their yields).
  InterruptCheck interrupt = nullptr;
};

// Records one event (no span or trace id, stamped now).
void record_event(TraceSink& sink, std::string id, std::string message, TraceLevel level);

// How a stage ended: success, its error, or stopped by the interrupt check
// before it recorded anything.
using StageResult = std::variant<std::monostate, CoreError, Interrupted>;

// Runs stage `name` on the working copy. The only place where stage names
// are interpreted: "validation" and "hashing" are known, every other name is
// skipped with a warning event.
StageResult run_stage(std::string_view name, const Graph& graph, const StageContext& ctx);

// A stage that failed: its name and its error.
struct StageFailure {
  std::string stage;
  CoreError error;
  // "Stage '<name>' failed: <display text>", the message Python sees.
  std::string message() const;
};

// How a run ended: success, the first failing stage, or stopped by the
// interrupt check (asked inside long stages and before every event after
// the start event), with the events recorded until then and no more.
using PipelineResult = std::variant<std::monostate, StageFailure, Interrupted>;

// Runs every stage in order on `graph`, recording the events of a
// synchronous run. Stops at the first failing stage.
PipelineResult run_pipeline(const std::vector<std::string>& stages, const Graph& graph,
                            const StageContext& ctx);

}  // namespace tessarin::core
