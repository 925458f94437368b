#include "core/pipeline.hpp"

namespace tessarin::core {

void record_event(TraceSink& sink, std::string id, std::string message, TraceLevel level) {
  sink.record(make_trace_record(std::move(id), std::move(message), level));
}

namespace {

bool interrupted(const StageContext& ctx) { return ctx.interrupt != nullptr && ctx.interrupt(); }

}  // namespace

StageResult run_stage(std::string_view name, const Graph& graph, const StageContext& ctx) {
  if (name == "hashing") {
    std::optional<std::string> hash = graph.stable_hash(ctx.interrupt);
    if (!hash) return Interrupted{};
    record_event(ctx.trace, "stage.hashing", "computed graph hash: " + *hash, TraceLevel::Info);
    return {};
  }
  if (name == "validation") {
    std::size_t nodes = graph.node_count();
    if (nodes == 0) return CoreError(ErrorKind::Validation, "graph must contain at least one node");
    record_event(ctx.trace, "stage.validation", "validated " + std::to_string(nodes) + " nodes",
                 TraceLevel::Info);
    return {};
  }
  std::string stage(name);
  record_event(ctx.trace, "stage." + stage, "Unknown stage '" + stage + "' skipped",
               TraceLevel::Warn);
  return {};
}

std::string StageFailure::message() const {
  return "Stage '" + stage + "' failed: " + error.display();
}

PipelineResult run_pipeline(const std::vector<std::string>& stages, const Graph& graph,
                            const StageContext& ctx) {
  const std::string count = std::to_string(stages.size());
  record_event(ctx.trace, "pipeline.start", "Executing pipeline with " + count + " stages",
               TraceLevel::Info);
  std::size_t position = 0;
  for (const std::string& stage : stages) {
    ++position;
    if (interrupted(ctx)) return Interrupted{};
    record_event(ctx.trace, "stage." + stage + ".start",
                 "Starting stage '" + stage + "' (" + std::to_string(position) + "/" + count + ")",
                 TraceLevel::Debug);
    StageResult result = run_stage(stage, graph, ctx);
    if (CoreError* error = std::get_if<CoreError>(&result))
      return StageFailure{stage, std::move(*error)};
    if (std::holds_alternative<Interrupted>(result)) return Interrupted{};
  }
  if (interrupted(ctx)) return Interrupted{};
  record_event(ctx.trace, "pipeline.complete",
               "Pipeline completed successfully (" + count + " stages)", TraceLevel::Info);
  return {};
}

}  // namespace tessarin::core
