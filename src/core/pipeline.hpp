// Pipeline stages: the stage dispatcher and the synchronous run. Shared by
// synchronous and asynchronous execution; nothing here touches Python.
#pragma once

#include "core/backend.hpp"
#include "core/error.hpp"
#include "core/graph.hpp"
#include "core/trace.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin::core {

// What a stage sees besides the working copy and its own name.
struct StageContext {
  const Backend& backend;
  TraceSink& trace;
};

// Records one event (no span or trace id, stamped now).
void record_event(TraceSink& sink, std::string id, std::string message, TraceLevel level);

// Runs stage `name` on the working copy. The only place where stage names
// are interpreted: "validation" and "hashing" are known, every other name is
// skipped with a warning event.
std::optional<CoreError> run_stage(std::string_view name, const Graph& graph, const StageContext& ctx);

// A stage that failed: its name and its error.
struct StageFailure {
  std::string stage;
  CoreError error;
  // "Stage '<name>' failed: <display text>", the message Python sees.
  std::string message() const;
};

// Runs every stage in order on `graph`, recording the events of a
// synchronous run. Stops at the first failing stage.
std::optional<StageFailure> run_pipeline(const std::vector<std::string>& stages, const Graph& graph,
                                         const StageContext& ctx);

}  // namespace tessarin::core
