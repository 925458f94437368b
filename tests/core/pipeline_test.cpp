#include "core/pipeline.hpp"

#include "core/backend.hpp"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace {

using namespace tessarin::core;

int g_checks = 0;
int g_stop_at = 0;
bool stop_at_check() { return ++g_checks == g_stop_at; }

// A synchronous run asks before every stage and before the completion event
// (the hash too, but this graph is far too small for that). Stopped at the
// n-th question, it has recorded exactly the events before it; with four
// questions only, it completes.
TEST(Pipeline, InterruptedRunKeepsTheEventsSoFarAndRecordsNothingMore) {
  Graph graph;
  graph.add_node("n", ModelConfig{"c", "1", {}});
  const std::vector<std::string> full = {
      "pipeline.start", "stage.validation.start", "stage.validation", "stage.hashing.start",
      "stage.hashing",  "stage.x.start",          "stage.x",          "pipeline.complete"};
  for (int stop = 1; stop <= 5; ++stop) {
    TraceStore store;
    g_checks = 0;
    g_stop_at = stop;
    const NullBackend backend = NullBackend::cpu();
    const PipelineResult result = run_pipeline({"validation", "hashing", "x"}, graph,
                                               StageContext{backend, store, stop_at_check});
    std::vector<std::string> ids;
    for (const TraceRecordHandle& event : store.snapshot()) ids.emplace_back(event->id());
    EXPECT_EQ(std::holds_alternative<Interrupted>(result), stop < 5) << stop;
    const auto end = stop < 5 ? full.begin() + 2 * stop - 1 : full.end();
    EXPECT_EQ(ids, std::vector<std::string>(full.begin(), end)) << stop;
  }
}

}  // namespace
