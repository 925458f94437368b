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

std::vector<std::string> ids(const TraceStore& store) {
  std::vector<std::string> out;
  for (const TraceRecordHandle& event : store.snapshot()) out.emplace_back(event->id());
  return out;
}

// A synchronous run asks before every stage and before the completion event
// (the hash asks too, but this graph is far too small for it to). Stopped at
// the n-th question, the run has recorded exactly the events before it.
TEST(Pipeline, InterruptedRunKeepsTheEventsSoFarAndRecordsNothingMore) {
  Graph graph;
  graph.add_node("n", ModelConfig{"c", "1", {}});
  const std::vector<std::string> stages = {"validation", "hashing", "other"};
  const std::vector<std::string> full = {"pipeline.start",   "stage.validation.start", "stage.validation",
                                         "stage.hashing.start", "stage.hashing",        "stage.other.start",
                                         "stage.other",      "pipeline.complete"};
  const NullBackend backend = NullBackend::cpu();
  for (int stop = 1; stop <= 5; ++stop) {
    TraceStore store;
    g_checks = 0;
    g_stop_at = stop;
    const PipelineResult result = run_pipeline(stages, graph, StageContext{backend, store, stop_at_check});
    if (stop == 5) {
      // Four questions only: the run completes.
      EXPECT_TRUE(std::holds_alternative<std::monostate>(result));
      EXPECT_EQ(ids(store), full);
      continue;
    }
    EXPECT_TRUE(std::holds_alternative<Interrupted>(result)) << stop;
    EXPECT_EQ(g_checks, stop);
    // pipeline.start, then two events per completed stage.
    const std::vector<std::string> prefix(full.begin(), full.begin() + 1 + 2 * (stop - 1));
    EXPECT_EQ(ids(store), prefix) << stop;
  }
}

}  // namespace
