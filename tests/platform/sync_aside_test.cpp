#include "platform/sync_aside.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "test_rounds.h"

using namespace platform;

namespace {

constexpr double kHangBound = 30.0;

int32_t OpenDescriptors() {
  int32_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// Waits (sleeping) until the sync thread has made at least this many syncs.
bool WaitForSyncs(uint64_t count) {
  const double end = HighResClock() + kHangBound;
  while (SyncAsideCount() < count) {
    if (HighResClock() > end) return false;
    SleepMs(1);
  }
  return true;
}

class SyncAside : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvelo_sync_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    osDir_ = tmpl;
    ASSERT_TRUE(SyncAsideStart());
    ASSERT_TRUE(SyncAsideSettle(kHangBound));
  }
  void TearDown() override {
    FileCloseAll();
    SyncAsideSettle(kHangBound);
    std::filesystem::remove_all(osDir_);
  }
  std::string osDir_;
};

}  // namespace

// Each kind of request, by the syncs the thread makes for it and the
// descriptors it closes: a kept file synced once per batch of asks, a folder,
// a numbered file kept while written and ended by either close.
TEST_F(SyncAside, EachRequestIsSyncedAndItsDescriptorClosed) {
  const int32_t open = OpenDescriptors();
  const uint64_t before = SyncAsideCount();
  const int fd = ::open((osDir_ + "/kept.bin").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  const int32_t ticket = SyncAsideKeep(fd);
  ASSERT_GT(ticket, 0);
  ASSERT_TRUE(SyncAsideSettle(kHangBound));
  EXPECT_EQ(SyncAsideCount(), before);  // kept, not yet asked
  SyncAsideAsk(ticket);
  ASSERT_TRUE(WaitForSyncs(before + 1));
  ASSERT_TRUE(SyncAsideSettle(kHangBound));
  SyncAsideEnd(ticket);
  ASSERT_TRUE(WaitForSyncs(before + 2));
  ASSERT_TRUE(SyncAsideSettle(kHangBound));
  EXPECT_EQ(OpenDescriptors(), open);  // the thread closed it

  EXPECT_EQ(FolderSyncAside(FromOsPath(osDir_)), 0);
  ASSERT_TRUE(WaitForSyncs(before + 3));
  EXPECT_EQ(FolderSyncAside(FromOsPath(osDir_ + "/none")), -20);

  // A numbered file: kept while written, each ask a sync, ended by its close
  // whichever close it is.
  for (const bool aside : {false, true}) {
    SCOPED_TRACE(aside);
    ASSERT_TRUE(SyncAsideSettle(kHangBound));
    const uint64_t at = SyncAsideCount();
    const int32_t n = FreeFile();
    ASSERT_EQ(FileOpen(n, FromOsPath(osDir_ + "/rec.bin"), kFileBinary), 0);
    EXPECT_EQ(FileSyncAside(n), -19);  // not kept
    ASSERT_EQ(FileKeepSyncedAside(n), 0);
    ASSERT_EQ(FileKeepSyncedAside(n), 0);  // kept once
    EXPECT_EQ(FilePut(n, 0, "data", 4), 0);
    EXPECT_EQ(FileSyncAside(n), 0);
    ASSERT_TRUE(WaitForSyncs(at + 1));
    EXPECT_EQ(aside ? FileCloseSyncAside(n) : FileClose(n), 0);
    EXPECT_EQ(FileSyncAside(n), -19);
    ASSERT_TRUE(WaitForSyncs(at + 2));
    ASSERT_TRUE(SyncAsideSettle(kHangBound));
    EXPECT_EQ(OpenDescriptors(), open);
  }
  EXPECT_EQ(FileKeepSyncedAside(0), -19);
}

// Every slot taken: a further descriptor is refused and stays the caller's
// (a folder's sync is then made by the caller); a freed slot is taken again.
TEST_F(SyncAside, AFullTableRefusesAndTheCallerKeepsItsDescriptor) {
  const int32_t open = OpenDescriptors();
  std::vector<int32_t> tickets;
  for (int32_t i = 0; i < kSyncAsideSlots; ++i) {
    const int32_t t = SyncAsideKeep(::open(osDir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_GT(t, 0) << i;
    tickets.push_back(t);
  }
  const int fd = ::open(osDir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_EQ(SyncAsideKeep(fd), -1);
  EXPECT_EQ(::fcntl(fd, F_GETFD), FD_CLOEXEC);  // still open, still the caller's
  const uint64_t before = SyncAsideCount();
  EXPECT_EQ(FolderSyncAside(FromOsPath(osDir_)), 0);  // synced by the caller
  EXPECT_EQ(SyncAsideCount(), before);
  EXPECT_EQ(SyncAsideKeep(-1), -1);
  SyncAsideEnd(tickets.back());
  ASSERT_TRUE(SyncAsideSettle(kHangBound));
  const int32_t again = SyncAsideKeep(fd);
  EXPECT_EQ(again, tickets.back());
  tickets.back() = again;
  for (int32_t t : tickets) SyncAsideEnd(t);
  ASSERT_TRUE(SyncAsideSettle(kHangBound));
  EXPECT_EQ(OpenDescriptors(), open);
}

// Threads hand descriptors over, ask and end them all at once, as recordings
// and closes of several threads would: every descriptor is closed once (none
// left open, none closed twice: a double close would close another thread's
// file, whose next write then fails), and every end is synced.
TEST_F(SyncAside, ConcurrentHandOversCloseEveryDescriptorOnce) {
  const int32_t threads = 4;
  const int32_t rounds = test_rounds::RoundsForCores("TARVELO_STRESS_ROUNDS", 400, 100);
  const int32_t open = OpenDescriptors();
  const uint64_t before = SyncAsideCount();
  std::atomic<int32_t> ended{0}, refused{0}, badWrites{0};
  std::vector<std::thread> pool;
  for (int32_t t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      const std::string path = osDir_ + "/t" + std::to_string(t) + ".bin";
      const int mine = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      for (int32_t r = 0; r < rounds; ++r) {
        const int fd = ::fcntl(mine, F_DUPFD_CLOEXEC, 0);
        const int32_t ticket = SyncAsideKeep(fd);
        if (ticket <= 0) {
          ::close(fd);
          refused.fetch_add(1);
          SleepMs(1);
          continue;
        }
        for (int32_t k = 0; k < r % 3; ++k) {
          if (::write(fd, "x", 1) != 1) badWrites.fetch_add(1);
          SyncAsideAsk(ticket);
        }
        SyncAsideEnd(ticket);
        ended.fetch_add(1);
        if (::write(mine, "y", 1) != 1) badWrites.fetch_add(1);  // its own stays open
      }
      ::close(mine);
    });
  }
  for (auto& th : pool) th.join();
  ASSERT_TRUE(SyncAsideSettle(kHangBound));
  EXPECT_EQ(badWrites.load(), 0);
  EXPECT_GT(ended.load(), 0);
  EXPECT_EQ(ended.load() + refused.load(), threads * rounds);
  EXPECT_GE(SyncAsideCount() - before, uint64_t(ended.load()));
  EXPECT_EQ(OpenDescriptors(), open);
}
