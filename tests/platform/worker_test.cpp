#include "platform/worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/threads.h"

namespace {

constexpr double kHang = 30.0;  // only bounds a hang

// A job a disk holds: it returns once let go.
struct Gate {
  std::mutex lock;
  std::condition_variable opened;
  bool open = false;
  bool entered = false;
  void Hold() {
    std::unique_lock<std::mutex> hold(lock);
    entered = true;
    opened.notify_all();
    opened.wait_for(hold, std::chrono::duration<double>(kHang), [&] { return open; });
  }
  void WaitEntered() {
    std::unique_lock<std::mutex> hold(lock);
    opened.wait_for(hold, std::chrono::duration<double>(kHang), [&] { return entered; });
  }
  void Open() {
    std::lock_guard<std::mutex> hold(lock);
    open = true;
    opened.notify_all();
  }
};

bool Named(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& n : names)
    if (n == name) return true;
  return false;
}

// Each case: jobs before a held one (or none held), jobs queued behind it,
// how the finish ends, and a later start's jobs.
TEST(Worker, RunsJobsInOrderEndsJoinedOrHandsAHeldOneToTheKeeper) {
  const struct {
    const char* name;
    int before;       // plain jobs first
    bool held;        // then one the disk holds
    int behind;       // plain jobs queued behind it
    bool tickCuts;    // the waiting side cuts the wait (else the idle bound)
    bool joined;
    int dropped;
  } kCases[] = {
      {"wk-order", 5, false, 0, false, true, 0},
      {"wk-idle", 3, true, 2, false, false, 2},
      {"wk-cut", 0, true, 4, true, false, 4},
  };
  for (const auto& k : kCases) {
    SCOPED_TRACE(k.name);
    const int32_t heldBefore = platform::HeldWorkers();
    std::vector<int> ran;  // one thread: the worker's, read after it ended
    std::mutex ranLock;
    std::atomic<int> threadNamed{0};
    Gate gate;
    platform::Worker w(k.name);
    int n = 0;
    for (int i = 0; i < k.before; ++i)
      ASSERT_TRUE(w.Post([&, i] {
        if (platform::ThreadName() == k.name) threadNamed.fetch_add(1);
        std::lock_guard<std::mutex> hold(ranLock);
        ran.push_back(i);
      }));
    n = k.before;
    if (k.held) {
      ASSERT_TRUE(w.Post([&] { gate.Hold(); }));
    }
    for (int i = 0; i < k.behind; ++i)
      ASSERT_TRUE(w.Post([&, i] {
        std::lock_guard<std::mutex> hold(ranLock);
        ran.push_back(n + 100 + i);
      }));
    if (k.held) gate.WaitEntered();
    int ticks = 0;
    const platform::Worker::Ended end =
        k.held ? w.Finish(k.tickCuts ? kHang : 0.05, [&] { return !k.tickCuts || ++ticks < 3; }) : w.Finish(kHang);
    EXPECT_EQ(end.joined, k.joined);
    EXPECT_EQ(end.dropped, k.dropped);
    EXPECT_EQ(w.Left(), 0);
    {
      std::lock_guard<std::mutex> hold(ranLock);
      std::vector<int> expected;
      for (int i = 0; i < k.before; ++i) expected.push_back(i);
      for (int i = 0; i < k.behind && !k.held; ++i) expected.push_back(n + 100 + i);
      EXPECT_EQ(ran, expected);
    }
    EXPECT_EQ(threadNamed.load(), k.before);
    // The keeper holds the held one by name, and only while the disk does.
    EXPECT_EQ(Named(platform::HeldWorkerNames(), k.name), !k.joined);
    EXPECT_EQ(platform::HeldWorkers(), heldBefore + (k.joined ? 0 : 1));
    gate.Open();
    const double until = platform::HighResClock() + kHang;
    while (platform::HeldWorkers() > heldBefore && platform::HighResClock() < until) platform::SleepMs(5);
    EXPECT_EQ(platform::HeldWorkers(), heldBefore);
    // A later start after the finish (a give-up too) runs its jobs, on a new thread.
    std::atomic<int> later{0};
    ASSERT_TRUE(w.Post([&] { later.fetch_add(1); }));
    ASSERT_TRUE(w.Post([&] { later.fetch_add(1); }));
    EXPECT_TRUE(w.WaitIdle(kHang));
    EXPECT_EQ(later.load(), 2);
    EXPECT_TRUE(w.Finish(kHang).joined);
    // The jobs dropped never ran, also after the held one came back.
    std::lock_guard<std::mutex> hold(ranLock);
    EXPECT_EQ(static_cast<int>(ran.size()), k.before + (k.held ? 0 : k.behind));
  }
}

// A worker the program never finished (an end that never came) lets its
// idle thread go with it.
TEST(Worker, AnUnfinishedWorkerJoinsItsIdleThreadAsItGoes) {
  std::atomic<int> ran{0};
  {
    platform::Worker w("wk-scope");
    ASSERT_TRUE(w.Post([&] { ran.fetch_add(1); }));
    EXPECT_TRUE(w.WaitIdle(kHang));
  }
  EXPECT_EQ(ran.load(), 1);
}

}  // namespace
