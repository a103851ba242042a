// The disk's pace: the kernel's written-bytes count of the device under a
// file, and the pace measured from samples of a count.
#include "platform/disk_pace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

TEST(DiskPace, MeasuresTheLastWindowAndWhenTheCountLastMoved) {
  platform::DiskPace pace(10.0);
  EXPECT_LT(pace.BytesPerSecond(0.0), 0.0);
  // 100 kB/s for 20 s, then nothing for 5 s: the window holds the last 10 s.
  for (int i = 0; i <= 200; ++i) pace.Sample(i * 0.1, uint64_t(i) * 10000);
  EXPECT_NEAR(pace.BytesPerSecond(5.0), 100000.0, 1.0);
  EXPECT_DOUBLE_EQ(pace.LastMoved(), 20.0);
  for (int i = 201; i <= 250; ++i) pace.Sample(i * 0.1, 2000000);
  // Half the window wrote; all kept (25 s, within five windows) wrote more.
  EXPECT_NEAR(pace.BytesPerSecond(5.0), 80000.0, 500.0);
  EXPECT_DOUBLE_EQ(pace.LastMoved(), 20.0);
  EXPECT_NEAR(pace.Span(), 25.0, 0.11);
  // Five windows on, nothing.
  for (int i = 251; i <= 800; ++i) pace.Sample(i * 0.1, 2000000);
  EXPECT_EQ(pace.BytesPerSecond(5.0), 0.0);
  EXPECT_NEAR(pace.Span(), 50.0, 0.11);
  // Too short a span is no measure; a count that goes back starts anew.
  pace.Sample(25.1, 5);
  EXPECT_LT(pace.BytesPerSecond(0.5), 0.0);
  EXPECT_EQ(pace.Count(), 5u);
}

// A device whose count moves only when a long request is whole, at 2 MB/s
// (ten times the sound's pace): 256 MB every 128 s or 64 MB every 32 s (its
// bursts longer apart than the 30-s window), 8 MB every 4 s, or steadily. It
// reads at least half that pace at every look, never as a disk slower than
// the sound; once it stops, slower and slower, and as writing nothing five
// windows after its last burst.
TEST(DiskPace, ACountThatMovesInBurstsReadsAtTheirPace) {
  const struct {
    const char* disk;
    double period;  // seconds between bursts
  } rows[] = {{"256 MB every 128 s", 128.0}, {"64 MB every 32 s", 32.0}, {"8 MB every 4 s", 4.0}, {"steadily", 0.1}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.disk);
    platform::DiskPace pace(30.0);
    uint64_t count = 1000;
    double lowest = 1e300, last = 1e300;
    bool slowing = true;
    for (int32_t tenth = 0; tenth <= 8000; ++tenth) {
      const double now = tenth * 0.1;
      if (now >= 10.0 && now <= 600.0 && std::fmod(now + 1e-9, r.period) < 0.05) count += uint64_t(2e6 * r.period);
      if (tenth % 50 == 0) count += 12000;  // the journal's few blocks, every 5 s
      pace.Sample(now, count);
      const double perSecond = pace.BytesPerSecond(28.5);
      if (now >= 300.0 && now <= 600.0) lowest = std::min(lowest, perSecond);
      if (now >= 610.0 && now < 750.0) {
        slowing = slowing && perSecond <= last * 1.01;  // a sample a tenth apart moves the span a little
        last = perSecond;
      }
    }
    EXPECT_GT(lowest, 1000000.0);
    EXPECT_TRUE(slowing);
    EXPECT_LT(pace.BytesPerSecond(28.5), 5000.0);  // 200 s after the last: the journal's alone
  }
}

TEST(DiskPace, TheKernelCountsTheDeviceUnderAFileOrSaysItHasNone) {
  EXPECT_EQ(platform::KernelWrittenBytes(0), -1);
  // /proc lies on no block device.
  EXPECT_EQ(platform::KernelWrittenBytes(platform::DeviceOfPath("/proc/self")), -1);
  char tmpl[] = "/tmp/disk_pace_XXXXXX";
  const int fd = ::mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  // Bytes no file system makes smaller: the device writes all of them.
  std::string bytes(3 * platform::kWriteBackPiece + 1000, '\0');
  uint32_t x = 12345;
  for (char& c : bytes) c = char((x = x * 1103515245u + 12345u) >> 24);
  const int64_t before = platform::KernelWrittenBytes(platform::DeviceOf(fd));
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  EXPECT_TRUE(platform::StartWriteBack(fd, 0, int64_t(bytes.size())));
  std::vector<int64_t> pieces;
  const int64_t back =
      platform::WriteBackInPieces(fd, 0, int64_t(bytes.size()), [&](int64_t n) { pieces.push_back(n); });
  ::fsync(fd);
  const int64_t count = platform::KernelWrittenBytes(platform::DeviceOf(fd));
  ::close(fd);
  ::unlink(tmpl);
  // Where /tmp is a block device's, its count is a whole number of sectors,
  // and it grew by what the disk wrote of the file at least.
  if (count >= 0) {
    EXPECT_EQ(count % 512, 0);
    EXPECT_GE(count - before, int64_t(bytes.size()));
  }
  if (back > 0) {
    const int64_t p = platform::kWriteBackPiece;
    EXPECT_EQ(pieces, (std::vector<int64_t>{p, p, p, 1000}));
  }
}

// The kernel's line for a block device: the seventh field counts the sectors
// written (the third those read, which move as a disk only reads).
TEST(DiskPace, AStatLineNamesTheSectorsWritten) {
  const struct {
    const char* line;
    int64_t bytes;
  } rows[] = {
      {"    1234      56   78900     345     6789      12   345678     9000        0     1234     9345        0        0"
       "        0        0\n",
       345678ll * 512},
      {"0 0 0 0 0 0 0 0 0 0 0", 0},
      {"5 0 4000000000 0 1 0 8 0", 8 * 512},  // far more read than written
      {"1 2 3 4 5 6", -1},                     // cut short
      {"", -1},
      {"not a count", -1},
  };
  for (const auto& r : rows) EXPECT_EQ(platform::WrittenBytesOfStat(r.line), r.bytes) << r.line;
}

// The end's one rule, looked at every tenth of a second for 40 s of a wait:
// what moves it, when it gives up, when other files go first, and a count of
// the time left that falls a second a second on a disk at one pace, also
// where the disk's count moves only in bursts and where our bytes are
// confirmed only at the end of a long sync.
TEST(DiskPace, TheEndWaitMovesWithTheDiskAndCountsDownASecondASecond) {
  const struct {
    const char* disk;
    int64_t perTenth;     // bytes the device (or, uncounted, our confirmations) moves a tenth
    int32_t burstTenths;  // the count moves only this often, by all it wrote meanwhile (1: every tenth)
    int32_t ownTenths;    // ours are confirmed this often (0: never)
    bool counted;         // the device keeps a count
    double othersAt, givesUpAt;  // seconds into the wait (-1: never)
    double ours = 40.0;   // seconds of the disk's writing our bytes left ask
  } rows[] = {
      {"a quiet disk at 100 kB/s", 10000, 1, 1, true, -1, -1},
      {"a disk whose count moves in 900-kB bursts", 10000, 90, 90, true, -1, -1},
      {"a sync that confirms ours only at its end, every 20 s", 10000, 1, 200, true, -1, -1},
      {"a copy's write-back ahead of our last 5 s", 10000, 1, 0, true, 10.0, -1, 5.0},
      {"a copy's write-back ahead of our last 15 s", 10000, 1, 0, true, 15.0, -1, 15.0},
      {"a disk that writes nothing", 0, 1, 0, true, -1, 10.0},
      {"no count: our confirmations at 64 kB/s", 6400, 1, 1, false, -1, -1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.disk);
    const double start = 1000.0;
    platform::EndWait wait(start);
    const double left0 = r.ours * 10.0 * double(r.perTenth);  // all ours the disk writes
    int64_t device = 5000000, own = 0, mark = 0, pending = 0, unconfirmedWritten = 0;
    double othersAt = -1, givesUpAt = -1;
    std::vector<int32_t> counts;  // the whole seconds shown, each second
    for (int32_t tenth = 1; tenth <= 400; ++tenth) {
      const double now = start + tenth * 0.1;
      pending += r.perTenth;
      if (tenth % r.burstTenths == 0) {
        device += pending;
        unconfirmedWritten += pending;
        pending = 0;
      }
      if (r.ownTenths > 0 && tenth % r.ownTenths == 0 && unconfirmedWritten > 0) {
        own += unconfirmedWritten;
        mark += 1;
        unconfirmedWritten = 0;
      }
      wait.Look(now, r.counted ? device : -1, uint64_t(mark), uint64_t(own));
      EXPECT_EQ(wait.Counted(), r.counted);
      if (othersAt < 0 && wait.OthersFirst(now)) othersAt = now - start;
      if (givesUpAt < 0 && wait.GivesUp(now, platform::kEndIdleSeconds)) givesUpAt = now - start;
      const double left = wait.BytesLeft(left0 - double(own));
      EXPECT_LE(left, left0 - double(own));
      if (tenth % 10 == 0 && r.ownTenths > 0) counts.push_back(int32_t(std::ceil(wait.SecondsLeft(left))));
    }
    EXPECT_NEAR(othersAt, r.othersAt, 0.25);
    EXPECT_NEAR(givesUpAt, r.givesUpAt, 0.15);
    EXPECT_EQ(wait.SecondsLeft(0.0), 0.0);
    if (r.perTenth == 0) {
      EXPECT_LT(wait.SecondsLeft(1000.0), 0.0);  // no pace: no time is said
    }
    if (r.ownTenths == 0) continue;
    // Known after a second or two (one burst period in the bursts' case),
    // then never rising, and falling a second a second: the 40 s at the start.
    ASSERT_EQ(counts.size(), 40u);
    const size_t known = size_t(std::max(2, r.burstTenths / 10));
    for (size_t i = known; i < counts.size(); ++i) {
      EXPECT_GE(counts[i], 0) << i;
      if (i > known) {
        EXPECT_LE(counts[i], counts[i - 1]) << i;
      }
      EXPECT_NEAR(counts[i], 40.0 - double(i + 1), r.burstTenths / 10.0 + 1.0) << i;
    }
  }
  // The device's count at the writer's last confirmation before the wait:
  // what the disk wrote since is no longer left; more than all of it was
  // other files' bytes, and all of ours is left.
  platform::EndWait wait(0.0);
  wait.Look(0.1, 6000000, 1, 0);
  EXPECT_EQ(wait.BytesLeft(3000000.0, 5000000), 2000000.0);
  EXPECT_EQ(wait.BytesLeft(3000000.0, 1000000), 3000000.0);
  wait.Look(0.2, -1, 1, 0);  // no count: what is unconfirmed
  EXPECT_EQ(wait.BytesLeft(3000000.0, 5000000), 3000000.0);
}

}  // namespace
