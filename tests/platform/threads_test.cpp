#include "platform/threads.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

TEST(PlatformMutex, InjectedCreationFailuresThenRecovery) {
  platform::FailNextMutexCreations(2);
  EXPECT_EQ(platform::MutexCreate(), nullptr);
  EXPECT_EQ(platform::MutexCreate(), nullptr);
  platform::Mutex* m = platform::MutexCreate();
  ASSERT_NE(m, nullptr);
  EXPECT_TRUE(platform::MutexTryLock(m));
  EXPECT_FALSE(platform::MutexTryLock(m));
  platform::MutexUnlock(m);
  platform::MutexDestroy(m);
}

TEST(PlatformMutex, GuardSerialisesIncrements) {
  platform::Mutex* m = platform::MutexCreate();
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        platform::MutexGuard g(m);
        ++counter;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 40000);
  platform::MutexDestroy(m);
}

TEST(PlatformClock, MonotonicAndSleeps) {
  double a = platform::HighResClock();
  platform::SleepMs(5);
  double b = platform::HighResClock();
  EXPECT_GE(b - a, 0.004);
}

TEST(PlatformThreads, NamesAreKeptAndCut) {
  std::string seen;
  std::thread t([&] {
    platform::ThreadSetName("a-very-long-thread-name");
    seen = platform::ThreadName();
  });
  t.join();
  EXPECT_EQ(seen, "a-very-long-thr");  // the first 15 characters
}

TEST(PlatformThreads, OnlyTheMarkedThreadOwnsTheInterface) {
  EXPECT_TRUE(platform::OnInterfaceThread());  // nothing marked: every thread
  platform::MarkInterfaceThread();
  bool other = true;
  std::thread t([&] { other = platform::OnInterfaceThread(); });
  t.join();
  EXPECT_FALSE(other);
  EXPECT_TRUE(platform::OnInterfaceThread());
  platform::ForgetInterfaceThread();
}
