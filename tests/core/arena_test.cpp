#include "core/arena.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace tessarin::core {
namespace {

// A value whose arena maps chunks: an array block of `items` slots, with as
// many heap strings after it when `strings` (chunks of several classes) or
// integers only (one chunk, quick to make).
ParamValue large_value(std::size_t items, bool strings) {
  ParamBuilder builder;
  RawParam root;
  ParamValue* slots = builder.array(items, root);
  const std::string text(40, 'x');
  for (std::size_t i = 0; i < items; ++i)
    ParamBuilder::set(slots + i, strings ? builder.string(text) : ParamValue::raw_uint(i));
  return builder.finish(root);
}

bool looks_right(std::size_t items, bool strings) {
  const ParamValue value = large_value(items, strings);
  const ParamValue& last = value.as_array()[items - 1];
  return value.as_array().size() == items &&
         (strings ? last.as_string().size() == 40 : last.as_u64() == items - 1);
}

// Children forked while two threads keep taking chunks from the cache and
// giving them back find it unlocked and whole: they build and drop large
// values of their own. A fork that did not wait for the cache's lock would
// leave some child a lock that nobody will ever release (it would hang
// until its alarm) or lists caught half-way through an update.
TEST(ChunkCacheForkTest, ChildFindsTheCacheUnlockedAndWhole) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&stop, t] {
      for (std::size_t n = 0; !stop.load(); ++n) {
        const std::size_t items = 4096 + (n * 7919 + t * 1000) % 30000;
        if (!looks_right(items, n % 16 == 0)) std::abort();
      }
    });
  }
  std::mt19937 rng(11);
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
      alarm(10);
      for (std::size_t items : {5000u, 20000u, 5000u})
        if (!looks_right(items, true)) _exit(2);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ADD_FAILURE() << "fork " << i << ": child status " << status;
      break;
    }
  }
  stop.store(true);
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
}  // namespace tessarin::core
