#include "core/access.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tessarin::core::AccessBlock;
using tessarin::core::accesses_held_by_this_thread;
using tessarin::core::AccessFlag;
using tessarin::core::AccessMode;
using tessarin::core::AccessOutcome;
using tessarin::core::AccessWait;

// Waits as a thread without an interpreter would: it just blocks. Given a
// `stop`, it blocks in slices until `stop` is set, then gives up.
class TestWait final : public AccessWait {
 public:
  explicit TestWait(std::chrono::milliseconds slice = std::chrono::milliseconds::max(),
                    const std::atomic<bool>* stop = nullptr)
      : slice_(slice), stop_(stop) {}
  std::optional<std::chrono::milliseconds> may_wait() override { return slice_; }
  void wait(AccessBlock& block) override {
    block.block();
    while (stop_ != nullptr && !stop_->load()) block.block();
  }
  bool interrupted() override { return stop_ != nullptr && stop_->load(); }

 private:
  std::chrono::milliseconds slice_;
  const std::atomic<bool>* stop_;
};

// Access held for the object's lifetime and counted as this thread's, as
// the binding does it.
class Held {
 public:
  Held(AccessFlag& flag, AccessMode mode, TestWait wait = TestWait())
      : flag_(flag), mode_(mode), outcome_(flag.acquire(mode, wait)) {
    if (granted()) ++accesses_held_by_this_thread();
  }
  ~Held() {
    if (!granted()) return;
    --accesses_held_by_this_thread();
    flag_.release(mode_);
  }
  bool granted() const { return outcome_ == AccessOutcome::granted; }
  AccessOutcome outcome() const { return outcome_; }

 private:
  AccessFlag& flag_;
  AccessMode mode_;
  AccessOutcome outcome_;
};

// Spins (yielding) until `done`; fails the test after ten seconds.
bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

constexpr auto kShared = AccessMode::shared;
constexpr auto kExclusive = AccessMode::exclusive;

TEST(AccessFlagTest, ThreadsWaitTheirTurnNestedReadsGoAheadSecondObjectsAreRefused) {
  // Readers and writers on four threads: a writer's two steps are never
  // seen half-done (ThreadSanitizer would also report the plain int).
  AccessFlag flag;
  int value = 0;
  std::atomic<int> writes{0};
  std::vector<std::thread> crowd;
  for (int t = 0; t < 4; ++t) {
    crowd.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if ((i + t) % 3 == 0) {
          Held write(flag, kExclusive);
          ASSERT_TRUE(write.granted());
          ++value;
          ++value;
          ++writes;
        } else {
          Held read(flag, kShared);
          ASSERT_TRUE(read.granted());
          ASSERT_EQ(value % 2, 0);
        }
      }
    });
  }
  for (std::thread& t : crowd) t.join();
  EXPECT_EQ(value, 2 * writes.load());
  EXPECT_EQ(flag.waiting(), 0u);

  // This thread reads; a writer comes and waits, and a reader after it
  // waits behind it rather than starving it.
  std::atomic<int> order{0};
  int writer_turn = 0;
  int reader_turn = 0;
  std::optional<Held> outer(std::in_place, flag, kShared);
  std::thread writer([&] {
    Held write(flag, kExclusive);
    writer_turn = ++order;
  });
  ASSERT_TRUE(eventually([&] { return flag.waiting() == 1; }));
  std::thread reader([&] {
    Held read(flag, kShared);
    reader_turn = ++order;
  });
  ASSERT_TRUE(eventually([&] { return flag.waiting() == 2; }));
  // Where a request must be answered at once, a wait that did begin would
  // give up after a millisecond and show as interrupted.
  const std::atomic<bool> yes{true};
  const TestWait impatient(1ms, &yes);
  {
    // A thread never waits on itself: its nested read goes ahead of the
    // waiting writer, its nested write is refused.
    Held nested(flag, kShared, impatient);
    EXPECT_TRUE(nested.granted());
    EXPECT_EQ(Held(flag, kExclusive, impatient).outcome(), AccessOutcome::refused);
  }

  // A second object, held by another thread: while this thread holds the
  // first, it is refused at once; a thread holding nothing waits for it.
  AccessFlag second;
  std::atomic<bool> taken{false};
  std::atomic<bool> let_go{false};
  std::thread holder([&] {
    Held write(second, kExclusive);
    taken = true;
    ASSERT_TRUE(eventually([&] { return let_go.load(); }));
  });
  ASSERT_TRUE(eventually([&] { return taken.load(); }));
  EXPECT_EQ(Held(second, kShared, impatient).outcome(), AccessOutcome::refused);
  EXPECT_EQ(Held(second, kExclusive, impatient).outcome(), AccessOutcome::refused);
  std::thread patient([&] { EXPECT_TRUE(Held(second, kShared).granted()); });
  ASSERT_TRUE(eventually([&] { return second.waiting() == 1; }));
  let_go = true;
  holder.join();
  patient.join();

  outer.reset();
  writer.join();
  reader.join();
  EXPECT_EQ(writer_turn, 1);
  EXPECT_EQ(reader_turn, 2);

  // A waiting writer that gives up (Ctrl-C in the binding) leaves nothing
  // behind: the reader it held back goes ahead.
  outer.emplace(flag, kShared);
  std::atomic<bool> stop{false};
  std::optional<AccessOutcome> given_up;
  std::thread quitter([&] { given_up = Held(flag, kExclusive, TestWait(1ms, &stop)).outcome(); });
  ASSERT_TRUE(eventually([&] { return flag.waiting() == 1; }));
  std::atomic<bool> read_done{false};
  std::thread late([&] {
    EXPECT_TRUE(Held(flag, kShared).granted());
    read_done = true;
  });
  ASSERT_TRUE(eventually([&] { return flag.waiting() == 2; }));
  stop = true;
  EXPECT_TRUE(eventually([&] { return read_done.load(); }));
  quitter.join();
  late.join();
  EXPECT_EQ(given_up, AccessOutcome::interrupted);
  outer.reset();
  EXPECT_EQ(flag.waiting(), 0u);
  EXPECT_TRUE(Held(flag, kExclusive).granted());
}

}  // namespace
