#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/run_loop.hpp"

namespace zp::platform {
namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 20s;  // only so that a fault cannot hang the run

// Counts its destruction; whoever holds it can tell whether the work ran.
struct Probe {
  explicit Probe(int& destroyed) : destroyed_(destroyed) {}
  ~Probe() { ++destroyed_; }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;
  int& destroyed_;
};

TEST(RunLoopTest, KeepsEachThreadsOrderAcrossThreads) {
  RunLoop loop;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::vector<int>> seen(kThreads);  // written by the loop's thread only
  int total = 0;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&loop, &seen, &total, t] {
      for (int i = 0; i < kPerThread; ++i) {
        loop.post([&seen, &total, t, i] {
          seen[static_cast<std::size_t>(t)].push_back(i);
          ++total;
        });
      }
    });
  }
  const bool all = loop.runUntil([&] { return total == kThreads * kPerThread; }, kDeadline);
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(all);
  std::vector<int> expected(kPerThread);
  for (int i = 0; i < kPerThread; ++i) expected[static_cast<std::size_t>(i)] = i;
  for (const auto& fromOne : seen) EXPECT_EQ(fromOne, expected);
}

TEST(RunLoopTest, WorkPostedByWorkRunsAfterWhatWasAlreadyQueued) {
  RunLoop loop;
  std::vector<std::string> order;
  loop.post([&] {
    order.push_back("a");
    loop.post([&] { order.push_back("a1"); });
    loop.post([&] { order.push_back("a2"); });
    order.push_back("a end");
  });
  loop.post([&] { order.push_back("b"); });

  // One turn runs what was queued when it began; what that work posted waits for the next.
  loop.runPending();
  EXPECT_EQ(order, (std::vector<std::string>{"a", "a end", "b"}));
  loop.runPending();
  EXPECT_EQ(order, (std::vector<std::string>{"a", "a end", "b", "a1", "a2"}));
}

TEST(RunLoopTest, StopEndsRunFromWorkOrFromAnotherThread) {
  {
    RunLoop loop;
    bool after = false;
    loop.post([&] { loop.stop(); });
    loop.post([&] { after = true; });
    loop.run();
    EXPECT_TRUE(loop.stopped());
    EXPECT_FALSE(after);
  }
  {
    RunLoop loop;
    std::thread stopper([&] { loop.post([&] { loop.stop(); }); });
    loop.run();
    stopper.join();
    EXPECT_TRUE(loop.stopped());
  }
}

TEST(RunLoopTest, AfterStopWorkIsDestroyedWithoutRunning) {
  RunLoop loop;
  int ran = 0;
  int destroyed = 0;
  loop.post([&ran, probe = std::make_shared<Probe>(destroyed)] { ++ran; });
  loop.stop();
  EXPECT_EQ(destroyed, 1) << "work queued when the loop stopped";

  // Dropped work is destroyed outside the loop's lock: here its destructor uses the loop.
  struct UsesLoop {
    UsesLoop(RunLoop& loop, bool& sawStopped) : loop_(loop), sawStopped_(sawStopped) {}
    ~UsesLoop() { sawStopped_ = loop_.stopped(); }
    UsesLoop(const UsesLoop&) = delete;
    UsesLoop& operator=(const UsesLoop&) = delete;
    RunLoop& loop_;
    bool& sawStopped_;
  };
  bool sawStopped = false;
  loop.post([&ran, probe = std::make_shared<Probe>(destroyed),
             user = std::make_shared<UsesLoop>(loop, sawStopped)] { ++ran; });
  EXPECT_EQ(destroyed, 2) << "work posted after the stop";
  EXPECT_TRUE(sawStopped);

  std::thread poster([&] { loop.post([&ran, probe = std::make_shared<Probe>(destroyed)] { ++ran; }); });
  poster.join();
  loop.run();
  loop.runPending();
  EXPECT_FALSE(loop.runUntil([] { return false; }, kDeadline)) << "a stopped loop does not wait";
  EXPECT_EQ(destroyed, 3);
  EXPECT_EQ(ran, 0);
}

TEST(RunLoopTest, RunUntilChecksTheConditionAroundEachItem) {
  RunLoop loop;
  int ran = 0;
  for (int i = 0; i < 5; ++i) loop.post([&] { ++ran; });
  EXPECT_TRUE(loop.runUntil([&] { return ran == 2; }, kDeadline));
  EXPECT_EQ(ran, 2) << "stops as soon as the condition holds";
  EXPECT_TRUE(loop.runUntil([] { return true; }, kDeadline));
  EXPECT_EQ(ran, 2) << "a condition that already holds runs nothing";

  std::thread later([&] { loop.post([&] { ran = 100; }); });
  EXPECT_TRUE(loop.runUntil([&] { return ran == 100; }, kDeadline)) << "waits for work from another thread";
  later.join();
}

TEST(RunLoopTest, RunUntilGivesUpAtTheDeadline) {
  RunLoop loop;
  int ran = 0;
  loop.post([&] { ++ran; });
  EXPECT_FALSE(loop.runUntil([] { return false; }, 50ms));
  EXPECT_EQ(ran, 1) << "work queued before the deadline still ran";
  EXPECT_FALSE(loop.stopped());
}

}  // namespace
}  // namespace zp::platform
