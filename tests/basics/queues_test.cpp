#include "basics/queues.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "basics/errors.h"
#include "basics/messages.h"

using namespace QUARLE_BASICS;

namespace {

class Queues : public ::testing::Test {
 protected:
  void SetUp() override {
    BasicsReset();
    ASSERT_EQ(BasicsCreateLocks(), 0);
    ASSERT_EQ(CreateCommandQueue(MainCommandQueue), 0);
    ArrayHeaderInit(header);
  }
  void TearDown() override {
    std::free(buffer);
    ArrayHeaderFree(header);
    BasicsShutdown();
  }
  static CommandMessage Msg(uint32_t type, uint32_t arg1 = 0) {
    CommandMessage m;
    CommandClear(m);
    m.type = type;
    m.arg1 = arg1;
    return m;
  }
  CommandMessage* buffer = nullptr;
  ArrayHeader header;
};

}  // namespace

TEST_F(Queues, SeventeenthMessageGrowsTheQueueAndKeepsOrder) {
  for (uint32_t i = 0; i < 17; ++i) {
    CommandMessage m = Msg(200 + i, i);
    ASSERT_EQ(PostCommand(m, 0, 0), 0);
    EXPECT_EQ(m.type, 200 + i);  // no clear asked
  }
  EXPECT_EQ(CommandQueuePending(0), 17);
  ASSERT_EQ(FetchCommands(buffer, header, 0), 0);
  EXPECT_EQ(header.count, 17);
  EXPECT_EQ(header.capacity, 32);  // grown to exactly the queue's capacity
  for (uint32_t i = 0; i < 17; ++i) {
    EXPECT_EQ(buffer[i].type, 200 + i);
    EXPECT_EQ(buffer[i].arg1, i);
  }
  EXPECT_EQ(CommandQueuePending(0), 0);
}

TEST_F(Queues, FetchFromEmptyQueueKeepsBuffer) {
  CommandMessage m = Msg(5);
  ASSERT_EQ(PostCommand(m, 0, 0), 0);
  ASSERT_EQ(FetchCommands(buffer, header, 0), 0);
  ASSERT_EQ(header.count, 1);
  CommandMessage* kept = buffer;
  ASSERT_EQ(FetchCommands(buffer, header, 0), 0);
  EXPECT_EQ(header.count, 0);
  EXPECT_EQ(buffer, kept);
  EXPECT_EQ(header.capacity, 16);
}

TEST_F(Queues, CopiesEveryFieldAndClearsOnRequest) {
  CommandMessage m = Msg(100, 7);
  m.arg2 = 8;
  m.arg3 = 9;
  m.arg4 = 10;
  m.arg5 = 11;
  m.single1 = 1.5f;
  m.single2 = -2.5f;
  m.single3 = 3.25f;
  m.timeStamp = 12.125;
  m.word1 = 0x1122334455667788ull;
  m.word2 = 0x8877665544332211ull;
  CommandMessage original = m;
  ASSERT_EQ(PostCommand(m, 0, -1), 0);
  EXPECT_EQ(m.type, 0u);
  EXPECT_EQ(m.word2, 0u);
  EXPECT_EQ(m.timeStamp, 0.0);
  ASSERT_EQ(FetchCommands(buffer, header, 0), 0);
  ASSERT_EQ(header.count, 1);
  const CommandMessage& got = buffer[0];
  EXPECT_EQ(got.type, original.type);
  EXPECT_EQ(got.arg1, 7u);
  EXPECT_EQ(got.arg5, 11u);
  EXPECT_EQ(got.single3, 3.25f);
  EXPECT_EQ(got.timeStamp, 12.125);
  EXPECT_EQ(got.word1, original.word1);
  EXPECT_EQ(got.word2, original.word2);
}

TEST_F(Queues, BadQueueNumbers) {
  CommandMessage m = Msg(3);
  EXPECT_EQ(PostCommand(m, -1, -1), -19);
  EXPECT_EQ(PostCommand(m, 1, -1), -19);  // equal to the number of queues
  EXPECT_EQ(m.type, 3u);                  // a refused message is not cleared
  EXPECT_EQ(FetchCommands(buffer, header, 1), -19);
  EXPECT_EQ(FetchCommands(buffer, header, -5), -19);
  EXPECT_EQ(buffer, nullptr);
  PostSimpleCommand(-26, 1, 4);
  PostSimpleCommand(-26, -1, 4);
  EXPECT_EQ(CommandQueuePending(0), 0);
  EXPECT_EQ(CommandQueuePending(7), 0);
}

TEST_F(Queues, PostSimpleCommandMakesAnErrorReport) {
  PostSimpleCommand(-26, 0, 4711);
  PostSimpleCommand(21, 0, 1);
  ASSERT_EQ(FetchCommands(buffer, header, 0), 0);
  ASSERT_EQ(header.count, 2);
  EXPECT_EQ(buffer[0].type, kCommandError);
  EXPECT_EQ(buffer[0].arg1, 4711u);
  EXPECT_EQ(buffer[0].arg3, 0u);
  EXPECT_EQ(buffer[0].arg4, 26u);
  EXPECT_GT(buffer[0].timeStamp, 0.0);
  EXPECT_EQ(buffer[1].arg4, 21u);
}

TEST_F(Queues, SmallerCallerBufferIsReplaced) {
  for (int i = 0; i < 40; ++i) {
    CommandMessage m = Msg(1, i);
    ASSERT_EQ(PostCommand(m, 0, -1), 0);
  }
  buffer = static_cast<CommandMessage*>(std::calloc(16, sizeof(CommandMessage)));
  header.capacity = 16;
  ASSERT_EQ(FetchCommands(buffer, header, 0), 0);
  EXPECT_EQ(header.capacity, 64);
  EXPECT_EQ(header.count, 40);
  EXPECT_EQ(buffer[39].arg1, 39u);
}

TEST_F(Queues, ConcurrentPostersLoseNothing) {
  constexpr int kThreads = 6;
  constexpr uint32_t kEach = 700;
  std::vector<std::thread> threads;
  std::vector<uint32_t> seen(kThreads * kEach, 0);
  std::atomic<int> done{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &done] {
      for (uint32_t i = 0; i < kEach; ++i) {
        CommandMessage m = Msg(static_cast<uint32_t>(t), i);
        PostCommand(m, 0, -1);
      }
      done.fetch_add(1);
    });
  }
  // Fetch while the posters run: per poster the order must be kept.
  std::vector<uint32_t> next(kThreads, 0);
  size_t total = 0;
  bool ordered = true;
  while (true) {
    bool finished = done.load() == kThreads;
    ASSERT_EQ(FetchCommands(buffer, header, 0), 0);
    for (int32_t i = 0; i < header.count; ++i) {
      uint32_t t = buffer[i].type;
      ASSERT_LT(t, static_cast<uint32_t>(kThreads));
      if (buffer[i].arg1 != next[t]) ordered = false;
      next[t] = buffer[i].arg1 + 1;
      ++total;
    }
    if (finished) break;
  }
  for (auto& th : threads) th.join();
  ASSERT_EQ(FetchCommands(buffer, header, 0), 0);
  total += static_cast<size_t>(header.count);
  EXPECT_EQ(total, static_cast<size_t>(kThreads) * kEach);
  EXPECT_TRUE(ordered);
}

TEST(BasicsShutdown, TwiceIsHarmlessAndResetAllowsASecondRun) {
  BasicsReset();
  ASSERT_EQ(BasicsCreateLocks(), 0);
  EXPECT_NE(MT_BASICS, nullptr);
  EXPECT_NE(MT_FILES, nullptr);
  EXPECT_NE(MT_CONSOLE, nullptr);
  int32_t q = -1;
  ASSERT_EQ(CreateCommandQueue(q), 0);
  ASSERT_EQ(LanguageTableCreate(kLanguageTableFirstCount), 0);
  ASSERT_EQ(LanguageTableSet(70, "x"), 0);
  ASSERT_EQ(LanguageTableGrow(kLanguageTableCount), 0);
  ASSERT_EQ(LanguageTableSet(600, "y"), 0);
  static int freed = 0;
  freed = 0;
  CodePageMapsFree = [] { ++freed; };
  BasicsShutdown();
  BasicsShutdown();
  CodePageMapsFree = nullptr;
  EXPECT_EQ(freed, 1);
  EXPECT_EQ(MT_BASICS, nullptr);
  EXPECT_EQ(MT_FILES, nullptr);
  EXPECT_EQ(MT_CONSOLE, nullptr);
  EXPECT_EQ(CommandQueueCount(), 0u);
  EXPECT_EQ(LanguageTable.entries, nullptr);
  EXPECT_EQ(LanguageTable.firstCount, kLanguageTableFirstCount);  // counts keep their values
  EXPECT_EQ(LanguageTable.fullCount, kLanguageTableCount);
  EXPECT_EQ(LangText(70, "default"), "default");
  CommandMessage m;
  CommandClear(m);
  EXPECT_EQ(PostCommand(m, 0, 0), -19);

  BasicsReset();
  ASSERT_EQ(BasicsCreateLocks(), 0);
  ASSERT_EQ(CreateCommandQueue(q), 0);
  EXPECT_EQ(q, 0);
  BasicsShutdown();
}

TEST(BasicsShutdown, LockCreationFailureIsReported) {
  BasicsReset();
  platform::FailNextMutexCreations(1);
  EXPECT_EQ(BasicsCreateLocks(), -26);
  EXPECT_EQ(MT_BASICS, nullptr);
  EXPECT_EQ(BasicsCreateLocks(), 0);
  int32_t q = -1;
  platform::FailNextMutexCreations(1);
  EXPECT_EQ(CreateCommandQueue(q), -26);
  EXPECT_EQ(CommandQueueCount(), 0u);
  BasicsShutdown();
}

namespace {
std::atomic<int> g_wakes{0};
void CountWake() { g_wakes.fetch_add(1); }
double Since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

// A loop waiting for its queue sleeps until a post from another thread (well
// before its timeout), or until the timeout when nothing comes; a queue's wake
// hook runs after every post to it.
TEST_F(Queues, AWaitEndsWithAPostOrItsTimeout) {
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForCommands(MainCommandQueue, 0.05), 0);
  EXPECT_GE(Since(t0), 0.045);
  EXPECT_EQ(WaitForCommands(7, 5.0), 0);  // never handed out: at once

  std::thread poster([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    CommandMessage m = Msg(200);
    PostCommand(m, MainCommandQueue, 0);
  });
  // Far from its timeout however busy the machine: the post ended it.
  const auto t1 = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForCommands(MainCommandQueue, 120.0), 1);
  EXPECT_LT(Since(t1), 60.0);
  poster.join();
  EXPECT_EQ(WaitForCommands(MainCommandQueue, 10.0), 1);  // pending: no wait

  g_wakes = 0;
  SetCommandQueueWake(MainCommandQueue, CountWake);
  CommandMessage m = Msg(201);
  PostCommand(m, MainCommandQueue, 0);
  PostCommand(m, MainCommandQueue, 0);
  EXPECT_EQ(g_wakes.load(), 2);
  SetCommandQueueWake(MainCommandQueue, nullptr);
  PostCommand(m, MainCommandQueue, 0);
  EXPECT_EQ(g_wakes.load(), 2);
}

// A thread of the start posts to queue 0 while the later queues are made:
// every post lands, in order, and the queues made meanwhile are whole. There
// is room for 64 queues; a 65th is refused and changes nothing.
TEST_F(Queues, QueuesMadeWhileAThreadPostsLoseNothing) {
  constexpr uint32_t kPosts = 20000;
  std::atomic<bool> go{false};
  std::thread poster([&] {
    while (!go.load()) std::this_thread::yield();
    for (uint32_t i = 0; i < kPosts; ++i) {
      CommandMessage m = Msg(300, i);
      if (PostCommand(m, 0, 0) != 0) return;
    }
  });
  go = true;
  std::vector<int32_t> made;
  for (int32_t k = 1; k < 64; ++k) {
    int32_t q = -1;
    ASSERT_EQ(CreateCommandQueue(q), 0);
    made.push_back(q);
  }
  poster.join();
  int32_t q = -1;
  EXPECT_EQ(CreateCommandQueue(q), -kErrAllocation);
  EXPECT_EQ(q, -1);
  EXPECT_EQ(CommandQueueCount(), 64u);
  for (int32_t k = 0; k < 63; ++k) {
    ASSERT_EQ(made[static_cast<size_t>(k)], k + 1);
    CommandMessage m = Msg(400);
    EXPECT_EQ(PostCommand(m, k + 1, 0), 0);
    EXPECT_EQ(CommandQueuePending(k + 1), 1);
  }
  ASSERT_EQ(FetchCommands(buffer, header, 0), 0);
  ASSERT_EQ(header.count, static_cast<int32_t>(kPosts));
  for (uint32_t i = 0; i < kPosts; ++i) ASSERT_EQ(buffer[i].arg1, i);
}

// What a reader hands back goes ahead of what was posted since, in its order,
// growing the queue when both no longer fit; a bad call changes nothing.
TEST_F(Queues, ReturnedMessagesComeBackFirstInTheirOrder) {
  for (const int32_t since : {3, 20}) {
    SCOPED_TRACE(since);
    for (uint32_t i = 0; i < 5; ++i) {
      CommandMessage m = Msg(100 + i);
      ASSERT_EQ(PostCommand(m, 0, 0), 0);
    }
    ASSERT_EQ(FetchCommands(buffer, header, 0), 0);
    for (int32_t i = 0; i < since; ++i) {
      CommandMessage m = Msg(300 + static_cast<uint32_t>(i));
      ASSERT_EQ(PostCommand(m, 0, 0), 0);
    }
    EXPECT_EQ(ReturnCommands(buffer + 2, 3, 7), -kErrBadParameter);
    EXPECT_EQ(ReturnCommands(buffer + 2, -1, 0), -kErrBadParameter);
    ASSERT_EQ(ReturnCommands(buffer + 2, 3, 0), 0);  // 102-104 were not read
    ASSERT_EQ(FetchCommands(buffer, header, 0), 0);
    ASSERT_EQ(header.count, 3 + since);
    std::vector<uint32_t> types;
    for (int32_t i = 0; i < header.count; ++i) types.push_back(buffer[i].type);
    std::vector<uint32_t> want = {102, 103, 104};
    for (int32_t i = 0; i < since; ++i) want.push_back(300 + static_cast<uint32_t>(i));
    EXPECT_EQ(types, want);
  }
}
