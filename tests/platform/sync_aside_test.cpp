#include "platform/sync_aside.h"

#include <fcntl.h>
#include <gtest/gtest.h>
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

int64_t OpenDescriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// Every descriptor a case hands over is closed by its end.
class SyncAside : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = "/tmp/tarvelo_sync_" + std::to_string(getpid());
    ASSERT_TRUE(std::filesystem::create_directory(dir_));
    ASSERT_TRUE(SyncAsideStart());
    ASSERT_TRUE(SyncAsideSettle(kHangBound));
    base_ = SyncAsideCount();
    open_ = OpenDescriptors();
  }
  void TearDown() override {
    FileCloseAll();
    SyncAsideSettle(kHangBound);
    EXPECT_EQ(OpenDescriptors(), open_);
    std::filesystem::remove_all(dir_);
  }
  // The syncs since SetUp, once at least n were made (or the hang bound
  // passed) and the thread is idle; 0 when it never is.
  uint64_t Syncs(uint64_t n) {
    const double end = HighResClock() + kHangBound;
    while (SyncAsideCount() < base_ + n && HighResClock() < end) SleepMs(1);
    return SyncAsideSettle(kHangBound) ? SyncAsideCount() - base_ : 0;
  }
  std::string dir_;
  uint64_t base_ = 0;
  int64_t open_ = 0;
};

}  // namespace

// A folder is synced once; a numbered file is kept while written, synced on
// each ask (not before) and at its close, whichever close it is.
TEST_F(SyncAside, EachRequestIsSyncedAndItsDescriptorClosed) {
  EXPECT_EQ(FolderSyncAside(FromOsPath(dir_)), 0);
  EXPECT_EQ(Syncs(1), 1u);
  EXPECT_EQ(FolderSyncAside(FromOsPath(dir_ + "/none")), -20);
  EXPECT_EQ(FileKeepSyncedAside(0), -19);
  for (const bool aside : {false, true}) {
    SCOPED_TRACE(aside);
    const uint64_t at = Syncs(0);
    const int32_t n = FreeFile();
    ASSERT_EQ(FileOpen(n, FromOsPath(dir_ + "/rec.bin"), kFileBinary), 0);
    EXPECT_EQ(FileSyncAside(n), -19);  // not kept
    ASSERT_EQ(FileKeepSyncedAside(n), 0);
    ASSERT_EQ(FileKeepSyncedAside(n), 0);  // kept once: no second descriptor left open
    EXPECT_EQ(FilePut(n, 0, "data", 4), 0);
    EXPECT_EQ(Syncs(at), at);  // kept, not yet asked
    EXPECT_EQ(FileSyncAside(n), 0);
    EXPECT_EQ(Syncs(at + 1), at + 1);
    EXPECT_EQ(aside ? FileCloseSyncAside(n) : FileClose(n), 0);
    EXPECT_EQ(FileSyncAside(n), -19);
    EXPECT_EQ(Syncs(at + 2), at + 2);
  }
}

// Every slot taken: a further descriptor is refused and stays the caller's;
// last syncs (a folder's, a closed file's) queue for the thread; a freed slot is taken again.
TEST_F(SyncAside, AFullTableRefusesAndTheCallerKeepsItsDescriptor) {
  const auto folder = [&] { return ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); };
  std::vector<int32_t> tickets;
  for (int32_t i = 0; i < kSyncAsideSlots; ++i) tickets.push_back(SyncAsideKeep(folder()));
  ASSERT_EQ(tickets.back(), kSyncAsideSlots);
  const int fd = folder();
  EXPECT_EQ(SyncAsideKeep(fd), -1);
  EXPECT_EQ(::fcntl(fd, F_GETFD), FD_CLOEXEC);  // still open, still the caller's
  EXPECT_EQ(FolderSyncAside(FromOsPath(dir_)), 0);
  EXPECT_EQ(Syncs(1), 1u);  // by the thread, no slot taken
  for (int32_t k = 0; k < 5; ++k) EXPECT_EQ(SyncAsideLast(folder()), 0);
  const int32_t n = FreeFile();
  ASSERT_EQ(FileOpen(n, FromOsPath(dir_ + "/late.bin"), kFileBinary), 0);
  EXPECT_EQ(FileCloseSyncAside(n), 0);
  EXPECT_EQ(Syncs(7), 7u);
  EXPECT_EQ(SyncAsideKeep(-1), -1);
  EXPECT_EQ(SyncAsideLast(-1), -1);
  SyncAsideEnd(tickets.back());
  EXPECT_EQ(Syncs(8), 8u);
  EXPECT_EQ(SyncAsideKeep(fd), tickets.back());  // the freed slot
  for (int32_t t : tickets) SyncAsideEnd(t);
}

// Threads hand over, ask and end at once: each descriptor is closed once (a
// double close would close another thread's file, whose next write then
// fails) and each end is synced.
TEST_F(SyncAside, ConcurrentHandOversCloseEveryDescriptorOnce) {
  const int32_t rounds = test_rounds::RoundsForCores("TARVELO_STRESS_ROUNDS", 400, 100);
  std::atomic<uint64_t> ended{0};
  std::vector<std::thread> pool;
  for (int32_t t = 0; t < 4; ++t) {
    pool.emplace_back([&, t] {
      const std::string path = dir_ + "/t" + std::to_string(t);
      const int mine = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      for (int32_t r = 0; r < rounds; ++r) {
        const int fd = ::fcntl(mine, F_DUPFD_CLOEXEC, 0);
        const int32_t ticket = SyncAsideKeep(fd);
        if (ticket <= 0) {  // every slot waits for its last sync
          ::close(fd);
          SleepMs(1);
          continue;
        }
        EXPECT_EQ(::write(fd, "xx", r % 3), r % 3);
        for (int32_t k = 0; k < r % 3; ++k) SyncAsideAsk(ticket);
        SyncAsideEnd(ticket);
        ended.fetch_add(1);
        EXPECT_EQ(::write(mine, "y", 1), 1);  // its own stays open
      }
      ::close(mine);
    });
  }
  for (auto& th : pool) th.join();
  EXPECT_GT(ended.load(), 0u);
  EXPECT_GE(Syncs(ended.load()), ended.load());
}
